// The clipboard app: the direct clipboard tools, the guarded write with its one undo record,
// and saved clips. Contents travel as JSON objects: {"kind": "text", "text"},
// {"kind": "image", "data": base64 PNG} or {"kind": "empty"}.
#pragma once

#include "apps/app.hpp"
#include "platform/clipboard.hpp"
#include "result.hpp"
#include "json/json.hpp"

#include <cstdint>
#include <string_view>

namespace vft::apps::clipboard {

inline constexpr const char *kUnknownOperation = "Unknown Clipboard operation";
inline constexpr const char *kGuardRefusal =
    "Clipboard changed after this tool wrote it; undo refused to protect the newer copy";
inline constexpr const char *kImageDataMissing = "Image data missing";
inline constexpr const char *kUnsupportedContent = "Unsupported clipboard content";
inline constexpr const char *kTextMissing = "Clipboard text missing";
inline constexpr const char *kKindMustBeText = "kind must be text";
inline constexpr const char *kKindTextOrImage = "kind must be text or image";
inline constexpr const char *kTextTooLong = "Text exceeds 1 MiB or contains NUL";
inline constexpr const char *kTextOrImage = "Choose text or imagePath, not both";
inline constexpr const char *kNoUndo = "No supported previous clipboard content is saved";
inline constexpr const char *kInvalidUndo = "Invalid undo record";
inline constexpr const char *kInspectScope =
    "Unicode text or PNG/bitmap content; other application-specific formats are not restored";
inline constexpr const char *kWriteScope =
    "Previous text or image content; application-specific extra formats are not restored";

inline constexpr std::size_t kMaxTextArgument = 1'048'576;

// A content made ready for the clipboard: text checked, an image decoded to its PNG and
// 24-bit BMP. Nothing here touches the clipboard, so a bad content changes nothing.
Result<platform::ClipboardWrite> prepare_content(const Json &content);

// The content of write_clipboard and save_clip from their text or imagePath argument.
Result<Json> content_from_arguments(const Json &args);

// read_clipboard's result for kind "text" or "image". The cancel token (null: none) ends
// the clipboard's waits, here and below.
Result<Json> read_current(const Json &kind, const CancelToken *cancel);

struct Written {
  Json snapshot; // the replaced content, or null when it could not be captured
  std::uint32_t sequence = 0;
};

// Replaces the clipboard; with the guard set, only while the sequence number still is
// the expected one. A cancel before the replacement changes nothing; one after it leaves the
// new content in place (it is written, and its undo record is what the caller saves).
Result<Written> write_content(const Json &content, bool guard, std::uint32_t expected,
                              const CancelToken *cancel);

// The write with one undo record, shared by write_clipboard and copy_saved_clip.
Result<Json> guarded_write(ToolCall &call, const Json &content);

// The undo record's sequence, or why the record cannot be used.
Result<std::uint32_t> undo_sequence(const Json &document);
} // namespace vft::apps::clipboard

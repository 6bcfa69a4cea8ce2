// The desktop clipboard: one session per operation, reading text and images, and replacing
// the content. The Windows build uses the Win32 clipboard; the Linux build the X11 CLIPBOARD
// selection, where a detached holder process keeps a written content alive after the tool
// has returned. The guarded write and its snapshot are built on these primitives by the
// clipboard app.
#pragma once

#include "../cancel.hpp"
#include "../result.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace vft::platform {

inline constexpr const char *kClipboardOwnerWindow = "Clipboard owner window could not be created";
inline constexpr const char *kClipboardBusy = "Clipboard is busy; try again";
inline constexpr const char *kClipboardFormatUnavailable =
    "Requested clipboard format is unavailable";
inline constexpr const char *kClipboardPayloadSize = "Clipboard payload is empty or exceeds 24 MiB";
inline constexpr const char *kClipboardMemory = "Clipboard memory is unavailable";
inline constexpr const char *kClipboardTextNotUnicode = "Clipboard text is not valid Unicode";
inline constexpr const char *kClipboardNotCleared = "Clipboard could not be cleared";
inline constexpr const char *kClipboardAllocation = "Clipboard allocation failed";
inline constexpr const char *kClipboardLockFailed = "Clipboard memory lock failed";
inline constexpr const char *kClipboardWriteFailed = "Clipboard write failed";

// Largest payload of one format that is read.
inline constexpr std::uint64_t kMaxClipboardPayload = 25'165'824;

struct ClipboardFormats {
  bool empty = true;  // no formats at all
  bool text = false;  // Unicode text
  bool image = false; // PNG or a bitmap
};

// What replaces the clipboard: text, an image (PNG bytes and the 24-bit BMP file made from
// them), or nothing at all.
struct ClipboardWrite {
  enum class Kind { text, image, empty };
  Kind kind = Kind::empty;
  std::string text; // UTF-8, no NUL
  std::string png;
  std::string bmp; // a whole BMP file, 14-byte file header included
};

class ClipboardSession {
public:
  struct Impl;
  explicit ClipboardSession(std::unique_ptr<Impl> impl);
  ClipboardSession(ClipboardSession &&) noexcept;
  ClipboardSession &operator=(ClipboardSession &&) noexcept;
  ~ClipboardSession(); // ends the session

  Result<ClipboardFormats> formats();
  // The current text as UTF-8.
  Result<std::string> read_text();
  // The current image as PNG bytes.
  Result<std::string> read_image();
  // The change counter of the clipboard (low 32 bits are what counts).
  std::uint32_t sequence();
  // Clears the clipboard and puts the content on it.
  Result<void> replace(const ClipboardWrite &content);
  // Ends the session after a write and returns the sequence number read after it has ended.
  std::uint32_t end();

private:
  std::unique_ptr<Impl> impl_;
};

// Opens a session. Its waits (an owner's answers, a transfer's pieces, the holder's start,
// another program's hold on the Windows clipboard) end early once the cancel token is set:
// the operation then fails with kCancelled and changes nothing, except that a content already
// on the clipboard stays there.
Result<ClipboardSession> open_clipboard(const CancelToken *cancel = nullptr);

// The hidden mode in which the X11 build's executable holds a written clipboard (started by
// the write itself, never by a user); the Windows clipboard keeps its own data.
inline constexpr const char *kClipboardHolderMode = "--clipboard-holder";
// Runs the holder mode and returns the process's exit status.
int run_clipboard_holder();

} // namespace vft::platform

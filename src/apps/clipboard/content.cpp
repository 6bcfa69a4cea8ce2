// Contents on their way to and from the clipboard, and the guarded write with its undo.
#include "apps/clipboard/clipboard.hpp"
#include "apps/common/records.hpp"
#include "image/image.hpp"
#include "store/selected_file.hpp"
#include "text/base64.hpp"

#include <string>

namespace vft::apps::clipboard {

namespace {

Json image_content(std::string_view png) {
  return Json{{"kind", "image"}, {"data", text::base64_encode(png)}};
}

// What the clipboard holds now, for the undo: text, an image, "empty", or null when it
// holds something else or its image cannot be read. Unreadable text ends the write.
Result<Json> snapshot(platform::ClipboardSession &session) {
  VFT_TRY(auto formats, session.formats());
  if (formats.empty) return Json{{"kind", "empty"}};
  if (formats.text) {
    VFT_TRY(auto text, session.read_text());
    return Json{{"kind", "text"}, {"text", std::move(text)}};
  }
  auto png = session.read_image();
  if (!png) return Json(nullptr);
  return image_content(*png);
}

} // namespace

Result<platform::ClipboardWrite> prepare_content(const Json &content) {
  using Kind = platform::ClipboardWrite::Kind;
  const Json *kind = find_member(content, "kind");
  if (kind == nullptr || !kind->is_string()) return fail(kUnsupportedContent);
  const std::string &name = kind->get_ref<const std::string &>();
  platform::ClipboardWrite write;
  if (name == "image") {
    const Json *data = find_member(content, "data");
    if (data == nullptr || !data->is_string()) return fail(kImageDataMissing);
    VFT_TRY(auto png, text::base64_decode(data->get_ref<const std::string &>()));
    VFT_TRY(auto bmp, image::to_bmp24_file(png));
    write.kind = Kind::image;
    write.png = std::move(png);
    write.bmp = std::move(bmp);
  } else if (name == "text") {
    // Checked before the clipboard is cleared, so a damaged content never empties it.
    const Json *text = find_member(content, "text");
    if (text == nullptr || !text->is_string()) return fail(kTextMissing);
    write.kind = Kind::text;
    write.text = text->get<std::string>();
  } else if (name == "empty") {
    write.kind = Kind::empty;
  } else {
    return fail(kUnsupportedContent);
  }
  return write;
}

Result<Json> content_from_arguments(const Json &args) {
  if (find_member(args, "text") != nullptr) {
    VFT_TRY(auto text, apps::text_rule(args, "text"));
    if (text.size() > kMaxTextArgument || text.find('\0') != std::string::npos) {
      return fail(kTextTooLong);
    }
    if (find_member(args, "imagePath") != nullptr) return fail(kTextOrImage);
    return Json{{"kind", "text"}, {"text", std::move(text)}};
  }
  VFT_TRY(auto path, apps::text_rule(args, "imagePath"));
  VFT_TRY(auto file, store::read_selected_file(path));
  VFT_TRY(auto png, image::normalise_to_png(file.bytes));
  return image_content(png);
}

Result<Json> read_current(const Json &kind, const CancelToken *cancel) {
  if (!kind.is_string()) return fail(kKindMustBeText);
  VFT_TRY(auto session, platform::open_clipboard(cancel));
  const std::string &name = kind.get_ref<const std::string &>();
  Json result;
  if (name == "text") {
    VFT_TRY(auto text, session.read_text());
    result = {{"kind", "text"}, {"text", std::move(text)}};
  } else if (name == "image") {
    VFT_TRY(auto png, session.read_image());
    result = {{"kind", "image"},
              {"_imageData", text::base64_encode(png)},
              {"bytes", png.size()},
              {"mimeType", "image/png"}};
  } else {
    return fail(kKindTextOrImage);
  }
  result["sequence"] = session.sequence();
  if (cancel != nullptr && cancel->cancelled()) return fail(kCancelled);
  return result;
}

Result<Written> write_content(const Json &content, bool guard, std::uint32_t expected,
                              const CancelToken *cancel) {
  VFT_TRY(auto session, platform::open_clipboard(cancel));
  const bool changed = guard && session.sequence() != expected;
  // A sequence read cut short by a cancel is no sign of a newer copy.
  if (cancel != nullptr && cancel->cancelled()) return fail(kCancelled);
  if (changed) return fail(kGuardRefusal);
  VFT_TRY(auto previous, snapshot(session));
  VFT_TRY(auto prepared, prepare_content(content));
  VFT_TRY_VOID(session.replace(prepared));
  const std::uint32_t sequence = session.end();
  return Written{std::move(previous), sequence};
}

Result<Json> guarded_write(ToolCall &call, const Json &content) {
  VFT_TRY(auto written, write_content(content, false, 0, call.cancel));
  const bool recorded = !written.snapshot.is_null();
  Json &undo = call.store.document["undo"];
  undo = recorded ? Json{{"previous", written.snapshot}, {"sequence", written.sequence}}
                  : Json(nullptr);
  if (auto saved = call.save(); !saved) {
    // Put the old content back, unless someone copied something meanwhile; without a
    // snapshot there is nothing to put back. Not even a cancel stops this: the call must not
    // end with a content on the clipboard that no undo record knows of.
    if (recorded) {
      ignore_failure(write_content(written.snapshot, true, written.sequence, nullptr));
    }
    return fail(saved.error());
  }
  return Json{{"written", true},
              {"kind", content.at("kind")},
              {"sequence", written.sequence},
              {"undoAvailable", recorded},
              {"undoScope", kWriteScope}};
}

Result<std::uint32_t> undo_sequence(const Json &document) {
  const Json *undo = find_member(document, "undo");
  if (undo == nullptr || undo->is_null()) return fail(kNoUndo);
  const Json *sequence = find_member(*undo, "sequence");
  if (sequence == nullptr || !sequence->is_number_unsigned()) return fail(kInvalidUndo);
  // Only the low 32 bits take part in the comparison.
  return static_cast<std::uint32_t>(sequence->get<std::uint64_t>());
}

} // namespace vft::apps::clipboard

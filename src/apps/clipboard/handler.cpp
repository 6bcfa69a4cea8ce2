// The clipboard app's tool table and its four direct clipboard tools.
#include "apps/clipboard/clipboard.hpp"
#include "apps/handlers.hpp"

namespace vft::apps {

namespace clipboard {

Result<Json> search_clips(ToolCall &call);
Result<Json> get_clip(ToolCall &call);
Result<Json> save_clip(ToolCall &call);
Result<Json> copy_saved_clip(ToolCall &call);
Result<Json> archive_clip(ToolCall &call);
Result<Json> restore_clip(ToolCall &call);

} // namespace clipboard

namespace {

using namespace clipboard;

Result<Json> inspect_clipboard(ToolCall &) {
  auto session = platform::open_clipboard();
  if (!session) return fail(session.error());
  auto formats = session->formats();
  if (!formats) return fail(formats.error());
  return Json{{"empty", formats->empty},
              {"textAvailable", formats->text},
              {"imageAvailable", formats->image},
              {"undoScope", kInspectScope}};
}

Result<Json> read_clipboard(ToolCall &call) {
  return read_current(member_or_null(call.args, "kind"));
}

Result<Json> write_clipboard(ToolCall &call) {
  auto content = content_from_arguments(call.args);
  if (!content) return fail(content.error());
  return guarded_write(call, *content);
}

Result<Json> undo_clipboard(ToolCall &call) {
  auto sequence = undo_sequence(call.store.document);
  if (!sequence) return fail(sequence.error());
  const Json &undo = call.store.document["undo"];
  // Any failure keeps the record, so a refusal repeats until a new write replaces it.
  auto written = write_content(member_or_null(undo, "previous"), true, *sequence);
  if (!written) return fail(written.error());
  call.store.document["undo"] = nullptr; // no redo
  if (auto saved = call.save(); !saved) return fail(saved.error());
  return Json{{"restored", true}};
}

} // namespace

const AppHandler &clipboard_handler() {
  static constexpr ToolEntry kTools[] = {
      {"get_storage_info", get_storage_info},
      {"inspect_clipboard", inspect_clipboard},
      {"read_clipboard", read_clipboard},
      {"write_clipboard", write_clipboard},
      {"undo_clipboard", undo_clipboard},
      {"search_clips", search_clips},
      {"get_clip", get_clip},
      {"save_clip", save_clip, store::RecordUse::count_and_add},
      {"copy_saved_clip", copy_saved_clip},
      {"archive_clip", archive_clip},
      {"restore_clip", restore_clip},
  };
  static constexpr AppHandler kHandler{kUnknownOperation, kTools};
  return kHandler;
}

} // namespace vft::apps

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

Result<Json> inspect_clipboard(ToolCall &call) {
  VFT_TRY(auto session, platform::open_clipboard(call.cancel));
  VFT_TRY(auto formats, session.formats());
  return Json{{"empty", formats.empty},
              {"textAvailable", formats.text},
              {"imageAvailable", formats.image},
              {"undoScope", kInspectScope}};
}

Result<Json> read_clipboard(ToolCall &call) {
  return read_current(member_or_null(call.args, "kind"), call.cancel);
}

Result<Json> write_clipboard(ToolCall &call) {
  VFT_TRY(auto content, content_from_arguments(call.args));
  return guarded_write(call, content);
}

Result<Json> undo_clipboard(ToolCall &call) {
  VFT_TRY(auto sequence, undo_sequence(call.store.document));
  const Json &undo = call.store.document["undo"];
  // Any failure keeps the record, so a refusal repeats until a new write replaces it.
  VFT_TRY_VOID(write_content(member_or_null(undo, "previous"), true, sequence, call.cancel));
  call.store.document["undo"] = nullptr; // no redo
  VFT_TRY_VOID(call.save());
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

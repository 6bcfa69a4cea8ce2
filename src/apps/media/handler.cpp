// The media app's tool table.
#include "apps/common/record_changes.hpp"
#include "apps/common/records.hpp"
#include "apps/handlers.hpp"
#include "apps/media/media.hpp"

namespace vft::apps {

namespace media {

Result<Json> get_renderer_status(ToolCall &call);
Result<Json> configure_renderer(ToolCall &call);
Result<Json> import_video(ToolCall &call);
Result<Json> save_edit(ToolCall &call);
Result<Json> render_edit(ToolCall &call);
Result<Json> preview_edit_frames(ToolCall &call);

} // namespace media

namespace {

Result<Json> search_projects(ToolCall &call) {
  return apps::bounded_search(call.store, call.args, {"edits", "exports"});
}

Result<Json> get_project(ToolCall &call) { return apps::get_by_id(call.store.document, call.args); }

Result<Json> archive_project(ToolCall &call) { return apps::set_archived(call, true); }

Result<Json> restore_project(ToolCall &call) { return apps::set_archived(call, false); }

} // namespace

const AppHandler &media_handler() {
  static constexpr ToolEntry kTools[] = {
      {"get_storage_info", get_storage_info},
      {"get_renderer_status", media::get_renderer_status},
      {"configure_renderer", media::configure_renderer},
      {"import_video", media::import_video},
      {"search_projects", search_projects},
      {"get_project", get_project},
      {"save_edit", media::save_edit},
      {"render_edit", media::render_edit},
      {"archive_project", archive_project},
      {"restore_project", restore_project},
      // Called by the edit view only (app-tools.json).
      {"preview_edit_frames", media::preview_edit_frames},
  };
  static constexpr AppHandler kHandler{"Unknown Media operation", kTools};
  return kHandler;
}

} // namespace vft::apps

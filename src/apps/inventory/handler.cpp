#include "apps/common/record_changes.hpp"
#include "apps/common/records.hpp"
#include "apps/handlers.hpp"
#include "apps/inventory/inventory.hpp"

namespace vft::apps {

namespace inventory {

Result<Json> save_item(ToolCall &call);
Result<Json> record_item_event(ToolCall &call);

} // namespace inventory

namespace {

Result<Json> search_items(ToolCall &call) {
  // Event histories stay out of lists and out of the words a search matches.
  return apps::bounded_search(call.store, call.args, {"events"});
}

Result<Json> get_item(ToolCall &call) { return apps::get_by_id(call.store.document, call.args); }

Result<Json> archive_item(ToolCall &call) { return apps::set_archived(call, true); }

Result<Json> restore_item(ToolCall &call) { return apps::set_archived(call, false); }

} // namespace

const AppHandler &inventory_handler() {
  static constexpr ToolEntry kTools[] = {
      {"get_storage_info", get_storage_info},
      {"search_items", search_items},
      {"get_item", get_item},
      {"save_item", inventory::save_item, store::RecordUse::count_and_add},
      {"record_item_event", inventory::record_item_event},
      {"archive_item", archive_item},
      {"restore_item", restore_item},
  };
  static constexpr AppHandler kHandler{"Unknown inventory operation", kTools};
  return kHandler;
}

} // namespace vft::apps

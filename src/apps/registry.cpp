#include "apps/app.hpp"
#include "apps/handlers.hpp"
#include "store/files.hpp"
#include "version.hpp"

#include <cstdint>

namespace vft::apps {

Result<Json> get_storage_info(ToolCall &call) {
  const store::Store &store = call.store;
  return Json{{"app", store.app},
              {"storagePath", store.file_path()},
              {"encryptedAtRest", store::is_protected_app(store.app)},
              {"networkRequests", false},
              {"recordCount", static_cast<std::uint64_t>(store.record_count())},
              {"schema", 1U},
              {"version", kServerVersion}};
}

Result<Json> dispatch(const AppHandler &handler, ToolCall &call) {
  for (const ToolEntry &entry : handler.tools) {
    if (entry.name != call.tool) continue;
    // The tools check the arguments, and the stored values they decide on. A stored value of
    // another type or a member missing from a hand-edited store can still surprise the JSON
    // library: that is damaged data, and the call fails with the store's message. Any other
    // exception of the library is a fault of the tool, and says so.
    try {
      return entry.run(call);
    } catch (const Json::type_error &) {
      return fail(store::kUnsupportedStore);
    } catch (const Json::out_of_range &) {
      return fail(store::kUnsupportedStore);
    } catch (const Json::exception &error) {
      return fail(kToolFault + std::string(error.what()));
    }
  }
  return fail(std::string(handler.unknown_operation));
}

store::RecordUse record_use(const AppHandler &handler, std::string_view tool) {
  for (const ToolEntry &entry : handler.tools) {
    if (entry.name == tool) return entry.records;
  }
  return store::RecordUse::any;
}

const AppHandler *handler_for(std::string_view app) {
  if (app == "studio") return &studio_handler();
  if (app == "clipboard") return &clipboard_handler();
  if (app == "bookmarks") return &bookmarks_handler();
  if (app == "inventory") return &inventory_handler();
  if (app == "wallet") return &wallet_handler();
  if (app == "media") return &media_handler();
  if (app == "bills") return &bills_handler();
  return nullptr;
}

} // namespace vft::apps

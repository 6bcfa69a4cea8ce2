// What an app's tools receive, and the shape of an app's operation handler.
#pragma once

#include "json.hpp"
#include "result.hpp"
#include "store/document.hpp"

#include <span>
#include <string>
#include <string_view>

namespace vft::apps {

// One tool call after validation: the loaded store (writable), the validated arguments
// and the process's stamper for ids and times.
struct ToolCall {
  std::string_view tool;
  const Json &args;
  store::Store &store;
  store::Stamper &stamper;

  Json &records() { return store.document["records"]; }
  Result<void> save() { return store::save_store(store, stamper); }
};

using ToolFunction = Result<Json> (*)(ToolCall &call);

struct ToolEntry {
  std::string_view name;
  ToolFunction run;
};

// An app's dispatch over its tool names, with its own message for a name it does not know.
struct AppHandler {
  std::string_view unknown_operation;
  std::span<const ToolEntry> tools;
};

Result<Json> dispatch(const AppHandler &handler, ToolCall &call);

// The handler of one of the seven apps; nullptr for any other name.
const AppHandler *handler_for(std::string_view app);

} // namespace vft::apps

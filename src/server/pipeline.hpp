// The tool-call pipeline shared by the session and the one-shot command line: find the
// tool, validate its arguments, then lock, load and run it against the app's store.
#pragma once

#include "apps/app.hpp"
#include "apps/common/arguments.hpp"
#include "result.hpp"
#include "store/document.hpp"
#include "json/json.hpp"

#include <optional>

#include <string>

namespace vft::server {

inline constexpr const char *kUnknownApp = "Unknown app";
inline constexpr const char *kUnknownTool = "Unknown tool";
using apps::kArgumentsNotObject;
using apps::kInvalidSchema;
using apps::kInvalidType;
using apps::kInvalidValue;
using apps::kMissingArgument;
using apps::kUnknownArgument;
inline constexpr const char *kBrokenCatalog = "The build has no valid bundled specifications";

// The app's tool array of the catalogue; a failure means the build itself is broken.
Result<Json> catalog_tools(const std::string &app);

// The app's tools that only its views call (app-tools.json), in the catalogue's shape: an
// empty array for an app without any; a failure means the build itself is broken.
Result<Json> app_only_tools(const std::string &app);

// Checks arguments against a tool's input schema (top level only).
Result<void> validate_arguments(const Json &input_schema, const Json &args);

// What the tool calls of one process share: its stamper, the app's tool entries (catalogue
// and app-only tools) read at the first call, and the store document kept for the next call
// of a session.
struct ProcessState {
  store::Stamper stamper;
  std::optional<Json> tools;
  store::KeptStore kept;
  // False for a process that makes one call: nothing is kept, and a tool that only adds a
  // record can leave the others unread.
  bool keeps_store = true;
};

// One call's surroundings, as one value from the request to the tool: whose tools, which
// revision asked, whether anybody still waits for the answer, and where progress goes
// (empty when nobody asked).
struct CallContext {
  std::string_view app;
  const CancelToken *cancel = nullptr;
  apps::Progress progress;
};

// Runs one tool call from start to end; a long one reports to the context's progress, and
// stops early with a failure once its cancel is set (the wait for the store lock included).
Result<Json> call_tool(const CallContext &call, const std::string &tool, const Json &args,
                       ProcessState &state);

} // namespace vft::server

// The JSON-RPC message handler: which messages are answered and with what.
#pragma once

#include "apps/app.hpp"
#include "json.hpp"
#include "result.hpp"

#include <functional>
#include <optional>
#include <string>

namespace vft::server {

inline constexpr const char *kProtocolVersion = "2025-06-18";
inline constexpr int kParseErrorCode = -32700;
inline constexpr int kMethodNotFoundCode = -32601;
inline constexpr const char *kInvalidJson = "Invalid JSON";
inline constexpr const char *kMethodNotFound = "Method not found";

// Runs one tool of the session's app; progress is null unless the request asked for it.
using ToolRunner = std::function<Result<Json>(const std::string &tool, const Json &args,
                                              const apps::Progress *progress)>;

// Sends one extra message line (compact JSON, no line feed) while a request is handled.
using Notify = std::function<void(const std::string &line)>;

// The notifications/progress message for a request's progress token.
Json progress_notification(const Json &token, double done, double total, std::string_view message);

Json initialize_result(const std::string &app);

// The response to a line that is not one JSON value.
Json parse_error_response();

// Wraps a tool's outcome as a tools/call result.
Json tool_call_envelope(Result<Json> outcome);

// The response to one request, or none (not an object, or no id).
// A tools/call whose params._meta carries a progressToken gets progress notifications
// through notify, when one is given.
std::optional<Json> handle_message(const Json &request, const std::string &app,
                                   const ToolRunner &run_tool, const Notify &notify = {});

// The response line (compact JSON, no line feed) to one input line of valid UTF-8, or none:
// white-space-only lines, notifications and non-objects get no answer.
std::optional<std::string> respond_to_line(std::string_view line, const std::string &app,
                                           const ToolRunner &run_tool, const Notify &notify = {});

} // namespace vft::server

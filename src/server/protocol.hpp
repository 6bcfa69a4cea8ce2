// The JSON-RPC message handler: which messages are answered and with what.
#pragma once

#include "apps/app.hpp"
#include "result.hpp"
#include "json/json.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vft::server {

// The legacy era: an initialize handshake names this version once for the whole session.
inline constexpr const char *kProtocolVersion = "2025-06-18";
// The current era: every request names its version and capabilities in params._meta.
inline constexpr const char *kCurrentProtocolVersion = "2026-07-28";
inline constexpr const char *kVersionKey = "io.modelcontextprotocol/protocolVersion";
inline constexpr const char *kCapabilitiesKey = "io.modelcontextprotocol/clientCapabilities";
inline constexpr const char *kServerInfoKey = "io.modelcontextprotocol/serverInfo";
// The catalogue is built into the program, so a listing stays fresh for as long as a host
// might keep it.
inline constexpr std::uint64_t kListTtlMs = 3'600'000;

inline constexpr int kParseErrorCode = -32700;
inline constexpr int kMethodNotFoundCode = -32601;
inline constexpr int kInvalidParamsCode = -32602;
inline constexpr int kUnsupportedVersionCode = -32022;
inline constexpr const char *kInvalidJson = "Invalid JSON";
inline constexpr const char *kMethodNotFound = "Method not found";
inline constexpr const char *kUnsupportedVersion = "Unsupported protocol version";
inline constexpr const char *kMissingMeta = "Missing or invalid _meta field: ";

// Runs one tool of the session's app; progress is null unless the request asked for it, and
// cancel, when given, is set once nobody waits for the answer any more.
using ToolRunner =
    std::function<Result<Json>(const std::string &tool, const Json &args,
                               const apps::Progress *progress, const CancelToken *cancel)>;

// Sends one extra message line (compact JSON, no line feed) while a request is handled.
using Notify = std::function<void(const std::string &line)>;

// The notifications/progress message for a request's progress token.
Json progress_notification(const Json &token, double done, double total, std::string_view message);

Json initialize_result(const std::string &app);

// The server/discover result of the current era.
Json discover_result(const std::string &app);

// The response to a line that is not one JSON value.
Json parse_error_response();

// Wraps a tool's outcome as a tools/call result.
Json tool_call_envelope(Result<Json> outcome);

// The response to one request, or none (not an object, or no id). The era is decided per
// request: one whose params._meta names a protocol version other than the legacy one, and
// server/discover, are of the current era.
// A tools/call whose params._meta carries a progressToken gets progress notifications
// through notify, when one is given; cancel reaches the tool.
std::optional<Json> handle_message(const Json &request, const std::string &app,
                                   const ToolRunner &run_tool, const Notify &notify = {},
                                   const CancelToken *cancel = nullptr);

// A legacy-era ping with an id: answerable at any moment, whatever runs.
bool is_ping(const Json &message);
Json ping_response(const Json &id);
// The id a notifications/cancelled message names, if it is one.
const Json *cancelled_request(const Json &message);

// The same as a response line (compact JSON, no line feed), or none.
std::optional<std::string> respond_to_request(const Json &request, const std::string &app,
                                              const ToolRunner &run_tool, const Notify &notify,
                                              const CancelToken *cancel);

// The response line (compact JSON, no line feed) to one input line of valid UTF-8, or none:
// white-space-only lines, notifications and non-objects get no answer.
std::optional<std::string> respond_to_line(std::string_view line, const std::string &app,
                                           const ToolRunner &run_tool, const Notify &notify = {});

} // namespace vft::server

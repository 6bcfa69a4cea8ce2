// The JSON-RPC messages of both revisions: their shapes, the envelope of a tool's outcome,
// and which revision a request belongs to. Which method answers what is in server.cpp.
#pragma once

#include "result.hpp"
#include "json/json.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vft::server {

// The legacy revision: an initialize handshake names this version once for the whole session.
inline constexpr const char *kProtocolVersion = "2025-06-18";
// The current revision: every request names its version and capabilities in params._meta.
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
inline constexpr int kLegacyResourceNotFoundCode = -32002;
inline constexpr const char *kResourceNotFound = "Resource not found";

// The views extension (MCP Apps), and the one kind of view this program serves.
inline constexpr const char *kViewsExtension = "io.modelcontextprotocol/ui";
inline constexpr const char *kViewMimeType = "text/html;profile=mcp-app";

enum class Revision { legacy, current };

Json success(const Json &id, Json result);
Json error_response(const Json &id, int code, const std::string &message);
// The response to a line that is not one JSON value.
Json parse_error_response();

// params, when it is an object; params._meta, when that is an object too.
const Json *request_params(const Json &request);
const Json *request_meta(const Json &request);
// The progress token a request's params._meta carries: a string or an integer.
const Json *progress_token(const Json &request);
// The version a request names in params._meta, if it names one at all.
const Json *named_version(const Json &request);

// The current revision's checks of params._meta: an error response, or none when complete.
std::optional<Json> envelope_error(const Json &request, const Json &id);
// Whether client capabilities (an object, or null) declare the views extension: its
// mimeTypes hold kViewMimeType.
bool declares_views(const Json *capabilities);

// The program as a current-revision result names it: its name and version, and with
// presentation its title, description and icon too.
Json server_info(const std::string &app, bool presentation = false);
// A data: address of the program's icon, as an icons array holds it.
Json program_icon();

// A current-revision result: complete, and naming the program.
Json complete(Json result, const std::string &app);
// A current-revision result that a host may keep for kListTtlMs.
Json cacheable(Json result);

// The notifications/progress message for a request's progress token.
Json progress_notification(const Json &token, double done, double total, std::string_view message);

Json initialize_result(const std::string &app);
// The server/discover result of the current revision (before complete and cacheable).
Json discover_result();

// Wraps a tool's outcome as a tools/call result.
Json tool_call_envelope(Result<Json> outcome);

// The id a notifications/cancelled message names, if it is one.
const Json *cancelled_request(const Json &message);

} // namespace vft::server

#include "server/server.hpp"

#include "platform/platform.hpp"
#include "server/catalog.hpp"
#include "views/views.hpp"

#include <array>
#include <cstdlib>
#include <variant>

namespace vft::server {

namespace {

struct RpcError {
  int code;
  std::string message;
  Json data = nullptr;
};

// One request as a method sees it. An early answer runs beside the worker: it gets neither
// the process's state, nor the session's memory, nor the request's io.
struct Exchange {
  const std::string &app;
  const Json &request;
  Revision revision;
  // The client declared the views extension: in the legacy revision at its last
  // initialize, in the current one in this request.
  bool views;
  ProcessState *state;
  SessionMemory *memory;
  const RequestIo *io;
};

using Answer = std::variant<Json, RpcError>;

enum Revisions : unsigned { kLegacy = 1, kCurrent = 2, kBoth = kLegacy | kCurrent };

constexpr unsigned revision_bit(Revision revision) {
  return revision == Revision::legacy ? kLegacy : kCurrent;
}

struct Method {
  std::string_view name;
  unsigned revisions;
  Answer (*answer)(const Exchange &);
  // Answered ahead of its turn behind a long call: it reads nothing a call changes.
  bool early = false;
  // In the current revision, a host may keep the result (ttlMs, cacheScope).
  bool cacheable = false;
  // Only for a client that declared the views extension; to any other it does not exist.
  bool needs_views = false;
  // Where a host learns how to present the program: its title, description and icon.
  bool presents_program = false;
};

// What a client that declared the views extension is told the server can do.
Json with_view_capabilities(Json result, bool views) {
  if (views) {
    result["capabilities"]["extensions"] = {{kViewsExtension, Json::object()}};
    result["capabilities"]["resources"] = Json::object();
  }
  return result;
}

Answer initialize(const Exchange &e) {
  // The legacy revision declares capabilities once; a later initialize replaces them.
  const Json *params = request_params(e.request);
  const Json *capabilities = nullptr;
  if (params != nullptr) {
    if (auto found = params->find("capabilities"); found != params->end()) capabilities = &*found;
  }
  e.memory->views = declares_views(capabilities);
  return with_view_capabilities(initialize_result(e.app), e.memory->views);
}

Answer ping(const Exchange &) { return Json::object(); }

Answer discover(const Exchange &e) { return with_view_capabilities(discover_result(), e.views); }

// The view a tool's results are shown in, if any.
const views::View *view_of(const std::string &app, std::string_view tool) {
  for (const views::View &view : views::views_for(app)) {
    for (const std::string_view bound : view.tools) {
      if (bound == tool) return &view;
    }
  }
  return nullptr;
}

Answer tools_list(const Exchange &e) {
  auto tools = catalog_tools(e.app);
  if (!tools) return tool_call_envelope(fail(tools.error()));
  if (e.views) {
    for (Json &tool : tools.value()) {
      const auto name = tool.find("name");
      if (name == tool.end() || !name->is_string()) continue;
      if (const views::View *view = view_of(e.app, name->get<std::string>())) {
        // Hosts still read the flat key, which the extension keeps beside ui for now.
        tool["_meta"] = {{"ui", {{"resourceUri", view->uri}}}, {"ui/resourceUri", view->uri}};
      }
    }
    auto app_only = app_only_tools(e.app);
    if (!app_only) return tool_call_envelope(fail(app_only.error()));
    for (Json &tool : app_only.value()) {
      tool["_meta"] = {{"ui", {{"visibility", Json::array({"app"})}}}};
      tools->push_back(std::move(tool));
    }
  }
  if (e.revision == Revision::current) {
    auto titles = parse_json(titles_text());
    if (!titles || !titles->is_object()) return tool_call_envelope(fail(kBrokenCatalog));
    const auto of_app = titles->find(e.app);
    const Json icons = Json::array({program_icon()});
    for (Json &tool : tools.value()) {
      const auto name = tool.find("name");
      if (of_app != titles->end() && of_app->is_object() && name != tool.end() &&
          name->is_string()) {
        if (auto title = of_app->find(name->get<std::string>()); title != of_app->end()) {
          tool["title"] = *title;
        }
      }
      tool["icons"] = icons;
    }
  }
  return Json{{"tools", std::move(tools.value())}};
}

Answer resources_list(const Exchange &e) {
  Json resources = Json::array();
  for (const views::View &view : views::views_for(e.app)) {
    resources.push_back({{"description", view.description},
                         {"mimeType", kViewMimeType},
                         {"name", view.name},
                         {"uri", view.uri}});
  }
  return Json{{"resources", std::move(resources)}};
}

Answer resources_read(const Exchange &e) {
  const Json *params = request_params(e.request);
  const Json *uri = nullptr;
  if (params != nullptr) {
    if (auto found = params->find("uri"); found != params->end()) uri = &*found;
  }
  if (uri != nullptr && uri->is_string()) {
    for (const views::View &view : views::views_for(e.app)) {
      if (view.uri == uri->get_ref<const std::string &>()) {
        return Json{{"contents", Json::array({{{"_meta", {{"ui", {{"prefersBorder", true}}}}},
                                               {"mimeType", kViewMimeType},
                                               {"text", view.html},
                                               {"uri", view.uri}}})}};
      }
    }
  }
  // The current revision names a missing resource as invalid params; the legacy one had a
  // code of its own.
  RpcError error{e.revision == Revision::current ? kInvalidParamsCode : kLegacyResourceNotFoundCode,
                 kResourceNotFound};
  if (uri != nullptr && uri->is_string()) error.data = {{"uri", *uri}};
  return error;
}

Answer tools_call(const Exchange &e) {
  std::string tool;
  Json args = Json::object();
  if (const Json *params = request_params(e.request)) {
    if (auto name = params->find("name"); name != params->end() && name->is_string()) {
      tool = name->get<std::string>();
    }
    if (auto given = params->find("arguments"); given != params->end()) args = *given;
  }
  CallContext call{e.app, &e.io->cancel, {}};
  if (const Json *token = progress_token(e.request)) {
    call.progress = [&e, token](double done, double total, std::string_view message) {
      e.io->send(to_compact(progress_notification(*token, done, total, message)));
    };
  }
  return tool_call_envelope(call_tool(call, tool, args, *e.state));
}

// Every protocol method of both revisions. A method added later is one row.
constexpr std::array kMethods = {
    Method{.name = "initialize", .revisions = kLegacy, .answer = initialize},
    Method{.name = "ping", .revisions = kLegacy, .answer = ping, .early = true},
    Method{.name = "server/discover",
           .revisions = kCurrent,
           .answer = discover,
           .cacheable = true,
           .presents_program = true},
    Method{.name = "tools/list", .revisions = kBoth, .answer = tools_list, .cacheable = true},
    Method{.name = "tools/call", .revisions = kBoth, .answer = tools_call},
    Method{.name = "resources/list",
           .revisions = kBoth,
           .answer = resources_list,
           .cacheable = true,
           .needs_views = true},
    Method{.name = "resources/read",
           .revisions = kBoth,
           .answer = resources_read,
           .cacheable = true,
           .needs_views = true},
};

const Method *find_method(std::string_view name, Revision revision, bool views = true) {
  for (const Method &method : kMethods) {
    if (method.name == name && (method.revisions & revision_bit(revision)) != 0 &&
        (views || !method.needs_views)) {
      return &method;
    }
  }
  return nullptr;
}

std::string method_name(const Json &request) {
  const auto method = request.find("method");
  return method != request.end() && method->is_string() ? method->get<std::string>() : "";
}

// A request that names a protocol version of its own belongs to the current revision (one
// naming the legacy version is served as the legacy revision serves it); one that names
// none, to the legacy revision, unless only the current revision has its method.
Revision revision_of(const Json &request, std::string_view method) {
  if (const Json *version = named_version(request)) {
    return *version != kProtocolVersion ? Revision::current : Revision::legacy;
  }
  const Method *legacy = find_method(method, Revision::legacy);
  return legacy == nullptr && find_method(method, Revision::current) != nullptr ? Revision::current
                                                                                : Revision::legacy;
}

std::optional<Json> respond_with(const std::string &app, const Json &request, ProcessState *state,
                                 SessionMemory *memory, const RequestIo *io) {
  if (!request.is_object()) return std::nullopt;
  const auto id = request.find("id");
  if (id == request.end()) return std::nullopt;
  const std::string name = method_name(request);
  const Revision revision = revision_of(request, name);
  if (revision == Revision::current) {
    if (auto refused = envelope_error(request, *id)) return refused;
  }
  bool views = false;
  if (revision == Revision::current) {
    const Json *meta = request_meta(request);
    views = declares_views(&meta->at(kCapabilitiesKey));
  } else if (memory != nullptr) {
    views = memory->views;
  }
  const Method *method = find_method(name, revision, views);
  if (method == nullptr) return error_response(*id, kMethodNotFoundCode, kMethodNotFound);
  Answer answer = method->answer(Exchange{app, request, revision, views, state, memory, io});
  if (auto *error = std::get_if<RpcError>(&answer)) {
    Json response = error_response(*id, error->code, error->message);
    if (!error->data.is_null()) response["error"]["data"] = std::move(error->data);
    return response;
  }
  Json result = std::move(std::get<Json>(answer));
  if (revision == Revision::current) {
    result = complete(std::move(result), app);
    if (method->cacheable) result = cacheable(std::move(result));
    if (method->presents_program) result["_meta"][kServerInfoKey] = server_info(app, true);
  }
  return success(*id, std::move(result));
}

} // namespace

Server::Server(std::string app) : app_(std::move(app)) {}

Intake Server::intake(const Json &message) const {
  if (const Json *named = cancelled_request(message)) {
    return Intake{Intake::Kind::cancel, *named};
  }
  if (message.is_object() && message.contains("id")) {
    const std::string name = method_name(message);
    const Method *method = find_method(name, revision_of(message, name));
    if (method != nullptr && method->early) return Intake{Intake::Kind::early, {}};
  }
  return {};
}

std::string Server::early_answer(const Json &message) const {
  auto response = respond_with(app_, message, nullptr, nullptr, nullptr);
  return response ? to_compact(*response) : std::string();
}

std::optional<Json> Server::respond(const Json &request, const RequestIo &io) {
  return respond_with(app_, request, &state_, &memory_, &io);
}

std::optional<std::string> Server::answer(const Json &request, const RequestIo &io) {
  auto response = respond(request, io);
  if (!response) return std::nullopt;
  return to_compact(*response);
}

std::string Server::unreadable_answer() const { return to_compact(parse_error_response()); }

int run_session(const std::string &app) {
  Session session({platform::read_stdin,
                   [](std::string_view bytes) {
                     if (!platform::write_stdout(bytes)) return false;
                     platform::flush_stdout();
                     return true;
                   },
                   platform::write_stderr},
                  std::make_shared<Server>(app));
  // Started before the session's threads, which inherit what it sets up. Every stop request
  // reaches stop(); the first one counts.
  auto watch = platform::StopWatch::start(
      [&session](platform::StopWatch::Event event) {
        session.stop(event == platform::StopWatch::Event::stop ? SessionEnd::stopped
                                                               : SessionEnd::output_gone);
      },
      true);
  const SessionEnd end = session.run();
  if (end == SessionEnd::stopped && watch) watch.value()->end_process();
  // The reader may still be waiting for input that will not come.
  if (end != SessionEnd::input_ended) std::_Exit(end == SessionEnd::failed ? 1 : 0);
  return 0;
}

// Ends the process: the call is over and its store unlocked. The system takes back the
// loaded document at once, where freeing it node by node takes about as long as reading it.
void run_one_shot(const std::string &app, const std::string &tool, const std::string &arguments) {
  auto args = parse_json(arguments);
  if (!args) {
    platform::write_stderr(args.error() + "\n");
    std::exit(2);
  }
  ProcessState state;
  state.keeps_store = false;
  CancelToken cancel;   // a request to stop the process
  CancelToken returned; // the call is over
  std::atomic<platform::StopWatch *> watching{nullptr};
  // A stop request cancels the call, which cleans up (a render ends FFmpeg and removes its
  // partial output) within the session's patience; a call that takes longer is not waited
  // for. Either way the process then ends as that request would have ended it.
  auto watch = platform::StopWatch::start(
      [&](platform::StopWatch::Event) {
        cancel.cancel();
        if (returned.wait_for(kStopPatience)) return;
        if (platform::StopWatch *self = watching.load()) self->end_process();
        std::_Exit(1);
      },
      false);
  if (watch) watching.store(watch.value().get());
  auto result = call_tool(CallContext{app, &cancel, {}}, tool, args.value(), state);
  returned.cancel();
  if (cancel.cancelled() && watch) watch.value()->end_process();
  if (!result) {
    platform::write_stderr(result.error() + "\n");
    std::exit(1);
  }
  (void)platform::write_stdout(to_pretty(result.value()) + "\n");
  platform::flush_stdout();
  std::exit(0);
}

} // namespace vft::server

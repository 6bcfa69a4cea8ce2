#include "server/pipeline.hpp"
#include "server/protocol.hpp"
#include "server/server.hpp"
#include "views/views.hpp"

#include <gtest/gtest.h>

using vft::Json;
using vft::Result;
using namespace vft::server;

namespace {

// The answer the session would write for one line (none for no answer).
std::optional<std::string> respond(std::string_view line, const std::string &app = "wallet") {
  Server server(app);
  auto request = vft::parse_json(line);
  if (!request) return server.unreadable_answer();
  const vft::CancelToken cancel;
  return server.answer(*request, RequestIo{cancel, [](std::string) {}});
}

} // namespace

TEST(Protocol, AnswersOnlyObjectsWithAnId) {
  EXPECT_FALSE(respond(R"({"method":"tools/call","params":{"name":"x"}})"));
  EXPECT_FALSE(respond("[1,2]"));
  EXPECT_EQ(*respond(R"({"id":null,"method":"ping"})"),
            R"({"id":null,"jsonrpc":"2.0","result":{}})");
  EXPECT_EQ(*respond(R"({"id":{"b":[1.0,-2]},"method":"ping"})"),
            R"({"id":{"b":[1.0,-2]},"jsonrpc":"2.0","result":{}})");
}

TEST(Protocol, ParseErrorsAndUnknownMethods) {
  const std::string invalid =
      R"({"error":{"code":-32700,"message":"Invalid JSON"},"id":null,"jsonrpc":"2.0"})";
  EXPECT_EQ(*respond("{} {}"), invalid);
  EXPECT_EQ(*respond("{\"id\":1"), invalid);
  EXPECT_EQ(*respond("\xC2\xA0{}"), invalid); // only ASCII white space may surround a value
  EXPECT_EQ(*respond(std::string(129, '[') + std::string(129, ']')), invalid);
  EXPECT_EQ(*respond(R"({"id":7,"method":5})"),
            R"({"error":{"code":-32601,"message":"Method not found"},"id":7,"jsonrpc":"2.0"})");
  EXPECT_EQ(*respond(R"({"id":7})"),
            R"({"error":{"code":-32601,"message":"Method not found"},"id":7,"jsonrpc":"2.0"})");
}

TEST(Protocol, InitializeNamesTheApp) {
  const auto response = Json::parse(*respond(R"({"id":1,"method":"initialize","params":{"x":1}})"));
  EXPECT_EQ(response["result"]["serverInfo"],
            (Json{{"name", "Veymora wallet"}, {"version", "0.1.0"}}));
  EXPECT_EQ(response["result"]["protocolVersion"], "2025-06-18");
  EXPECT_EQ(response["result"]["capabilities"], Json::parse(R"({"tools":{}})"));
}

TEST(Protocol, ToolsCallReadsNameAndArguments) {
  // Failures the pipeline finds before it touches a store show what the call was given.
  auto text = [](std::string_view line) {
    return Json::parse(*respond(line))["result"]["content"][0]["text"];
  };
  EXPECT_EQ(text(R"({"id":1,"method":"tools/call"})"), "Unknown tool");
  EXPECT_EQ(text(R"({"id":1,"method":"tools/call","params":{"name":3,"arguments":"s"}})"),
            "Unknown tool");
  EXPECT_EQ(text(R"({"id":1,"method":"tools/call","params":{"name":"get_storage_info",)"
                 R"("arguments":"s"}})"),
            "Arguments must be an object");
  EXPECT_EQ(text(R"({"id":1,"method":"tools/call","params":{"name":"get_storage_info",)"
                 R"("arguments":{"x":1}}})"),
            "Unknown argument: x");
}

TEST(Protocol, EnvelopeTurnsImageDataIntoAnImageItem) {
  Json with_image = tool_call_envelope(Json{{"_imageData", "QUJD"}, {"kind", "image"}});
  EXPECT_EQ(with_image, Json::parse(R"({"content":[{"text":"{\"kind\":\"image\"}","type":"text"},
    {"data":"QUJD","mimeType":"image/png","type":"image"}],"isError":false,
    "structuredContent":{"kind":"image"}})"));
  Json dropped = tool_call_envelope(Json{{"_imageData", 5}, {"n", 1.5}});
  EXPECT_EQ(dropped["content"].size(), 1U);
  EXPECT_EQ(dropped["content"][0]["text"], "{\"n\":1.5}");
  EXPECT_EQ(dropped["structuredContent"], (Json{{"n", 1.5}}));
  // Several images, of any type, in their order; malformed entries are left out.
  Json frames = tool_call_envelope(
      Json{{"_images", Json::array({{{"data", "QQ=="}, {"mimeType", "image/jpeg"}},
                                    {{"data", 1}, {"mimeType", "image/jpeg"}},
                                    {{"data", "Qg=="}, {"mimeType", "image/jpeg"}}})},
           {"width", 80}});
  EXPECT_EQ(frames, Json::parse(R"({"content":[{"text":"{\"width\":80}","type":"text"},
    {"data":"QQ==","mimeType":"image/jpeg","type":"image"},
    {"data":"Qg==","mimeType":"image/jpeg","type":"image"}],"isError":false,
    "structuredContent":{"width":80}})"));
  Json array = tool_call_envelope(Json::array({1, 2}));
  EXPECT_EQ(array["content"][0]["text"], "[1,2]");
}

TEST(Validator, ChecksInOrder) {
  const Json schema = Json::parse(R"({"type":"object","properties":{
      "id":{"type":"string"},"expectedVersion":{"type":"integer"},
      "mode":{"type":"string","enum":["a","b"]},"n":{"type":"number"},
      "short":{"type":"string","maxLength":2},"any":{"type":"whatever"},"free":true},
      "required":["id",5,"expectedVersion"],"additionalProperties":false})");
  auto check = [&](const char *args) {
    auto r = validate_arguments(schema, Json::parse(args));
    return r ? std::string("ok") : r.error();
  };
  EXPECT_EQ(check("[]"), "Arguments must be an object");
  EXPECT_EQ(check(R"({"zeta":1,"alpha":1})"), "Unknown argument: alpha");
  EXPECT_EQ(check(R"({"zeta":1})"), "Unknown argument: zeta");
  EXPECT_EQ(check(R"({})"), "Missing argument: id");
  EXPECT_EQ(check(R"({"id":"x"})"), "Missing argument: expectedVersion");
  EXPECT_EQ(check(R"({"id":null,"expectedVersion":1})"), "Invalid type for id");
  EXPECT_EQ(check(R"({"id":"x","expectedVersion":-1})"), "Invalid type for expectedVersion");
  EXPECT_EQ(check(R"({"id":"x","expectedVersion":2.0})"), "Invalid type for expectedVersion");
  EXPECT_EQ(check(R"({"id":"x","expectedVersion":2})"), "ok");
  EXPECT_EQ(check(R"({"id":"x","expectedVersion":2,"mode":"c"})"), "Invalid value for mode");
  EXPECT_EQ(check(R"({"id":"x","expectedVersion":2,"mode":1})"), "Invalid type for mode");
  EXPECT_EQ(check(R"({"id":"x","expectedVersion":2,"n":-2.5,"any":[],"free":{}})"), "ok");
  EXPECT_EQ(check(R"({"id":"x","expectedVersion":2,"short":"\u00e9\u00e9"})"), "ok");
  EXPECT_EQ(check(R"({"id":"x","expectedVersion":2,"short":"abc"})"), "short is too long");
  // Type errors are reported for the smallest name first.
  EXPECT_EQ(check(R"({"id":1,"expectedVersion":"1"})"), "Invalid type for expectedVersion");
  EXPECT_EQ(validate_arguments(Json::parse(R"({"properties":[]})"), Json::object()).error(),
            "Invalid tool schema");
}

TEST(Pipeline, RefusesBeforeTouchingAnything) {
  ProcessState state;
  EXPECT_EQ(call_tool({"nope", nullptr, {}}, "get_storage_info", Json::object(), state).error(),
            "Unknown app");
  EXPECT_EQ(call_tool({"studio", nullptr, {}}, "Get_storage_info", Json::object(), state).error(),
            "Unknown tool");
  EXPECT_EQ(call_tool({"studio", nullptr, {}}, "get_storage_info", Json{{"x", 1}}, state).error(),
            "Unknown argument: x");
}

TEST(Protocol, CurrentRevisionListsTheSameToolsAsCacheableAndComplete) {
  const Json meta{{kVersionKey, kCurrentProtocolVersion}, {kCapabilitiesKey, Json::object()}};
  const auto answer = [&](const Json &request) {
    return Json::parse(*respond(vft::to_compact(request), "media"))["result"];
  };
  const Json legacy = answer(Json{{"id", 1}, {"method", "tools/list"}});
  Json current = answer(Json{{"id", 1}, {"method", "tools/list"}, {"params", {{"_meta", meta}}}});
  EXPECT_EQ(current["resultType"], "complete");
  EXPECT_EQ(current["cacheScope"], "public");
  EXPECT_EQ(current["ttlMs"], kListTtlMs);
  EXPECT_EQ(current["_meta"][kServerInfoKey]["name"], "Veymora media");
  for (const char *key : {"resultType", "cacheScope", "ttlMs", "_meta"})
    current.erase(key);
  // The current revision names each tool for people, with the program's icon.
  for (Json &tool : current["tools"]) {
    EXPECT_FALSE(tool.value("title", "").empty()) << tool["name"];
    EXPECT_EQ(tool["icons"], Json::array({program_icon()}));
    tool.erase("title");
    tool.erase("icons");
  }
  EXPECT_EQ(current, legacy);
  // A cancel names a string or a number and has no id of its own.
  EXPECT_EQ(*cancelled_request(
                Json::parse(R"({"method":"notifications/cancelled","params":{"requestId":7}})")),
            7);
  EXPECT_EQ(cancelled_request(Json::parse(
                R"({"id":1,"method":"notifications/cancelled","params":{"requestId":7}})")),
            nullptr);
  // Only the legacy ping may be answered ahead of its turn.
  const Server server("media");
  using Kind = Intake::Kind;
  EXPECT_EQ(server
                .intake(Json::parse(R"({"id":1,"method":"ping","params":{"_meta":)" +
                                    vft::to_compact(meta) + "}}"))
                .kind,
            Kind::request);
  EXPECT_EQ(server.intake(Json::parse(R"({"id":1,"method":"ping"})")).kind, Kind::early);
  EXPECT_EQ(server.intake(Json::parse(R"({"method":"ping"})")).kind, Kind::request);
}

TEST(Protocol, ViewsOnlyForAClientThatDeclaresThem) {
  const Json declared{
      {"extensions", {{kViewsExtension, {{"mimeTypes", {"text/plain", kViewMimeType}}}}}}};
  const Json other{{"extensions", {{kViewsExtension, {{"mimeTypes", {"text/html"}}}}}}};
  const auto current = [](const Json &capabilities) {
    return Json{{kVersionKey, kCurrentProtocolVersion}, {kCapabilitiesKey, capabilities}};
  };
  const vft::views::View &view = vft::views::views_for("bills").front();
  const Json read{{"uri", view.uri}};
  const Json missing{{"uri", "ui://bills/none"}};
  Server server("bills");
  const vft::CancelToken cancel;
  const RequestIo io{cancel, [](std::string) {}};
  const auto ask = [&](const char *method, Json params = nullptr) {
    Json request{{"id", 1}, {"method", method}};
    if (!params.is_null()) request["params"] = std::move(params);
    return server.respond(request, io).value();
  };
  const auto not_found = [](const Json &response) {
    return response["error"]["message"] == "Method not found";
  };
  const auto has_views = [&](const Json &result) {
    bool bound = false;
    bool app_only = false;
    for (const Json &tool : result["tools"]) {
      const Json meta = tool.value("_meta", Json::object());
      if (tool["name"] == "summarize_bills") {
        bound = meta == Json{{"ui", {{"resourceUri", view.uri}}}, {"ui/resourceUri", view.uri}};
      }
      if (tool["name"] == "summarize_bills_by_month") {
        app_only = meta == Json{{"ui", {{"visibility", {"app"}}}}};
      }
    }
    EXPECT_EQ(bound, app_only);
    return bound && app_only;
  };

  // The legacy revision remembers what the last initialize declared.
  EXPECT_TRUE(not_found(ask("resources/list")));
  Json init = ask("initialize", {{"capabilities", declared}})["result"]["capabilities"];
  EXPECT_EQ(init, (Json{{"extensions", {{kViewsExtension, Json::object()}}},
                        {"resources", Json::object()},
                        {"tools", Json::object()}}));
  EXPECT_TRUE(has_views(ask("tools/list")["result"]));
  EXPECT_EQ(ask("resources/list")["result"]["resources"][0]["uri"], view.uri);
  const Json content = ask("resources/read", read)["result"]["contents"][0];
  EXPECT_EQ(content["text"], view.html);
  EXPECT_EQ(content["mimeType"], kViewMimeType);
  EXPECT_EQ(content["_meta"]["ui"]["prefersBorder"], true);
  EXPECT_EQ(ask("resources/read", missing)["error"],
            Json::parse(R"({"code":-32002,"data":{"uri":"ui://bills/none"},)"
                        R"("message":"Resource not found"})"));
  EXPECT_EQ(ask("resources/read", Json::object())["error"]["code"], -32002);
  ask("initialize", {{"capabilities", other}});
  EXPECT_FALSE(has_views(ask("tools/list")["result"]));
  EXPECT_TRUE(not_found(ask("resources/read", read)));

  // The current revision reads each request's own declaration.
  EXPECT_TRUE(has_views(ask("tools/list", {{"_meta", current(declared)}})["result"]));
  EXPECT_FALSE(has_views(ask("tools/list", {{"_meta", current(Json::object())}})["result"]));
  EXPECT_TRUE(not_found(ask("resources/list", {{"_meta", current(other)}})));
  Json read_current = read;
  read_current["_meta"] = current(declared);
  const Json result = ask("resources/read", read_current)["result"];
  EXPECT_EQ(result["contents"][0]["text"], view.html);
  EXPECT_EQ(result["resultType"], "complete");
  EXPECT_EQ(result["ttlMs"], kListTtlMs);
  Json missing_current = missing;
  missing_current["_meta"] = current(declared);
  EXPECT_EQ(ask("resources/read", missing_current)["error"]["code"], -32602);
  const Json discovered = ask("server/discover", {{"_meta", current(declared)}})["result"];
  EXPECT_EQ(discovered["capabilities"]["extensions"], (Json{{kViewsExtension, Json::object()}}));
  EXPECT_EQ(discovered["_meta"][kServerInfoKey]["title"], "Veymora Bills");
}

#include "server/pipeline.hpp"
#include "server/protocol.hpp"

#include <gtest/gtest.h>

using vft::Json;
using vft::Result;
using namespace vft::server;

namespace {

const ToolRunner kEcho = [](const std::string &tool, const Json &args, const vft::apps::Progress *,
                            const vft::CancelToken *) -> Result<Json> {
  if (tool == "fail") return vft::fail("it broke");
  return Json{{"tool", tool}, {"args", args}};
};

std::optional<std::string> respond(std::string_view line) {
  return respond_to_line(line, "wallet", kEcho);
}

} // namespace

TEST(Protocol, AnswersOnlyObjectsWithAnId) {
  EXPECT_FALSE(respond(R"({"method":"tools/call","params":{"name":"x"}})"));
  EXPECT_FALSE(respond("[1,2]"));
  EXPECT_FALSE(respond(" \t\xC2\xA0\xE3\x80\x80 "));
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
  auto call = [](std::string_view line) { return Json::parse(*respond(line))["result"]; };
  EXPECT_EQ(call(R"({"id":1,"method":"tools/call"})")["structuredContent"],
            Json::parse(R"({"tool":"","args":{}})"));
  EXPECT_EQ(call(R"({"id":1,"method":"tools/call","params":{"name":3,"arguments":"s"}})")
                ["structuredContent"],
            Json::parse(R"({"tool":"","args":"s"})"));
  const Json failed = call(R"({"id":1,"method":"tools/call","params":{"name":"fail"}})");
  EXPECT_EQ(failed,
            Json::parse(R"({"content":[{"text":"it broke","type":"text"}],"isError":true})"));
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

TEST(Protocol, ProgressGoesOutOnlyWhenTheRequestCarriesAToken) {
  std::vector<std::string> lines;
  const Notify notify = [&](const std::string &line) { lines.push_back(line); };
  const ToolRunner runner = [](const std::string &, const Json &,
                               const vft::apps::Progress *progress,
                               const vft::CancelToken *) -> Result<Json> {
    if (progress != nullptr) (*progress)(1.5, 4, "Rendering");
    return Json::object();
  };
  const std::string with =
      R"({"id":1,"method":"tools/call","params":{"name":"t","_meta":{"progressToken":7}}})";
  ASSERT_TRUE(respond_to_line(with, "media", runner, notify));
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0], R"({"jsonrpc":"2.0","method":"notifications/progress","params":)"
                      R"({"message":"Rendering","progress":1.5,"progressToken":7,"total":4.0}})");
  lines.clear();
  ASSERT_TRUE(respond_to_line(R"({"id":1,"method":"tools/call","params":{"name":"t"}})", "media",
                              runner, notify));
  ASSERT_TRUE(respond_to_line(
      R"({"id":1,"method":"tools/call","params":{"name":"t","_meta":{"progressToken":[]}}})",
      "media", runner, notify));
  // A cancelled request gets no more progress.
  vft::CancelToken cancelled;
  cancelled.cancel();
  ASSERT_TRUE(handle_message(Json::parse(with), "media", runner, notify, &cancelled));
  EXPECT_TRUE(lines.empty());
}

TEST(Pipeline, RefusesBeforeTouchingAnything) {
  vft::server::CallContext context;
  EXPECT_EQ(call_tool("nope", "get_storage_info", Json::object(), context).error(), "Unknown app");
  EXPECT_EQ(call_tool("studio", "Get_storage_info", Json::object(), context).error(),
            "Unknown tool");
  EXPECT_EQ(call_tool("studio", "get_storage_info", Json{{"x", 1}}, context).error(),
            "Unknown argument: x");
}

TEST(Protocol, CurrentRevisionListsTheSameToolsAsCacheableAndComplete) {
  const Json meta{{kVersionKey, kCurrentProtocolVersion}, {kCapabilitiesKey, Json::object()}};
  const Json legacy =
      handle_message(Json{{"id", 1}, {"method", "tools/list"}}, "media", kEcho).value()["result"];
  Json current =
      handle_message(Json{{"id", 1}, {"method", "tools/list"}, {"params", {{"_meta", meta}}}},
                     "media", kEcho)
          .value()["result"];
  EXPECT_EQ(current["resultType"], "complete");
  EXPECT_EQ(current["cacheScope"], "public");
  EXPECT_EQ(current["ttlMs"], kListTtlMs);
  EXPECT_EQ(current["_meta"][kServerInfoKey]["name"], "Veymora media");
  for (const char *key : {"resultType", "cacheScope", "ttlMs", "_meta"})
    current.erase(key);
  EXPECT_EQ(current, legacy);
  // A cancel names a string or a number and has no id of its own.
  EXPECT_EQ(*cancelled_request(
                Json::parse(R"({"method":"notifications/cancelled","params":{"requestId":7}})")),
            7);
  EXPECT_EQ(cancelled_request(Json::parse(
                R"({"id":1,"method":"notifications/cancelled","params":{"requestId":7}})")),
            nullptr);
  EXPECT_FALSE(is_ping(
      Json::parse(R"({"id":1,"method":"ping","params":{"_meta":)" + vft::to_compact(meta) + "}}")));
  EXPECT_TRUE(is_ping(Json::parse(R"({"id":1,"method":"ping"})")));
}

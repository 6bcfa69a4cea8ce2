// Holds the embedded tool catalogue to its shape, to the apps' handler tables (the one place
// code names a tool), and to the texts that are easy to get wrong.
#include "apps/app.hpp"
#include "server/catalog.hpp"
#include "server/pipeline.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using vft::Json;

// The seven apps, in the order the catalogue lists them.
constexpr std::array<std::string_view, 7> kApps = {"studio", "clipboard", "bookmarks", "inventory",
                                                   "wallet", "media",     "bills"};

Json literal(std::string_view text) {
  auto parsed = vft::parse_json(text);
  return parsed ? parsed.value() : Json();
}

const Json &catalogue() {
  static const Json parsed = [] {
    auto result = vft::parse_json(vft::server::catalog_text());
    return result ? result.value() : Json();
  }();
  return parsed;
}

const Json &app_tools() {
  static const Json parsed = [] {
    auto result = vft::parse_json(vft::server::app_tools_text());
    return result ? result.value() : Json();
  }();
  return parsed;
}

const Json &titles() {
  static const Json parsed = [] {
    auto result = vft::parse_json(vft::server::titles_text());
    return result ? result.value() : Json();
  }();
  return parsed;
}

// Every tool name of the app: the catalogue's, then the app-only ones.
std::vector<std::string> all_tool_names(const std::string &app) {
  std::vector<std::string> names;
  for (const Json *source : {&catalogue(), &app_tools()}) {
    if (!source->contains(app)) continue;
    for (const Json &tool : source->at(app))
      names.push_back(tool.value("name", ""));
  }
  return names;
}

const Json &find_tool(std::string_view app, std::string_view name) {
  static const Json missing;
  const Json &cat = catalogue();
  if (!cat.is_object() || !cat.contains(app) || !cat.at(std::string(app)).is_array()) {
    return missing;
  }
  for (const Json &tool : cat.at(std::string(app))) {
    if (tool.is_object() && tool.value("name", "") == name) {
      return tool;
    }
  }
  return missing;
}

const Json &property(std::string_view app, std::string_view tool, std::string_view arg) {
  static const Json missing;
  const Json &t = find_tool(app, tool);
  const Json::json_pointer ptr("/inputSchema/properties/" + std::string(arg));
  return t.contains(ptr) ? t.at(ptr) : missing;
}

std::set<std::string> keys_of(const Json &object) {
  std::set<std::string> keys;
  for (const auto &item : object.items()) {
    keys.insert(item.key());
  }
  return keys;
}

TEST(CatalogDocument, ParsesAndLeavesNoPlaceholder) {
  const std::string_view text = vft::server::catalog_text();
  auto parsed = vft::parse_json(text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error();
  EXPECT_EQ(text.find("@@"), std::string_view::npos);
}

TEST(CatalogDocument, HoldsTheSevenAppsInOrder) {
  const Json &cat = catalogue();
  ASSERT_TRUE(cat.is_object());
  const std::set<std::string> expected(kApps.begin(), kApps.end());
  EXPECT_EQ(keys_of(cat), expected);

  // The document lists the apps in the order the server presents them.
  const std::string_view text = vft::server::catalog_text();
  std::size_t last = 0;
  for (const std::string_view app : kApps) {
    const std::string key = "\"" + std::string(app) + "\"";
    std::size_t at = text.find(key);
    while (at != std::string_view::npos) {
      std::size_t next = at + key.size();
      while (next < text.size() && (text[next] == ' ' || text[next] == '\n')) {
        ++next;
      }
      if (next < text.size() && text[next] == ':') {
        break;
      }
      at = text.find(key, at + 1);
    }
    ASSERT_NE(at, std::string_view::npos) << app;
    EXPECT_GT(at, last) << app << " is out of order";
    last = at;
  }
}

TEST(CatalogTools, TheAppsHandlerTablesListTheSameTools) {
  for (const auto &app : catalogue().items()) {
    const vft::apps::AppHandler *handler = vft::apps::handler_for(app.key());
    ASSERT_NE(handler, nullptr) << app.key();
    // The app-only tools are in the table too.
    std::vector<std::string> listed = all_tool_names(app.key());
    std::vector<std::string> handled;
    for (const vft::apps::ToolEntry &entry : handler->tools) {
      handled.emplace_back(entry.name);
    }
    std::sort(listed.begin(), listed.end());
    std::sort(handled.begin(), handled.end());
    EXPECT_EQ(handled, listed) << app.key();
  }
}

TEST(CatalogTools, EveryToolHasExactlyTheFourMembers) {
  const std::set<std::string> members = {"annotations", "description", "inputSchema", "name"};
  const std::set<std::string> schema_members = {"additionalProperties", "properties", "required",
                                                "type"};
  const std::set<std::string> types = {"string", "integer", "number", "boolean", "array", "object"};
  for (const auto &app : catalogue().items()) {
    for (const Json &tool : app.value()) {
      const std::string where = app.key() + "/" + tool.value("name", "?");
      ASSERT_TRUE(tool.is_object()) << where;
      EXPECT_EQ(keys_of(tool), members) << where;
      EXPECT_TRUE(tool.at("name").is_string()) << where;
      ASSERT_TRUE(tool.at("description").is_string()) << where;
      EXPECT_FALSE(tool.at("description").get<std::string>().empty()) << where;

      const Json &schema = tool.at("inputSchema");
      ASSERT_TRUE(schema.is_object()) << where;
      EXPECT_EQ(keys_of(schema), schema_members) << where;
      EXPECT_EQ(schema.at("type"), "object") << where;
      EXPECT_EQ(schema.at("additionalProperties"), false) << where;
      ASSERT_TRUE(schema.at("properties").is_object()) << where;
      for (const auto &property : schema.at("properties").items()) {
        EXPECT_EQ(types.count(property.value().value("type", "")), 1U)
            << where << " " << property.key();
      }
      ASSERT_TRUE(schema.at("required").is_array()) << where;
      for (const Json &name : schema.at("required")) {
        ASSERT_TRUE(name.is_string()) << where;
        EXPECT_TRUE(schema.at("properties").contains(name.get<std::string>()))
            << where << " requires undeclared " << name;
      }
    }
  }
}

TEST(CatalogTools, AnnotationsFollowTheReadOnlyHint) {
  const std::set<std::string> hints = {"destructiveHint", "idempotentHint", "openWorldHint",
                                       "readOnlyHint"};
  for (const auto &app : catalogue().items()) {
    for (const Json &tool : app.value()) {
      const std::string where = app.key() + "/" + tool.value("name", "?");
      const Json &notes = tool.at("annotations");
      ASSERT_TRUE(notes.is_object()) << where;
      EXPECT_EQ(keys_of(notes), hints) << where;
      for (const auto &hint : notes.items()) {
        EXPECT_TRUE(hint.value().is_boolean()) << where << " " << hint.key();
      }
      EXPECT_EQ(notes.at("idempotentHint"), notes.at("readOnlyHint")) << where;
      EXPECT_EQ(notes.at("openWorldHint"), false) << where;
      EXPECT_EQ(notes.at("destructiveHint"), false) << where;
    }
  }
}

TEST(CatalogTools, OnlyDeclaredSchemaKeywordsOnProperties) {
  // Plain arguments carry only their type; the few richer ones are checked one by one.
  const std::set<std::string> rich = {"visibility", "stage",  "outcome",  "kind",
                                      "tags",       "fields", "timeline", "status"};
  for (const auto &app : catalogue().items()) {
    for (const Json &tool : app.value()) {
      for (const auto &prop : tool.at(Json::json_pointer("/inputSchema/properties")).items()) {
        const std::string where = app.key() + "/" + tool.value("name", "?") + "/" + prop.key();
        if (rich.count(prop.key()) == 0) {
          EXPECT_EQ(keys_of(prop.value()), std::set<std::string>{"type"}) << where;
        }
      }
    }
  }
  // A `kind` is an enumeration only where the tool reads the clipboard.
  EXPECT_EQ(property("wallet", "search_documents", "kind"), literal(R"({"type":"string"})"));
  EXPECT_EQ(property("wallet", "import_document", "kind"), literal(R"({"type":"string"})"));
  EXPECT_EQ(property("inventory", "record_item_event", "kind"), literal(R"({"type":"string"})"));
  EXPECT_EQ(property("studio", "update_free_tool", "patch"), literal(R"({"type":"object"})"));
}

TEST(CatalogTools, EnumerationsAndNestedSchemas) {
  const Json kinds = literal(R"({"type":"string","enum":["text","image"]})");
  EXPECT_EQ(property("clipboard", "read_clipboard", "kind"), kinds);
  EXPECT_EQ(property("clipboard", "save_clip", "kind"), kinds);

  EXPECT_EQ(property("studio", "register_free_tool", "visibility"),
            literal(R"({"type":"string","enum":["private","public"]})"));
  EXPECT_EQ(property("studio", "record_tool_evidence", "stage"),
            literal(R"({"type":"string","enum":["build","tests","clean_install",
              "codex_host","chatgpt_host","public_page","public_download","showcase",
              "directory_upload","directory_submission","directory_approval",
              "directory_listing"]})"));
  EXPECT_EQ(property("studio", "record_tool_evidence", "outcome"),
            literal(R"({"type":"string","enum":["passed","failed","unverified"]})"));
  EXPECT_EQ(property("bills", "search_bills", "status"),
            literal(R"({"type":"string","enum":["pending","attempted","partial","paid"]})"));

  EXPECT_EQ(property("bookmarks", "save_bookmark", "tags"),
            literal(R"({"type":"array","items":{"type":"string"}})"));
  const Json fields = literal(R"({"type":"object","additionalProperties":{"type":"string"}})");
  EXPECT_EQ(property("wallet", "import_document", "fields"), fields);
  EXPECT_EQ(property("wallet", "update_document", "fields"), fields);

  EXPECT_EQ(property("media", "save_edit", "timeline"), literal(R"({
    "type": "object",
    "properties": {
      "start": {"type": "number"}, "end": {"type": "number"}, "speed": {"type": "number"},
      "width": {"type": "integer"}, "height": {"type": "integer"},
      "volume": {"type": "number"}, "muted": {"type": "boolean"}, "zoom": {"type": "number"},
      "ramp": {
        "type": "object",
        "properties": {"start": {"type": "number"}, "peak": {"type": "number"},
                       "end": {"type": "number"}, "minSpeed": {"type": "number"}},
        "required": ["start", "peak", "end", "minSpeed"],
        "additionalProperties": false
      }
    },
    "additionalProperties": false
  })"));
}

TEST(CatalogTexts, StorageInfoEntries) {
  const std::string with_count =
      "Read the local storage location, encryption mode and record count.";
  const std::string actual = "Read the actual local storage location and encryption mode.";
  const std::map<std::string, std::string> want = {
      {"studio", with_count},    {"clipboard", with_count}, {"bookmarks", with_count},
      {"inventory", with_count}, {"wallet", with_count},    {"media", actual},
      {"bills", actual}};
  for (const auto &[app, text] : want) {
    const Json &tool = find_tool(app, "get_storage_info");
    ASSERT_TRUE(tool.is_object()) << app;
    EXPECT_EQ(tool.at("description"), text) << app;
    EXPECT_EQ(tool.at(Json::json_pointer("/inputSchema/properties")), Json::object()) << app;
    EXPECT_EQ(tool.at(Json::json_pointer("/inputSchema/required")), Json::array()) << app;
  }
}

TEST(CatalogTexts, PlatformNamingDescriptions) {
#ifdef _WIN32
  const std::string clipboard = "onto Windows clipboard.";
  const std::string wallet = "into the current-user Windows encrypted Wallet.";
  const std::string renderer = "Use an explicitly selected existing absolute ffmpeg.exe path.";
#else
  const std::string clipboard = "onto the clipboard.";
  const std::string wallet = "into the current-user encrypted Wallet.";
  const std::string renderer = "Use an explicitly selected existing absolute ffmpeg path.";
#endif
  EXPECT_EQ(find_tool("clipboard", "write_clipboard").at("description"),
            "Put supplied text or an explicitly selected image file " + clipboard +
                " Choose exactly one of text or imagePath. Saves one encrypted undo for previous "
                "supported text/image content.");
  EXPECT_EQ(
      find_tool("wallet", "import_document").at("description"),
      "Import an explicitly selected PDF, PNG, JPEG or UTF-8 text document, at most 20 MiB, " +
          wallet +
          " Original file is unchanged. Fields are user-supplied, not automatically "
          "extracted or verified.");
  EXPECT_EQ(find_tool("media", "configure_renderer").at("description"),
            renderer + " FFmpeg is installed separately; nothing is downloaded.");

#ifndef _WIN32
  // No Windows wording survives anywhere in the Linux catalogue.
  const std::string_view text = vft::server::catalog_text();
  EXPECT_EQ(text.find("Windows"), std::string_view::npos);
  EXPECT_EQ(text.find(".exe"), std::string_view::npos);
#endif
}

TEST(CatalogTexts, DescriptionsThatAreEasyToGetWrong) {
  const std::vector<std::pair<std::pair<std::string_view, std::string_view>, std::string>> checks =
      {
          {{"clipboard", "read_clipboard"},
           "Read only the explicitly requested current clipboard text or image. Returned data "
           "enters this conversation; never read preemptively."},
          {{"clipboard", "copy_saved_clip"},
           "Put a selected saved clip on the clipboard and keep one guarded undo."},
          {{"studio", "claim_free_tool"},
           "Claim a tool as its sole source/release writer. Refuses another active owner; no "
           "automatic stale-owner takeover."},
          {{"studio", "record_tool_evidence"},
           "Record an existing matching JSON receipt for an observed stage. Does not execute "
           "the action. Public completion requires verified showcase listing as well as page "
           "and download."},
          {{"inventory", "record_item_event"},
           "Add a dated event to an item; latest-dated mileage becomes current, so older "
           "entries do not overwrite newer readings."},
          {{"bookmarks", "save_bookmark"},
           "Create or correct a bookmark. Corrections require its id and current "
           "expectedVersion. Credential-bearing URLs are rejected."},
          {{"wallet", "export_document"},
           "Decrypt the selected document to an explicit absolute new destination. Never "
           "overwrites. The exported copy is plaintext; only do this for the user task."},
          {{"media", "save_edit"},
           "Append an immutable named timeline. Uses seconds in the original; optional 32-step "
           "speed ramp eases from speed to minSpeed at peak and back. Output uses centered "
           "contain framing and optional fixed zoom. Original and previous edits remain "
           "unchanged."},
          {{"media", "render_edit"},
           "Render a selected edit to an explicit new MP4. Never overwrite. Reject changed "
           "originals, archived projects and stale versions. Preview uses at most eight source "
           "seconds and 640 pixels. Requires separately installed FFmpeg with libx264 and AAC."},
          {{"bills", "confirm_payment"},
           "Record a user-observed payment confirmation with its reference and selected "
           "evidence file. Duplicate references or identical active evidence are rejected. "
           "Partial payments accumulate. File contents and bank/provider balances are not "
           "automatically verified."},
          {{"bills", "summarize_bills"},
           "Summarize saved outstanding/overdue amounts separately by currency on an explicit "
           "date. Does not refresh provider balances."},
      };
  for (const auto &[where, text] : checks) {
    const Json &tool = find_tool(where.first, where.second);
    ASSERT_TRUE(tool.is_object()) << where.second;
    EXPECT_EQ(tool.at("description"), text) << where.second;
  }
}

TEST(CatalogTexts, ToolNamesAreUniqueWithinEachApp) {
  for (const std::string_view app : kApps) {
    std::set<std::string> seen;
    for (const std::string &name : all_tool_names(std::string(app))) {
      EXPECT_TRUE(seen.insert(name).second) << app << " repeats " << name;
    }
  }
}

TEST(AppOnlyTools, ReadOnlyEntriesInTheCataloguesShape) {
  const Json &tools = app_tools();
  ASSERT_TRUE(tools.is_object());
  EXPECT_EQ(keys_of(tools), (std::set<std::string>{"bills", "media"}));
  const std::set<std::string> members = {"annotations", "description", "inputSchema", "name"};
  for (const auto &app : tools.items()) {
    ASSERT_TRUE(app.value().is_array()) << app.key();
    for (const Json &tool : app.value()) {
      const std::string where = app.key() + "/" + tool.value("name", "?");
      EXPECT_EQ(keys_of(tool), members) << where;
      EXPECT_FALSE(tool.value("description", "").empty()) << where;
      EXPECT_EQ(tool.at(Json::json_pointer("/inputSchema/type")), "object") << where;
      EXPECT_EQ(tool.at(Json::json_pointer("/inputSchema/additionalProperties")), false) << where;
      EXPECT_EQ(tool.at("annotations"), literal(R"({"readOnlyHint": true, "idempotentHint": true,
                  "openWorldHint": false, "destructiveHint": false})"))
          << where;
    }
  }
  // What the pipeline finds: the app's array, and an empty one for an app without any.
  EXPECT_EQ(vft::server::app_only_tools("bills").value(), tools.at("bills"));
  EXPECT_EQ(vft::server::app_only_tools("studio").value(), Json::array());
}

TEST(ToolTitles, EveryToolHasOneAndEveryTitleNamesATool) {
  const Json &all = titles();
  ASSERT_TRUE(all.is_object());
  EXPECT_EQ(keys_of(all), std::set<std::string>(kApps.begin(), kApps.end()));
  for (const std::string_view app_name : kApps) {
    const std::string app(app_name);
    const std::vector<std::string> names = all_tool_names(app);
    const Json &app_titles = all.contains(app) ? all.at(app) : Json::object();
    for (const std::string &name : names) {
      const auto title = app_titles.find(name);
      ASSERT_NE(title, app_titles.end()) << app << "/" << name << " has no title";
      ASSERT_TRUE(title->is_string()) << app << "/" << name;
      EXPECT_FALSE(title->get<std::string>().empty()) << app << "/" << name;
    }
    for (const auto &title : app_titles.items()) {
      EXPECT_NE(std::find(names.begin(), names.end(), title.key()), names.end())
          << app << " has a title for no tool: " << title.key();
    }
  }
  EXPECT_EQ(all.at("bookmarks").at("save_bookmark"), "Save bookmark");
  EXPECT_EQ(all.at("bills").at("summarize_bills_by_month"), "Summarize bills by month");
}

} // namespace

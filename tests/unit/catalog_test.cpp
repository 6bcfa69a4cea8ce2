// Holds the embedded tool catalogue against the published tool tables: apps, tool order,
// read-only set, argument names and types, required order, annotations and the texts that
// are easy to get wrong.
#include "json.hpp"
#include "server/catalog.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using vft::Json;

// One row per tool. `args` lists the arguments in declared order as "name:t", where t is
// s(tring), i(nteger), n(umber), b(oolean), a(rray) or o(bject); a trailing "!" marks a
// required argument. The required array must name exactly the marked ones, in this order.
struct ToolRow {
  std::string_view name;
  bool read_only;
  std::string_view args;
};

struct AppRow {
  std::string_view app;
  std::vector<ToolRow> tools;
};

const std::vector<AppRow> &expected_apps() {
  static const std::vector<AppRow> apps = {
      {"studio",
       {
           {"get_storage_info", true, ""},
           {"list_free_tools", true, "query:s includeArchived:b limit:i"},
           {"get_free_tool", true, "id:s!"},
           {"register_free_tool", false,
            "id:s! name:s! purpose:s! sourcePath:s! toolVersion:s visibility:s"},
           {"update_free_tool", false, "id:s! expectedVersion:i! patch:o!"},
           {"claim_free_tool", false, "id:s! owner:s! purpose:s! expectedVersion:i!"},
           {"release_free_tool", false, "id:s! owner:s! expectedVersion:i!"},
           {"record_tool_evidence", false,
            "id:s! expectedVersion:i! toolVersion:s! stage:s! outcome:s! evidencePath:s!"},
       }},
      {"clipboard",
       {
           {"get_storage_info", true, ""},
           {"inspect_clipboard", true, ""},
           {"read_clipboard", true, "kind:s!"},
           {"write_clipboard", false, "text:s imagePath:s"},
           {"undo_clipboard", false, ""},
           {"search_clips", true, "query:s includeArchived:b limit:i"},
           {"get_clip", true, "id:s!"},
           {"save_clip", false, "id:s expectedVersion:i title:s! text:s imagePath:s kind:s"},
           {"copy_saved_clip", false, "id:s!"},
           {"archive_clip", false, "id:s! expectedVersion:i!"},
           {"restore_clip", false, "id:s! expectedVersion:i!"},
       }},
      {"bookmarks",
       {
           {"get_storage_info", true, ""},
           {"search_bookmarks", true, "query:s includeArchived:b limit:i folder:s"},
           {"get_bookmark", true, "id:s!"},
           {"save_bookmark", false,
            "id:s expectedVersion:i title:s! url:s! folder:s tags:a note:s"},
           {"archive_bookmark", false, "id:s! expectedVersion:i!"},
           {"restore_bookmark", false, "id:s! expectedVersion:i!"},
       }},
      {"inventory",
       {
           {"get_storage_info", true, ""},
           {"search_items", true, "query:s includeArchived:b limit:i category:s"},
           {"get_item", true, "id:s!"},
           {"save_item", false,
            "id:s expectedVersion:i title:s! category:s! model:s serialNumber:s location:s "
            "purchaseDate:s warrantyUntil:s notes:s receiptPath:s"},
           {"record_item_event", false,
            "id:s! expectedVersion:i! kind:s! eventDate:s! note:s! mileage:n cost:n"},
           {"archive_item", false, "id:s! expectedVersion:i!"},
           {"restore_item", false, "id:s! expectedVersion:i!"},
       }},
      {"wallet",
       {
           {"get_storage_info", true, ""},
           {"search_documents", true, "query:s includeArchived:b limit:i kind:s"},
           {"get_document", true, "id:s! includeFields:b"},
           {"import_document", false, "path:s! title:s! kind:s! issuer:s expiresOn:s fields:o"},
           {"update_document", false,
            "id:s! expectedVersion:i! title:s issuer:s expiresOn:s fields:o"},
           {"export_document", false, "id:s! destinationPath:s!"},
           {"archive_document", false, "id:s! expectedVersion:i!"},
           {"restore_document", false, "id:s! expectedVersion:i!"},
       }},
      {"media",
       {
           {"get_storage_info", true, ""},
           {"get_renderer_status", true, ""},
           {"configure_renderer", false, "path:s!"},
           {"import_video", false, "title:s! path:s!"},
           {"search_projects", true, "query:s includeArchived:b limit:i"},
           {"get_project", true, "id:s!"},
           {"save_edit", false, "id:s! expectedVersion:i! name:s! timeline:o!"},
           {"render_edit", false,
            "id:s! expectedVersion:i! editId:s! destinationPath:s! preview:b"},
           {"archive_project", false, "id:s! expectedVersion:i!"},
           {"restore_project", false, "id:s! expectedVersion:i!"},
       }},
      {"bills",
       {
           {"get_storage_info", true, ""},
           {"search_bills", true, "query:s includeArchived:b limit:i status:s"},
           {"get_bill", true, "id:s!"},
           {"save_bill", false,
            "id:s expectedVersion:i title:s! provider:s! periodStart:s! periodEnd:s! dueDate:s! "
            "amountMinor:i! currency:s! accountLabel:s invoiceReference:s sourcePath:s note:s"},
           {"add_bill_source", false, "id:s! expectedVersion:i! sourcePath:s!"},
           {"record_payment_attempt", false,
            "id:s! expectedVersion:i! attemptedOn:s! amountMinor:i! note:s!"},
           {"confirm_payment", false,
            "id:s! expectedVersion:i! confirmedOn:s! amountMinor:i! confirmationReference:s! "
            "evidencePath:s!"},
           {"void_confirmation", false, "id:s! expectedVersion:i! confirmationId:s! reason:s!"},
           {"summarize_bills", true, "asOf:s!"},
           {"archive_bill", false, "id:s! expectedVersion:i!"},
           {"restore_bill", false, "id:s! expectedVersion:i!"},
       }},
  };
  return apps;
}

struct Arg {
  std::string name;
  std::string type;
  bool required = false;
};

std::vector<Arg> parse_args(std::string_view args) {
  static const std::map<char, std::string> kTypes = {{'s', "string"}, {'i', "integer"},
                                                     {'n', "number"}, {'b', "boolean"},
                                                     {'a', "array"},  {'o', "object"}};
  std::vector<Arg> out;
  std::istringstream in{std::string(args)};
  std::string word;
  while (in >> word) {
    Arg arg;
    arg.required = word.back() == '!';
    if (arg.required) {
      word.pop_back();
    }
    const auto colon = word.find(':');
    arg.name = word.substr(0, colon);
    arg.type = kTypes.at(word.at(colon + 1));
    out.push_back(arg);
  }
  return out;
}

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
  std::set<std::string> expected;
  for (const AppRow &row : expected_apps()) {
    expected.insert(std::string(row.app));
  }
  EXPECT_EQ(keys_of(cat), expected);

  // The document lists the apps in the order the server presents them.
  const std::string_view text = vft::server::catalog_text();
  std::size_t last = 0;
  for (const AppRow &row : expected_apps()) {
    const std::string key = "\"" + std::string(row.app) + "\"";
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
    ASSERT_NE(at, std::string_view::npos) << row.app;
    EXPECT_GT(at, last) << row.app << " is out of order";
    last = at;
  }
}

TEST(CatalogTools, NamesAndCountsPerApp) {
  const Json &cat = catalogue();
  ASSERT_TRUE(cat.is_object());
  std::size_t total = 0;
  for (const AppRow &row : expected_apps()) {
    const Json &tools = cat.at(std::string(row.app));
    ASSERT_TRUE(tools.is_array()) << row.app;
    std::vector<std::string> names;
    for (const Json &tool : tools) {
      names.push_back(tool.value("name", ""));
    }
    std::vector<std::string> want;
    for (const ToolRow &tool : row.tools) {
      want.emplace_back(tool.name);
    }
    EXPECT_EQ(names, want) << row.app;
    total += tools.size();
  }
  EXPECT_EQ(total, 61U);
  EXPECT_EQ(cat.at("studio").size(), 8U);
  EXPECT_EQ(cat.at("clipboard").size(), 11U);
  EXPECT_EQ(cat.at("bookmarks").size(), 6U);
  EXPECT_EQ(cat.at("inventory").size(), 7U);
  EXPECT_EQ(cat.at("wallet").size(), 8U);
  EXPECT_EQ(cat.at("media").size(), 10U);
  EXPECT_EQ(cat.at("bills").size(), 11U);
}

TEST(CatalogTools, EveryToolHasExactlyTheFourMembers) {
  const std::set<std::string> members = {"annotations", "description", "inputSchema", "name"};
  const std::set<std::string> schema_members = {"additionalProperties", "properties", "required",
                                                "type"};
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
      EXPECT_TRUE(schema.at("properties").is_object()) << where;
      ASSERT_TRUE(schema.at("required").is_array()) << where;
      for (const Json &name : schema.at("required")) {
        ASSERT_TRUE(name.is_string()) << where;
        EXPECT_TRUE(schema.at("properties").contains(name.get<std::string>()))
            << where << " requires undeclared " << name;
      }
    }
  }
}

TEST(CatalogTools, AnnotationsFollowTheReadOnlySet) {
  const std::set<std::string> hints = {"destructiveHint", "idempotentHint", "openWorldHint",
                                       "readOnlyHint"};
  std::size_t read_only = 0;
  for (const AppRow &row : expected_apps()) {
    for (const ToolRow &want : row.tools) {
      const std::string where = std::string(row.app) + "/" + std::string(want.name);
      const Json &tool = find_tool(row.app, want.name);
      ASSERT_TRUE(tool.is_object()) << where;
      const Json &notes = tool.at("annotations");
      ASSERT_TRUE(notes.is_object()) << where;
      EXPECT_EQ(keys_of(notes), hints) << where;
      for (const auto &hint : notes.items()) {
        EXPECT_TRUE(hint.value().is_boolean()) << where << " " << hint.key();
      }
      EXPECT_EQ(notes.at("readOnlyHint"), want.read_only) << where;
      EXPECT_EQ(notes.at("idempotentHint"), want.read_only) << where;
      EXPECT_EQ(notes.at("openWorldHint"), false) << where;
      EXPECT_EQ(notes.at("destructiveHint"), false) << where;
      read_only += want.read_only ? 1 : 0;
    }
  }
  // get_storage_info in all seven apps plus the eighteen reading tools.
  EXPECT_EQ(read_only, 25U);
}

TEST(CatalogTools, ArgumentsTypesAndRequiredOrder) {
  for (const AppRow &row : expected_apps()) {
    for (const ToolRow &want : row.tools) {
      const std::string where = std::string(row.app) + "/" + std::string(want.name);
      const Json &tool = find_tool(row.app, want.name);
      ASSERT_TRUE(tool.is_object()) << where;
      const Json &props = tool.at(Json::json_pointer("/inputSchema/properties"));
      const std::vector<Arg> args = parse_args(want.args);

      std::set<std::string> names;
      Json required = Json::array();
      for (const Arg &arg : args) {
        names.insert(arg.name);
        if (arg.required) {
          required.push_back(arg.name);
        }
        ASSERT_TRUE(props.contains(arg.name)) << where << " lacks " << arg.name;
        const Json &p = props.at(arg.name);
        ASSERT_TRUE(p.is_object()) << where << " " << arg.name;
        EXPECT_EQ(p.value("type", ""), arg.type) << where << " " << arg.name;
      }
      EXPECT_EQ(keys_of(props), names) << where;
      EXPECT_EQ(tool.at(Json::json_pointer("/inputSchema/required")), required) << where;
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
  for (const auto &app : catalogue().items()) {
    std::set<std::string> seen;
    for (const Json &tool : app.value()) {
      EXPECT_TRUE(seen.insert(tool.value("name", "")).second)
          << app.key() << " repeats " << tool.value("name", "");
    }
  }
}

} // namespace

// The shared record rules: text, date and fields checks, version guard, archive and restore,
// and the bounded search.
#include "apps/app.hpp"
#include "apps/common/record_changes.hpp"
#include "apps/common/records.hpp"
#include "store/document.hpp"
#include "text/unicode.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

using vft::Json;
using vft::to_compact;
namespace store = vft::store;
namespace apps = vft::apps;

namespace {

const std::string kEnDash = "\xE2\x80\x93";

Json doc_with(Json records) {
  Json doc = store::empty_document("bookmarks");
  doc["records"] = std::move(records);
  return doc;
}

Json rec(const std::string &id, const std::string &title, std::uint64_t version = 1,
         bool archived = false) {
  return Json{{"id", id},          {"title", title},    {"version", version},
              {"createdAt", 100U}, {"updatedAt", 100U}, {"archived", archived}};
}

std::vector<std::string> ids(const Json &result) {
  std::vector<std::string> out;
  for (const Json &r : result["records"])
    out.push_back(r["id"].get<std::string>());
  return out;
}

// A private folder for stores that a test saves.
class TempFolder {
public:
  TempFolder() {
    path_ = std::filesystem::temp_directory_path() /
            ("vft-records-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string str() const { return path_.string(); }

private:
  std::filesystem::path path_;
};

Json read_json_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return Json::parse(text.str());
}

} // namespace

// ---- record base and touch --------------------------------------------------------------------

TEST(RecordBase, NewRecordHasTheCommonMembers) {
  store::Stamper stamper;
  const Json a = apps::record_base(stamper, "Title", "bookmark");
  const Json b = apps::record_base(stamper, "Other", "bookmark");
  EXPECT_EQ(a["title"], "Title");
  EXPECT_TRUE(a["version"].is_number_unsigned());
  EXPECT_EQ(a["version"], 1U);
  EXPECT_EQ(a["archived"], false);
  EXPECT_TRUE(a["createdAt"].is_number_unsigned());
  EXPECT_TRUE(a["updatedAt"].is_number_unsigned());
  const auto created = a["createdAt"].get<std::uint64_t>();
  const auto updated = a["updatedAt"].get<std::uint64_t>();
  EXPECT_TRUE(updated == created || updated == created + 1);
  EXPECT_EQ(a.size(), 6U);
  const std::string id = a["id"];
  EXPECT_EQ(id.rfind("bookmark-", 0), 0U);
  EXPECT_NE(a["id"], b["id"]);
}

TEST(Touch, RaisesVersionOrStartsAtOne) {
  Json r = rec("x", "t", 3);
  r["updatedAt"] = 0U;
  r["createdAt"] = 5U;
  apps::touch(r);
  EXPECT_EQ(r["version"], 4U);
  EXPECT_GT(r["updatedAt"].get<std::uint64_t>(), 0U);
  EXPECT_EQ(r["createdAt"], 5U);

  for (Json odd : {Json("3"), Json(nullptr), Json(-2), Json(2.0)}) {
    Json s = rec("x", "t");
    s["version"] = odd;
    apps::touch(s);
    EXPECT_EQ(s["version"], 1U) << odd.dump();
  }
  Json missing = rec("x", "t");
  missing.erase("version");
  apps::touch(missing);
  EXPECT_EQ(missing["version"], 1U);
}

// ---- text rules -------------------------------------------------------------------------------

TEST(TextRule, MustBeStringAndIsNotTrimmed) {
  EXPECT_EQ(apps::text_rule(Json{{"id", "  a "}}, "id").value(), "  a ");
  EXPECT_EQ(apps::text_rule(Json::object(), "id").error(), "id must be text");
  EXPECT_EQ(apps::text_rule(Json{{"id", 5}}, "id").error(), "id must be text");
  EXPECT_EQ(apps::text_rule(Json{{"id", nullptr}}, "id").error(), "id must be text");
}

TEST(RequiredText, TrimsUnicodeWhiteSpaceAndCountsScalars) {
  const std::string bad = "title must be 1" + kEnDash + "160 characters without NUL";
  EXPECT_EQ(apps::required_text_message("title", 160), bad);

  // U+3000 IDEOGRAPHIC SPACE and U+00A0 NO-BREAK SPACE are white space too.
  const Json spaced{{"title", "\xE3\x80\x80\xC2\xA0 Hello\t\n"}};
  EXPECT_EQ(apps::required_text(spaced, "title", 160).value(), "Hello");

  std::string three_byte;
  for (int i = 0; i < 160; ++i)
    three_byte += "\xE2\x82\xAC"; // EURO SIGN
  EXPECT_EQ(apps::required_text(Json{{"title", "  " + three_byte + " "}}, "title", 160).value(),
            three_byte);
  EXPECT_EQ(apps::required_text(Json{{"title", three_byte + "\xE2\x82\xAC"}}, "title", 160).error(),
            bad);

  EXPECT_EQ(apps::required_text(Json{{"title", "   "}}, "title", 160).error(), bad);
  EXPECT_EQ(apps::required_text(Json{{"title", ""}}, "title", 160).error(), bad);
  EXPECT_EQ(apps::required_text(Json{{"title", std::string("a\0b", 3)}}, "title", 160).error(),
            bad);
  EXPECT_EQ(apps::required_text(Json{{"title", 7}}, "title", 160).error(), "title must be text");
  EXPECT_EQ(apps::required_text(Json::object(), "url", 4096).error(), "url must be text");
}

// ---- date rule --------------------------------------------------------------------------------

TEST(DateRule, RealDaysOnly) {
  for (const char *good : {"2024-02-29", "2000-02-29", "1900-01-01", "2300-12-31", "2023-04-30",
                           "2023-12-31", "2023-02-28"}) {
    EXPECT_TRUE(apps::date_rule(good)) << good;
  }
  for (const char *bad :
       {"2023-02-29", "1900-02-29", "2100-02-29", "1899-12-31", "2301-01-01", "2023-04-31",
        "2023-13-01", "2023-00-10", "2023-01-00", "2024-ab-01", "0000-00-00"}) {
    EXPECT_EQ(apps::date_rule(bad).error(), "Invalid calendar date") << bad;
  }
}

TEST(DateRule, OnlyAsciiDigitsAreRead) {
  // A sign or space would make dates that do not sort as text.
  for (const char *bad :
       {"2024-+1-01", "+024-01-01", "2024-01-+1", "2024- 1-01", "2024-1a-01", "２０２４-01-01"}) {
    auto result = apps::date_rule(bad);
    ASSERT_FALSE(result) << bad;
    if (std::string(bad).size() == 10) {
      EXPECT_EQ(result.error(), "Invalid calendar date") << bad;
    }
  }
}

TEST(DateRule, ShapeIsYyyyMmDd) {
  for (const char *bad :
       {"2024-2-29", "2024-02-029", "24-02-29", "20240229", "2024-02", "2024-02-29-", "-2024-02-29",
        "2024--02-29", "", "2024/02/29", "2024-02-29T00"}) {
    EXPECT_EQ(apps::date_rule(bad).error(), "Dates must use YYYY-MM-DD") << bad;
  }
}

// ---- fields rule ------------------------------------------------------------------------------

TEST(FieldsRule, ShapeAndCount) {
  EXPECT_TRUE(apps::fields_rule(Json::object()));
  EXPECT_TRUE(apps::fields_rule(Json{{"fields", Json::object()}}));
  EXPECT_EQ(apps::fields_rule(Json{{"fields", Json::array()}}).error(),
            "fields must be an object of text values");
  EXPECT_EQ(apps::fields_rule(Json{{"fields", "a"}}).error(),
            "fields must be an object of text values");

  Json forty = Json::object();
  for (int i = 0; i < 40; ++i)
    forty["f" + std::to_string(i)] = "v";
  EXPECT_TRUE(apps::fields_rule(Json{{"fields", forty}}));
  forty["f40"] = "v";
  EXPECT_EQ(apps::fields_rule(Json{{"fields", forty}}).error(), "At most 40 fields");

  const std::string shape = "Fields need short names and text values up to 2000 bytes";
  EXPECT_TRUE(apps::fields_rule(Json{{"fields", {{"note", std::string(2000, 'x')}}}}));
  EXPECT_EQ(apps::fields_rule(Json{{"fields", {{"note", std::string(2001, 'x')}}}}).error(), shape);
  // Bytes, not characters: 1000 two-byte characters are 2000 bytes; one more is too long.
  std::string two_byte;
  for (int i = 0; i < 1000; ++i)
    two_byte += "\xC3\xA9";
  EXPECT_TRUE(apps::fields_rule(Json{{"fields", {{"note", two_byte}}}}));
  EXPECT_EQ(apps::fields_rule(Json{{"fields", {{"note", two_byte + "a"}}}}).error(), shape);

  EXPECT_TRUE(apps::fields_rule(Json{{"fields", {{std::string(80, 'n'), "v"}}}}));
  EXPECT_EQ(apps::fields_rule(Json{{"fields", {{std::string(81, 'n'), "v"}}}}).error(), shape);
  EXPECT_EQ(apps::fields_rule(Json{{"fields", {{"", "v"}}}}).error(), shape);
  EXPECT_EQ(apps::fields_rule(Json{{"fields", {{"n", 5}}}}).error(), shape);
  EXPECT_EQ(apps::fields_rule(Json{{"fields", {{"n", nullptr}}}}).error(), shape);
}

TEST(FieldsRule, RefusesSecretLookingNames) {
  const std::string secret = "Do not store passwords, access tokens, payment security codes, or "
                             "government identity numbers";
  for (const char *name :
       {"PIN code", "api_key", "Shipping", "Opinion", "Pass-Word", "ACCESS TOKEN", "refresh_token",
        "Client Secret", "cvv2", "SSN", "Social-Security Number", "private_key",
        // Full Unicode lower-casing: the Kelvin sign lower-cases to k.
        "API\xE2\x84\xAA"
        "EY"}) {
    EXPECT_EQ(apps::fields_rule(Json{{"fields", {{name, "v"}}}}).error(), secret) << name;
  }
  EXPECT_TRUE(apps::fields_rule(Json{{"fields", {{"Policy number", "v"}, {"Issuer", "v"}}}}));
}

TEST(FieldsRule, NamesAreCheckedInByteOrderSecretBeforeShape) {
  // "a" (bad value) sorts before "pin": the shape failure comes first.
  EXPECT_EQ(apps::fields_rule(Json{{"fields", {{"pin", "1"}, {"a", 5}}}}).error(),
            "Fields need short names and text values up to 2000 bytes");
  // Within one member the secret check comes before the shape check.
  EXPECT_EQ(apps::fields_rule(Json{{"fields", {{"pin", 5}}}}).error(),
            "Do not store passwords, access tokens, payment security codes, or government "
            "identity numbers");
}

// ---- lookup, get, version check ---------------------------------------------------------------

TEST(Lookup, FindsFirstMatchingIdIncludingArchived) {
  const Json doc =
      doc_with(Json::array({Json("not a record"), Json{{"id", 5}}, rec("b", "first", 1, true),
                            rec("b", "second"), rec("c", "third")}));
  EXPECT_EQ(apps::lookup_by_id(doc, Json{{"id", "b"}}).value(), 2U);
  EXPECT_EQ(apps::get_by_id(doc, Json{{"id", "b"}}).value()["title"], "first");
  EXPECT_EQ(apps::lookup_by_id(doc, Json{{"id", "B"}}).error(), "Record not found");
  EXPECT_EQ(apps::lookup_by_id(doc, Json{{"id", "5"}}).error(), "Record not found");
  EXPECT_EQ(apps::lookup_by_id(doc, Json{{"id", 5}}).error(), "id must be text");
  EXPECT_EQ(apps::get_by_id(doc, Json::object()).error(), "id must be text");
}

TEST(VersionCheck, EqualOrBothNone) {
  const std::string conflict = "Version conflict: read this record again; current version is ";
  const Json r3 = rec("a", "t", 3);
  EXPECT_TRUE(apps::version_check(r3, Json{{"expectedVersion", 3U}}));
  EXPECT_EQ(apps::version_check(r3, Json{{"expectedVersion", 2U}}).error(), conflict + "3");
  EXPECT_EQ(apps::version_check(r3, Json::object()).error(), conflict + "3");
  EXPECT_EQ(apps::version_check(r3, Json{{"expectedVersion", 3.0}}).error(), conflict + "3");

  Json none = rec("a", "t");
  none.erase("version");
  EXPECT_TRUE(apps::version_check(none, Json::object()));
  EXPECT_EQ(apps::version_check(none, Json{{"expectedVersion", 1U}}).error(), conflict + "null");

  Json text_version = rec("a", "t");
  text_version["version"] = "3";
  EXPECT_TRUE(apps::version_check(text_version, Json::object()));
  EXPECT_EQ(apps::version_check(text_version, Json{{"expectedVersion", 3U}}).error(),
            conflict + "\"3\"");
}

TEST(LookupForChange, RefusesAVersionThatCannotBeRaised) {
  const std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
  const Json doc = doc_with(Json::array({rec("a", "t", last), rec("b", "t", last - 1)}));
  EXPECT_EQ(apps::lookup_for_change(doc, Json{{"id", "a"}, {"expectedVersion", last}}).error(),
            "Record version is at its largest value; this record cannot be changed");
  EXPECT_EQ(apps::lookup_for_change(doc, Json{{"id", "b"}, {"expectedVersion", last - 1}}).value(),
            1U);
}

// ---- archive and restore ----------------------------------------------------------------------

TEST(SetArchived, ArchivesRestoresAndSaves) {
  TempFolder folder;
  store::Stamper stamper;
  store::Store st{"bookmarks", folder.str(), doc_with(Json::array({rec("a", "t", 2)}))};

  const Json archive_args{{"id", "a"}, {"expectedVersion", 2U}};
  vft::apps::ToolCall archive{"archive_bookmark", archive_args, st, stamper};
  auto archived = vft::apps::set_archived(archive, true);
  ASSERT_TRUE(archived) << archived.error();
  EXPECT_EQ(archived.value(), (Json{{"archived", true}, {"id", "a"}, {"version", 3U}}));
  EXPECT_EQ(to_compact(archived.value()), R"({"archived":true,"id":"a","version":3})");
  const Json saved = read_json_file(st.file_path());
  EXPECT_EQ(saved["records"][0]["archived"], true);
  EXPECT_EQ(saved["records"][0]["version"], 3U);

  // Archiving again is still a change.
  const Json again_args{{"id", "a"}, {"expectedVersion", 3U}};
  vft::apps::ToolCall again{"archive_bookmark", again_args, st, stamper};
  EXPECT_EQ(vft::apps::set_archived(again, true).value()["version"], 4U);

  const Json restore_args{{"id", "a"}, {"expectedVersion", 4U}};
  vft::apps::ToolCall restore{"restore_bookmark", restore_args, st, stamper};
  EXPECT_EQ(vft::apps::set_archived(restore, false).value(),
            (Json{{"archived", false}, {"id", "a"}, {"version", 5U}}));
  EXPECT_EQ(read_json_file(st.file_path())["records"][0]["archived"], false);
}

TEST(SetArchived, FailuresChangeNothing) {
  TempFolder folder;
  store::Stamper stamper;
  store::Store st{"bookmarks", folder.str(), doc_with(Json::array({rec("a", "t", 2)}))};
  const Json before = st.document;

  const Json stale{{"id", "a"}, {"expectedVersion", 1U}};
  vft::apps::ToolCall stale_call{"archive_bookmark", stale, st, stamper};
  EXPECT_EQ(vft::apps::set_archived(stale_call, true).error(),
            "Version conflict: read this record again; current version is 2");

  const Json missing{{"id", "zz"}, {"expectedVersion", 2U}};
  vft::apps::ToolCall missing_call{"archive_bookmark", missing, st, stamper};
  EXPECT_EQ(vft::apps::set_archived(missing_call, true).error(), "Record not found");

  EXPECT_EQ(st.document, before);
  EXPECT_FALSE(std::filesystem::exists(st.file_path()));
}

// ---- bounded search ---------------------------------------------------------------------------

TEST(BoundedSearch, NewestFirstWithLimits) {
  Json records = Json::array();
  for (int i = 0; i < 120; ++i)
    records.push_back(rec("r" + std::to_string(i), "t"));
  const Json doc = doc_with(records);

  const Json plain = apps::bounded_search(doc, Json::object(), {});
  EXPECT_EQ(plain["limit"], 30U);
  EXPECT_EQ(plain["total"], 120U);
  ASSERT_EQ(plain["records"].size(), 30U);
  EXPECT_EQ(plain["records"][0]["id"], "r119");
  EXPECT_EQ(plain["records"][29]["id"], "r90");

  const Json zero = apps::bounded_search(doc, Json{{"limit", 0U}}, {});
  EXPECT_EQ(zero["limit"], 1U);
  EXPECT_EQ(zero["records"].size(), 1U);
  EXPECT_EQ(zero["total"], 120U);

  const Json huge = apps::bounded_search(doc, Json{{"limit", 1000U}}, {});
  EXPECT_EQ(huge["limit"], 100U);
  EXPECT_EQ(huge["records"].size(), 100U);

  EXPECT_EQ(apps::bounded_search(doc, Json{{"limit", 100U}}, {})["limit"], 100U);
  EXPECT_EQ(apps::bounded_search(doc, Json{{"limit", 101U}}, {})["limit"], 100U);
  EXPECT_EQ(apps::bounded_search(doc, Json{{"limit", 7U}}, {})["records"].size(), 7U);
  // Not a non-negative integer: the default.
  for (Json odd : {Json(-1), Json(5.0), Json("5"), Json(nullptr)}) {
    EXPECT_EQ(apps::bounded_search(doc, Json{{"limit", odd}}, {})["limit"], 30U) << odd.dump();
  }
  EXPECT_EQ(to_compact(apps::bounded_search(doc_with(Json::array()), Json::object(), {})),
            R"({"limit":30,"records":[],"total":0})");
}

TEST(BoundedSearch, ArchivedAndQueryMatching) {
  Json archived_one = rec("old", "gone", 2, true);
  Json with_secret = rec("s", "plain");
  with_secret["content"] = "hiddenword";
  const Json doc = doc_with(Json::array(
      {rec("a", "\xC3\xA9t\xC3\xA9 notes"), archived_one, with_secret, rec("b", "Summer")}));

  EXPECT_EQ(ids(apps::bounded_search(doc, Json::object(), {})),
            (std::vector<std::string>{"b", "s", "a"}));
  EXPECT_EQ(ids(apps::bounded_search(doc, Json{{"includeArchived", true}}, {})),
            (std::vector<std::string>{"b", "s", "old", "a"}));
  EXPECT_EQ(ids(apps::bounded_search(doc, Json{{"includeArchived", false}}, {})).size(), 3U);

  // The member name "archived" is part of every record's text.
  const Json every = apps::bounded_search(doc, Json{{"query", "ARCHIVED"}}, {});
  EXPECT_EQ(every["total"], 3U);
  // Both sides lower-cased with full Unicode mapping: ÉTÉ finds été.
  EXPECT_EQ(ids(apps::bounded_search(doc, Json{{"query", "\xC3\x89T\xC3\x89"}}, {})),
            (std::vector<std::string>{"a"}));
  EXPECT_EQ(ids(apps::bounded_search(doc, Json{{"query", "summer"}}, {})),
            (std::vector<std::string>{"b"}));
  // Not trimmed: a leading space must be in the text.
  EXPECT_EQ(apps::bounded_search(doc, Json{{"query", " summer"}}, {})["total"], 0U);
  // Member text, ids and numbers are part of the match.
  EXPECT_EQ(apps::bounded_search(doc, Json{{"query", "\"id\":\"s\""}}, {})["total"], 1U);
  EXPECT_EQ(apps::bounded_search(doc, Json{{"query", "gone"}}, {})["total"], 0U);
  EXPECT_EQ(
      apps::bounded_search(doc, Json{{"query", "gone"}, {"includeArchived", true}}, {})["total"],
      1U);

  // Omitted members are neither matched nor returned.
  EXPECT_EQ(apps::bounded_search(doc, Json{{"query", "hiddenword"}}, {})["total"], 1U);
  EXPECT_EQ(apps::bounded_search(doc, Json{{"query", "hiddenword"}}, {"content"})["total"], 0U);
  const Json without = apps::bounded_search(doc, Json{{"query", "plain"}}, {"content"});
  ASSERT_EQ(without["records"].size(), 1U);
  EXPECT_FALSE(without["records"][0].contains("content"));
  // The store itself is untouched.
  EXPECT_EQ(doc["records"][2]["content"], "hiddenword");
}

TEST(BoundedSearch, FiltersAreExactAndNeedTheMember) {
  Json a = rec("a", "t");
  a["folder"] = "Work";
  Json b = rec("b", "t");
  b["folder"] = "work";
  Json c = rec("c", "t");
  c["folder"] = "Work ";
  Json d = rec("d", "t"); // no folder
  Json e = rec("e", "t");
  e["folder"] = "Work";
  e["kind"] = "x";
  const Json doc = doc_with(Json::array({a, b, c, d, e}));

  EXPECT_EQ(ids(apps::bounded_search(doc, Json{{"folder", "Work"}}, {})),
            (std::vector<std::string>{"e", "a"}));
  EXPECT_EQ(ids(apps::bounded_search(doc, Json{{"folder", "Work"}, {"kind", "x"}}, {})),
            (std::vector<std::string>{"e"}));
  EXPECT_EQ(apps::bounded_search(doc, Json{{"folder", ""}}, {})["total"], 0U);
  EXPECT_EQ(apps::bounded_search(doc, Json{{"category", "Work"}}, {})["total"], 0U);
}

TEST(BoundedSearch, RecordsPastTheLimitAreMatchedLikeTheOthers) {
  Json records = Json::array();
  for (int i = 0; i < 5; ++i) {
    Json r = rec("r" + std::to_string(i), i % 2 == 0 ? "even" : "odd");
    r["content"] = "secretword";
    records.push_back(r);
  }
  const Json doc = doc_with(records);
  const Json limit1{{"limit", 1U}};
  EXPECT_EQ(
      apps::bounded_search(doc, Json{{"query", "secretword"}, {"limit", 1U}}, {"content"})["total"],
      0U);
  EXPECT_EQ(apps::bounded_search(doc, Json{{"query", "secretword"}, {"limit", 1U}}, {})["total"],
            5U);
  const Json even = apps::bounded_search(doc, Json{{"query", "EVEN"}, {"limit", 1U}}, {"content"});
  EXPECT_EQ(even["total"], 3U);
  EXPECT_EQ(ids(even), (std::vector<std::string>{"r4"}));
  EXPECT_FALSE(even["records"][0].contains("content"));
  EXPECT_EQ(apps::bounded_search(doc, limit1, {"content"})["total"], 5U);
}

TEST(BoundedSearch, KeptTextsAnswerAsAFreshSearch) {
  Json with_content = rec("s", "plain");
  with_content["content"] = "hiddenword";
  // KELVIN SIGN and CAPITAL I WITH DOT lower-case to ASCII letters (plus a combining dot).
  const Json doc =
      doc_with(Json::array({rec("a", "\xC3\x89t\xC3\xA9 \xE2\x84\xAA"), rec("old", "gone", 2, true),
                            with_content, rec("b", "Summer \xC4\xB0")}));
  store::Store kept{"bookmarks", "", doc, store::ReadWhole{"file bytes", {}}};
  for (const char *query : {"", "archived", "\xC3\x89T\xC3\x89", " k", "summer i", "hiddenword",
                            "\"id\":\"s\"", "gone", "plain"}) {
    for (const bool archived : {false, true}) {
      const Json args{{"query", query}, {"includeArchived", archived}, {"limit", 2U}};
      EXPECT_EQ(apps::bounded_search(kept, args, {"content"}),
                apps::bounded_search(doc, args, {"content"}))
          << query;
    }
  }
  ASSERT_TRUE(kept.search_texts() && *kept.search_texts());
  EXPECT_TRUE(apps::search_texts_match(doc, **kept.search_texts()));
  // A match never spans the end of one record's text and the start of the next.
  EXPECT_EQ(apps::bounded_search(kept, Json{{"query", "}{"}}, {"content"})["total"], 0U);
  EXPECT_EQ(apps::bounded_search(kept, Json{{"query", "1}"}}, {"content"})["total"], 3U);
  // A document no session keeps (no file bytes) gets no texts.
  store::Store once{"bookmarks", "", doc};
  (void)apps::bounded_search(once, Json{{"query", "plain"}}, {"content"});
  EXPECT_EQ(once.search_texts(), nullptr);
}

TEST(BoundedSearch, LowerCasingAsciiInPlaceMatchesTheFullMapping) {
  // Every ASCII byte, at every offset in a word, then the same with a non-ASCII letter.
  std::string ascii;
  for (int c = 1; c < 0x80; ++c)
    ascii += static_cast<char>(c);
  for (std::size_t shift = 0; shift < 8; ++shift) {
    for (const std::string &tail : {std::string(), std::string("\xC3\x89")}) {
      std::string text = std::string(shift, 'Q') + ascii + tail + ascii;
      std::string expected;
      for (const char c : text)
        expected += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
      if (!tail.empty()) expected.replace(shift + ascii.size(), 2, "\xC3\xA9");
      vft::text::lower_in_place(text);
      EXPECT_EQ(text, expected) << shift;
    }
  }
}

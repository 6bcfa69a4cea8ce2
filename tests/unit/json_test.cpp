#include "../json_differential.hpp"
#include "json/fast.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

using vft::Json;
using vft::testing::readers_differ;
using vft::testing::writers_differ;

namespace {

// Random documents of every shape a store can hold, with the awkward texts and numbers.
class Generator {
public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  Json value(int depth) {
    switch (pick(depth > 4 ? 6 : 8)) {
    case 0:
      return nullptr;
    case 1:
      return pick(2) == 0;
    case 2:
      return number();
    case 3:
    case 4:
    case 5:
      return text();
    case 6: {
      Json array = Json::array();
      for (int n = pick(5); n > 0; --n)
        array.push_back(value(depth + 1));
      return array;
    }
    default: {
      Json object = Json::object();
      for (int n = pick(6); n > 0; --n)
        object[text()] = value(depth + 1);
      return object;
    }
    }
  }

private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  Json number() {
    static const std::vector<Json> edges = {
        0U,      1U,     std::numeric_limits<std::uint64_t>::max(),
        -1,      0.0,    -0.0,
        1.0,     0.1,    1e300,
        -2e-308, 5e-324, std::numeric_limits<std::int64_t>::min(),
        123.456, 1e21,   std::numeric_limits<double>::max()};
    switch (pick(4)) {
    case 0:
      return edges[static_cast<std::size_t>(pick(static_cast<int>(edges.size())))];
    case 1:
      return std::uniform_int_distribution<std::uint64_t>()(rng_);
    case 2:
      return std::uniform_int_distribution<std::int64_t>(INT64_MIN, -1)(rng_);
    default:
      return std::uniform_real_distribution<double>(-1e6, 1e6)(rng_);
    }
  }

  std::string text() {
    static const std::vector<std::string> pieces = {
        "a",          "Zürich", "\"", "\\",           "/", "\x01", "\x1f", "\x7f",
        "\n\r\t\b\f", "é",      "😀",  "\xe2\x80\xa8", "",  " ",    "key",  "\xef\xbf\xbf"};
    std::string out;
    for (int n = pick(4); n > 0; --n)
      out += pieces[static_cast<std::size_t>(pick(static_cast<int>(pieces.size())))];
    return out;
  }

  std::mt19937 rng_;
};

TEST(JsonFast, AgreesWithNlohmannOnRandomDocuments) {
  Generator generate(20261207);
  for (int i = 0; i < 2000; ++i) {
    const Json value = generate.value(0);
    ASSERT_EQ(writers_differ(value), "") << value.dump();
    // What we write reads back the same through both readers, pretty and compact.
    ASSERT_EQ(readers_differ(vft::to_pretty(value)), "") << value.dump();
    ASSERT_EQ(readers_differ(vft::to_compact(value)), "") << value.dump();
    // Leaving members out while writing is writing a copy without them.
    if (value.is_object() && !value.empty()) {
      Json without = value;
      const std::string first = value.begin().key();
      without.erase(first);
      const std::vector<std::string_view> omitted{first, "absent"};
      std::string written;
      vft::json_fast::write_compact_except(value, omitted, written);
      ASSERT_EQ(written, vft::to_compact(without)) << value.dump();
    }
  }
}

TEST(JsonFast, AgreesWithNlohmannOnOddTexts) {
  const std::vector<std::string> texts = {
      // accepted
      "0", "-0", "-0.0", "1E+2", "1e-2", "18446744073709551615", "18446744073709551616",
      "-9223372036854775808", "-9223372036854775809", "1e400", "-1e400", "1e-400",
      "123456789012345678901234567890", "0.1000000000000000055511151231257827",
      " \t\r\n{ \"b\" : 1 , \"a\" : [ ] } \n", R"({"a":1,"a":2})", R"({"b":1,"a":2,"c":{}})",
      R"("\u0000\u001F\/\ud83d\ude00\u00e9\uFFFF")", "\xef\xbb\xbf{}", "[[[]]]", "\"\x7f\"",
      // refused, with nlohmann's message
      "", " ", "01", "1.", ".5", "-", "+1", "1e", "tru", "nul", "[1,]", "{\"a\"}", "{,}", "[1 2]",
      "{} {}", "\"\x01\"", "\"\\x\"", R"("\ud800")", R"("\udc00")", R"("\ud800\u0041")",
      "\"\xc0\x80\"", "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\"", "\"\xe2\x82\"", "\"abc",
      "[\"a\" \x00]", "\xef\xbb", "/* c */ 1", "NaN", "Infinity",
      std::string(128, '[') + std::string(128, ']'), std::string(129, '[') + std::string(129, ']'),
      "x" + std::string(200, '{'), "[" + std::string(129, '{'),
      "{\"a\":\n" + std::string(130, '[')};
  for (const auto &text : texts) {
    EXPECT_EQ(readers_differ(text), "") << text;
  }
}

TEST(JsonFast, RefusesANulOutsideAString) {
  // nlohmann alone stops at such a NUL as if the text ended there, and accepts what came before.
  using namespace std::string_literals;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{}\0{\"more\":1}"s, "parse error at line 1, column 3: syntax error while parsing value - "
                            "invalid character U+0000 (NUL)"},
      {"[1,\n\0]"s, "parse error at line 2, column 1: syntax error while parsing value - "
                    "invalid character U+0000 (NUL)"},
      // A fault before the NUL, and a NUL inside a string, keep nlohmann's own messages.
      {"[tru\0e]"s, "parse error at line 1, column 5: syntax error while parsing value - invalid "
                    "literal; last read: '[tru'"},
      {"{\"a\":\"x\0\"}"s, "parse error at line 1, column 8: syntax error while parsing value - "
                           "invalid string: control character U+0000 (NUL) must be escaped to "
                           "\\u0000; last read: '\"x<U+0000>'"},
  };
  for (const auto &[text, message] : cases) {
    const auto parsed = vft::parse_json(text);
    ASSERT_FALSE(parsed) << text;
    EXPECT_EQ(parsed.error(), message);
    EXPECT_EQ(readers_differ(text), "");
  }
}

TEST(JsonFast, WritesInvalidUtf8AsNlohmannReplacesIt) {
  for (const std::string bad : {"a\xff", "\xc3", "\xe2\x82x", "\xed\xa0\x80", "ok\xc0\xafok"}) {
    EXPECT_EQ(writers_differ(Json{{bad, bad}, {"list", {bad, 1}}}), "") << bad;
  }
}

TEST(JsonFast, ReadsEveryValidTextWithinTheDepth) {
  using namespace std::string_literals;
  // nlohmann's tree is only a fallback, and objects in reverse order are one sort, not one
  // insertion per member (which would cost the square of their number).
  std::string reversed = "{";
  for (int n = 3'000; n > 0; --n)
    reversed += "\"k" + std::to_string(n % 2'000) + "\":" + std::to_string(n) + ",";
  reversed.back() = '}';
  for (const std::string &text :
       {"\xef\xbb\xbf{}"s, "18446744073709551616"s, "-9223372036854775809"s,
        "0." + std::string(300, '1'), reversed}) {
    EXPECT_TRUE(vft::json_fast::read(text)) << text.substr(0, 40);
    EXPECT_EQ(readers_differ(text), "") << text.substr(0, 40);
  }
  EXPECT_FALSE(vft::json_fast::read(std::string(129, '[') + std::string(129, ']')));
  EXPECT_TRUE(vft::json_fast::read(std::string(128, '[') + std::string(128, ']')));
}

bool has_escaped_key(const Json &value) {
  if (value.is_array()) return std::any_of(value.begin(), value.end(), has_escaped_key);
  if (!value.is_object()) return false;
  for (const auto &[key, member] : value.items()) {
    const auto escaped = [](char c) { return c == '"' || c == '\\' || (c >= 0 && c < 0x20); };
    if (std::any_of(key.begin(), key.end(), escaped) || has_escaped_key(member)) return true;
  }
  return false;
}

// The one-shot save copies the records' text when it is exactly the written form: the check
// must take every text the writer gives (within its limits) and nothing else.
TEST(JsonFast, TakesExactlyTheWrittenFormInPlace) {
  using vft::store::pretty_members;
  using vft::testing::pretty_check_wrong;
  Generator generate(7);
  for (int i = 0; i < 2000; ++i) {
    const Json record = generate.value(1);
    const Json document = {{"app", "x"}, {"records", Json::array({record, record})}};
    const std::string text = vft::to_pretty(document);
    ASSERT_EQ(pretty_check_wrong(text), "") << text;
    if (!has_escaped_key(record)) {
      ASSERT_TRUE(pretty_members(text)) << text;
    }
    // Any one byte changed, added or taken away makes another text, which must not pass.
    for (std::size_t at = 0; at < text.size(); at += 1 + at / 4) {
      std::string changed = text;
      changed[at] = changed[at] == ' ' ? '\t' : ' ';
      ASSERT_EQ(pretty_check_wrong(changed), "") << changed;
      ASSERT_EQ(pretty_check_wrong(text.substr(0, at) + " " + text.substr(at)), "");
      ASSERT_EQ(pretty_check_wrong(text.substr(0, at) + text.substr(at + 1)), "");
    }
  }
  const auto members = pretty_members("{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": {}\n}");
  ASSERT_TRUE(members);
  ASSERT_EQ(members->size(), 2U);
  EXPECT_EQ((*members)[0].value, "[\n    1,\n    2\n  ]");
  EXPECT_EQ((*members)[0].elements, 2U);
  // Valid texts that are not the written form, one way each.
  for (const std::string_view text :
       {"{}\n", "\xef\xbb\xbf{}", "{\n  \"b\": 1,\n  \"a\": 2\n}", "{\n  \"a\": 1,\n  \"a\": 2\n}",
        "{\n  \"a\": -0\n}", "{\n  \"a\": 1E2\n}", "{\n  \"a\": 1.50\n}",
        "{\n  \"a\": 18446744073709551616\n}", "{\n  \"a\": \"\\/\"\n}",
        "{\n  \"a\": \"\\u001F\"\n}", "{\n  \"a\": \"\\u0009\"\n}", "{\n  \"a\": \"\\u0041\"\n}",
        "{\n  \"\\u0061\": 1\n}", "{\r\n  \"a\": 1\r\n}", "{\n\t\"a\": 1\n}", "[]"}) {
    EXPECT_FALSE(pretty_members(text)) << text;
  }
  EXPECT_TRUE(pretty_members("{\n  \"a\": [\n    -0.0,\n    1.5,\n    \"\\u001f\\t\x7f\"\n  ]\n}"));
}

// A save that adds records to the text in place: the same bytes as writing the whole document.
TEST(JsonFast, AddsToAWrittenArrayInPlaceAsAWholeWriteWould) {
  using vft::store::ArrayPlace;
  for (const std::size_t stored : {0, 1, 3}) {
    Json document = {{"app", "x"}, {"records", Json::array()}, {"undo", nullptr}};
    for (std::size_t n = 0; n < stored; ++n)
      document["records"].push_back({{"n", n}, {"tags", {"a", "b"}}});
    std::string text;
    ArrayPlace place;
    vft::store::write_marking(document, "records", 128, text, place);
    ASSERT_EQ(text, vft::to_pretty(document));
    const auto members = vft::store::pretty_members(text);
    ASSERT_TRUE(members);
    EXPECT_EQ(text.substr(place.begin, place.end - place.begin), (*members)[1].value);
    const std::vector<Json> added = {{{"n", 9}, {"note", "new"}}, Json::object()};
    for (const std::size_t adding : {0, 1, 2}) {
      std::string out = text;
      ArrayPlace moved = place;
      Json changed = document;
      changed["undo"] = {{"last", adding}};
      const auto written = vft::store::append_in_place(
          changed, "records", stored, std::span(added).first(adding), 128, out, moved);
      for (std::size_t n = 0; n < adding; ++n)
        changed["records"].push_back(added[n]);
      ASSERT_TRUE(written && written->within_levels);
      EXPECT_EQ(out, vft::to_pretty(changed)) << stored << " " << adding;
      EXPECT_EQ(out.substr(moved.begin, moved.end - moved.begin),
                vft::store::pretty_members(out).value()[1].value);
    }
    // Members before the records that no longer give the text there, or an element too deep
    // to write: the text is left as it was.
    std::string out = text;
    ArrayPlace same = place;
    Json renamed = document;
    renamed["app"] = "y";
    EXPECT_FALSE(vft::store::append_in_place(renamed, "records", stored, added, 128, out, same));
    Json deep = Json::array();
    for (int n = 0; n < 127; ++n)
      deep = Json::array({deep});
    const auto too_deep = vft::store::append_in_place(document, "records", stored,
                                                      std::span(&deep, 1), 128, out, same);
    EXPECT_TRUE(too_deep && !too_deep->within_levels);
    EXPECT_EQ(out, text);
    EXPECT_EQ(same.end, place.end);
  }
}

} // namespace

TEST(JsonFast, SettledDocumentIsWhatItsTextReadsBackAs) {
  Json document = {{"signed", 5},           {"negative", -5},   {"nan", std::nan("")},
                   {"bad\xff", "text\xc3"}, {"bad\xfe", "two"}, {"list", {1, 2.5, "\xe2\x82"}}};
  bool settled = false;
  const std::string text = vft::to_pretty_settled(document, 128, settled).value();
  EXPECT_TRUE(settled);
  // The two keys that are alike once replaced collapse into one, as reading the text does.
  EXPECT_EQ(document.size(), 5U);
  EXPECT_TRUE(vft::same_json(document, vft::parse_json(text).value()));
  EXPECT_TRUE(document["signed"].is_number_unsigned());
}

// A save writes into the memory of the file's previous bytes: whatever room that buffer has,
// more or less than the text needs, the text comes out whole.
TEST(JsonFast, WritesIntoAGivenBufferOfAnyRoom) {
  Json records = Json::array();
  for (unsigned n = 0; n < 12000; ++n)
    records.push_back({{"n", n}, {"text", std::string(150, static_cast<char>('a' + n % 26))}});
  Json document = {{"records", records}};
  const std::string expected = vft::to_pretty_reference(document);
  for (const std::size_t room : {std::size_t{0}, expected.size() - 1, expected.size(),
                                 expected.size() + 100, (std::size_t{1} << 20) + 3}) {
    std::string buffer(room, 'x');
    bool settled = false;
    EXPECT_EQ(vft::to_pretty_settled(document, 128, settled, std::move(buffer)), expected) << room;
  }
}

// Objects are a sorted array rather than std::map: every change and every read must leave the
// same members in the same order as the map does.
TEST(JsonObjects, BehaveAsTheStdMapObjectsTheyReplace) {
  std::mt19937 rng(7);
  const std::vector<std::string> keys = {"", "a", "b", "ab", "B", "é", "z", "\x7f", "records"};
  const auto key = [&] { return keys[rng() % keys.size()]; };
  Json ours = Json::object();
  nlohmann::json map = nlohmann::json::object();
  for (int step = 0; step < 3000; ++step) {
    const std::string k = key();
    const auto value = static_cast<std::uint64_t>(step);
    switch (rng() % 5) {
    case 0:
      ours[k] = value;
      map[k] = value;
      break;
    case 1:
      ASSERT_EQ(ours.erase(k), map.erase(k));
      break;
    case 2:
      ours.emplace(k, value);
      map.emplace(k, value);
      break;
    case 3:
      ours.get_ref<Json::object_t &>().insert_or_assign(k, value);
      map.get_ref<nlohmann::json::object_t &>().insert_or_assign(k, value);
      break;
    default:
      ASSERT_EQ(ours.contains(k), map.contains(k));
      ASSERT_EQ(ours.find(k) == ours.end(), map.find(k) == map.end());
    }
    ASSERT_EQ(ours.dump(), map.dump());
  }
  // Members read out of order or twice: sorted, and the last of a repeated key wins.
  for (const std::string text : {R"({"b":1,"a":2,"b":3,"":{"y":[],"x":0,"y":1}})",
                                 R"({"z":0,"a":1,"m":2,"a":3,"z":4})", R"([{"b":1,"a":2},{}])"}) {
    ASSERT_EQ(vft::parse_json(text).value().dump(), nlohmann::json::parse(text).dump()) << text;
    ASSERT_EQ(Json::parse(text).dump(), nlohmann::json::parse(text).dump()) << text;
  }
}

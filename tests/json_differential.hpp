// Compares the program's JSON reader and writer with nlohmann's own, for the unit tests and
// the fuzzer alike: the same trees with the same number classes, the same error texts, the
// same bytes written.
#pragma once

#include "store/written_form.hpp"
#include "json/fast.hpp"
#include "json/json.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace vft::testing {

// Empty when both agree on the value; otherwise what differs.
inline std::string writers_differ(const Json &value) {
  if (to_pretty(value) != to_pretty_reference(value)) return "pretty form differs";
  if (to_compact(value) != value.dump(-1, ' ', false, Json::error_handler_t::replace)) {
    return "compact form differs";
  }
  return {};
}

// Empty when both agree on the text; otherwise what differs.
inline std::string readers_differ(std::string_view text) {
  const auto ours = parse_json(text);
  const auto theirs = parse_json_reference(text);
  if (ours.has_value() != theirs.has_value()) return "one accepts, the other refuses";
  if (!ours) return ours.error() == theirs.error() ? std::string() : "messages differ";
  if (!same_json(ours.value(), theirs.value())) return "trees differ";
  return writers_differ(ours.value());
}

// Empty unless the check of the written form accepts a text that is not exactly the pretty
// form of what it reads as, or finds its top-level members wrong.
inline std::string pretty_check_wrong(std::string_view text) {
  const auto members = store::pretty_members(text);
  if (!members) return {};
  const auto value = parse_json_reference(text);
  if (!value) return "accepts a text that does not read";
  if (to_pretty(value.value()) != text) return "accepts a text that is not the written form";
  if (members->size() != value->size()) return "members missed";
  auto expected = value->begin();
  for (const auto &member : *members) {
    const auto read = parse_json_reference(member.value);
    if (member.key != expected.key() || !read || !same_json(read.value(), expected.value()) ||
        (read->is_array() && member.elements != read->size())) {
      return "member " + expected.key() + " wrong";
    }
    ++expected;
  }
  // Adding to an array member in place gives what writing the whole value gives.
  for (const auto &member : *members) {
    if (!member.value.starts_with('[')) continue;
    const std::string key(member.key);
    const auto begin = static_cast<std::size_t>(member.value.data() - text.data());
    store::ArrayPlace place{begin, begin + member.value.size()};
    std::string out(text);
    Json whole = value.value();
    const std::vector<Json> added = {Json{{"new", -1}}};
    const auto written =
        store::append_in_place(whole, key, member.elements, added, kMaxJsonDepth, out, place);
    whole[key].push_back(added[0]);
    if (!written || !written->within_levels || out != to_pretty(whole)) {
      return "adding to " + key + " in place differs";
    }
    break;
  }
  return {};
}

} // namespace vft::testing

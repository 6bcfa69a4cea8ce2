// Compares the program's JSON reader and writer with nlohmann's own, for the unit tests and
// the fuzzer alike: the same trees with the same number classes, the same error texts, the
// same bytes written.
#pragma once

#include "json.hpp"

#include <string>
#include <string_view>

namespace vft::testing {

// nlohmann's == takes 1 and 1.0 (and unsigned and signed 1) for equal; the stores do not.
inline bool same_tree(const Json &a, const Json &b) {
  if (a.type() != b.type()) return false;
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    auto j = b.begin();
    for (auto i = a.begin(); i != a.end(); ++i, ++j) {
      if (i.key() != j.key() || !same_tree(*i, *j)) return false;
    }
    return true;
  }
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!same_tree(a[i], b[i])) return false;
    }
    return true;
  }
  return a == b;
}

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
  if (!same_tree(ours.value(), theirs.value())) return "trees differ";
  return writers_differ(ours.value());
}

} // namespace vft::testing

// The one JSON type of the system and its parse/serialise entry points.
#pragma once

#include "result.hpp"
#include "json/value.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace vft {

// Parses exactly one JSON value (surrounding ASCII white space allowed). On failure the
// error is the parser's description with line and column.
Result<Json> parse_json(std::string_view text);

// Whether the value nests at most `levels` levels of arrays and objects (a scalar nests 0,
// [] 1, [[]] 2). Stops descending at the limit, so any value can be measured safely.
bool nests_within(const Json &value, int levels);

// nlohmann's own parser and writer, which the two above must match byte for byte; kept for
// the tests that compare them.
Result<Json> parse_json_reference(std::string_view text);
std::string to_pretty_reference(const Json &value);

// Compact form: no white space, members in key order. Used for protocol output and search.
std::string to_compact(const Json &value);

// Pretty form: two-space indentation, no final line feed. Used for stores and one-shot output.
std::string to_pretty(const Json &value);

// The pretty form of a store document, which afterwards is exactly the tree that form reads
// back as (a signed 5 becomes unsigned, and so on); settled is false where it could not be
// made so (binary values, which no document of ours holds). None, with value unchanged, when
// value nests deeper than max_levels (see nests_within). The text is written into buffer,
// whose bytes are discarded: a large text then needs no fresh memory.
std::optional<std::string> to_pretty_settled(Json &value, int max_levels, bool &settled,
                                             std::string buffer = {});

// Equal with the number classes: nlohmann's == takes 1, 1U and 1.0 for the same value.
bool same_json(const Json &a, const Json &b);

// A member of an object: none (nullptr) when value is no object or lacks it, or, as a value,
// null then (JSON equality never takes an absent member for a present one).
inline const Json *find_member(const Json &value, std::string_view name) {
  if (!value.is_object()) return nullptr;
  const auto found = value.find(name);
  return found == value.end() ? nullptr : &*found;
}
inline Json member_or_null(const Json &value, std::string_view name) {
  const Json *found = find_member(value, name);
  return found == nullptr ? Json() : *found;
}

} // namespace vft

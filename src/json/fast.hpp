// The store's hot path: a reader (reader.cpp) and a writer (writer.cpp) that work
// straight on the one JSON tree type. They give exactly what nlohmann's own parse and dump
// give (json.cpp falls back to those for every input the reader does not take), only without
// their per-character overhead.
#pragma once

#include "json/value.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vft::json_fast {

// The value of text, or none for anything it does not accept: malformed text, nesting
// deeper than kMaxJsonDepth, a byte-order mark, numbers beyond the 64-bit integer classes.
// Whatever it accepts, nlohmann's parser accepts with the same tree and number classes.
std::optional<Json> read(std::string_view text);

// Appends value as nlohmann's dump(indent, ' ', false, replace) writes it; indent -1 is the
// compact form. False when the text reads back as a different tree: a signed integer of 0 or
// more reads back unsigned, a non-finite double as null, invalid UTF-8 replaced.
bool write(const Json &value, int indent, std::string &out);

struct Written {
  bool settled;       // what write returns
  bool within_levels; // no array or object nests deeper than the levels given
};

// write, telling also whether value nests within max_levels levels (as nests_within does):
// a store's save needs both and walks the tree once.
Written write_within(const Json &value, int indent, std::size_t max_levels, std::string &out);

// Appends the compact form of value, leaving out the members named in omitted when value is
// an object: the text a copy without them would give, without making the copy.
void write_compact_except(const Json &value, std::span<const std::string_view> omitted,
                          std::string &out);

// Turns value into the tree its written form reads back as; false where it cannot (binary
// values, which no document of ours holds).
bool settle(Json &value);

} // namespace vft::json_fast

// The store's hot path: a reader and a writer that work straight on the one JSON tree type.
// They give exactly what nlohmann's own parse and dump give (json.cpp falls back to those
// for every input the reader does not take), only without their per-character overhead.
#pragma once

#include "json.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// A member of a text's top-level object, where pretty_members found it.
struct PrettyMember {
  std::string_view key;   // as written, which for the keys taken is the key itself
  std::string_view value; // the text of its value
  std::size_t elements;   // when that value is an array, how many elements it has
};

// The members of text's top-level object, when text is exactly what write(value, 2) gives
// for the value read makes of it, so that writing that value again gives text byte for byte;
// none for any other text, valid or not, which has to be read whole instead. It may refuse
// some texts the writer gives (escaped keys, nesting 127 levels deep), never accept others.
std::optional<std::vector<PrettyMember>> pretty_members(std::string_view text);

// Where an array member's value lies in the written form of its object.
struct ArrayPlace {
  std::size_t begin = 0; // its "["
  std::size_t end = 0;   // just after its "]"
};

// write_within(object, 2, max_levels, out) for an object with an array member `name`, in
// place of out's content, telling where that member's text lies.
Written write_marking(const Json &object, std::string_view name, std::size_t max_levels,
                      std::string &out, ArrayPlace &place);

// out holds the written form (indent 2) of an object whose array member `name` lay at place
// with `elements` elements. Makes it, in place, the written form of object with the elements
// `added` after those: the array's text is kept and object's value of it is not looked at;
// the members after it are written again from object, and those before it must give the text
// they gave (none where they do not). Not within the levels when something would nest deeper
// than max_levels. In both cases out is left as it was; otherwise place is updated.
std::optional<Written> append_in_place(const Json &object, std::string_view name,
                                       std::size_t elements, std::span<const Json> added,
                                       std::size_t max_levels, std::string &out, ArrayPlace &place);

// Appends the compact form of value, leaving out the members named in omitted when value is
// an object: the text a copy without them would give, without making the copy.
void write_compact_except(const Json &value, std::span<const std::string_view> omitted,
                          std::string &out);

// Turns value into the tree its written form reads back as; false where it cannot (binary
// values, which no document of ours holds).
bool settle(Json &value);

} // namespace vft::json_fast

// A store's written form: the exact text our writer gives for a document (two-space
// indentation, members in key order, our escapes and number forms), so that writing the
// value that text reads as gives that text again byte for byte. A save that only adds records
// works on such a text in place: it finds the records array in it, and writes the new
// records and the members after them, with nothing else copied or read.
#pragma once

#include "json/fast.hpp"
#include "json/value.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vft::store {

// A member of a text's top-level object, where pretty_members found it.
struct PrettyMember {
  std::string_view key;   // as written, which for the keys taken is the key itself
  std::string_view value; // the text of its value
  std::size_t elements;   // when that value is an array, how many elements it has
};

// The members of text's top-level object, when text is the written form of the value the
// reader makes of it; none for any other text, valid or not, which has to be read whole
// instead. It may refuse some texts the writer gives (escaped keys, nesting 127 levels deep),
// never accept others.
std::optional<std::vector<PrettyMember>> pretty_members(std::string_view text);

// Where an array member's value lies in the written form of its object.
struct ArrayPlace {
  std::size_t begin = 0; // its "["
  std::size_t end = 0;   // just after its "]"
};

// json_fast::write_within(object, 2, max_levels, out) for an object with an array member
// `name`, in place of out's content, telling where that member's text lies.
json_fast::Written write_marking(const Json &object, std::string_view name, std::size_t max_levels,
                                 std::string &out, ArrayPlace &place);

// out holds the written form of an object whose array member `name` lay at place with
// `elements` elements. Makes it, in place, the written form of object with the elements
// `added` after those: the array's text is kept and object's value of it is not looked at;
// the members after it are written again from object, and those before it must give the text
// they gave (none where they do not, or where object has no member `name`). Not within the
// levels when something would nest deeper than max_levels. In both cases out is left as it
// was; otherwise place is updated.
std::optional<json_fast::Written> append_in_place(const Json &object, std::string_view name,
                                                  std::size_t elements, std::span<const Json> added,
                                                  std::size_t max_levels, std::string &out,
                                                  ArrayPlace &place);

} // namespace vft::store

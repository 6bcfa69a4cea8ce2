#include "store/written_form.hpp"

#include "json/bytes.hpp"
#include "json/fast.hpp"
#include "json/json.hpp"
#include "json/writer.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace vft::store {

using json_fast::Writer;
using json_fast::Written;

namespace {

using json_fast::skip_plain;
using json_fast::take_word;
using json_fast::utf8_sequence;

// Walks a text and accepts it only where it is byte for byte what the writer gives, with an
// indentation of two, for the value the reader makes of it. Anything else is refused, valid
// or not, and is then read whole; so the check may refuse more than it must (escaped keys,
// the deepest nesting), never less.
class PrettyCheck {
public:
  explicit PrettyCheck(std::string_view text)
      : p_(reinterpret_cast<const unsigned char *>(text.data())), end_(p_ + text.size()) {}

  std::optional<std::vector<PrettyMember>> members() {
    std::vector<PrettyMember> found;
    if (p_ == end_ || *p_ != '{') return std::nullopt;
    ++p_;
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return p_ == end_ ? std::optional(std::move(found)) : std::nullopt;
    }
    do {
      std::string_view key;
      if (!line(1) || !member_key(key, found.empty() ? nullptr : &found.back().key)) {
        return std::nullopt;
      }
      const auto *start = p_;
      std::size_t elements = 0;
      if (!value(1, &elements)) return std::nullopt;
      found.push_back({key, view(start, p_), elements});
    } while (next());
    if (!line(0) || !take('}') || p_ != end_) return std::nullopt;
    return found;
  }

private:
  // Arrays and objects from this level down are refused: well inside the reader's limit.
  static constexpr std::size_t kLevels = kMaxJsonDepth - 1;

  static std::string_view view(const unsigned char *from, const unsigned char *to) {
    return {reinterpret_cast<const char *>(from), static_cast<std::size_t>(to - from)};
  }
  bool take(char c) {
    if (p_ == end_ || *p_ != static_cast<unsigned char>(c)) return false;
    ++p_;
    return true;
  }
  // A comma ends a member or element that another follows.
  bool next() { return take(','); }
  // A line break and the indentation of level, eight spaces at a time: a store is mostly
  // short lines, too short for a call to memcmp to pay.
  bool line(std::size_t level) {
    constexpr std::uint64_t kEightSpaces = 0x2020202020202020ULL;
    const std::size_t n = 1 + 2 * level;
    if (static_cast<std::size_t>(end_ - p_) < n || *p_ != '\n') return false;
    std::size_t at = 1;
    for (; at + 8 <= n; at += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, p_ + at, 8);
      if (word != kEightSpaces) return false;
    }
    for (; at < n; ++at) {
      if (p_[at] != ' ') return false;
    }
    p_ += n;
    return true;
  }

  bool value(std::size_t level, std::size_t *elements = nullptr) {
    if (p_ == end_) return false;
    switch (*p_) {
    case '{':
      return object(level);
    case '[':
      return array(level, elements);
    case '"':
      return string();
    case 't':
      return word("true");
    case 'f':
      return word("false");
    case 'n':
      return word("null");
    default:
      return number();
    }
  }

  bool object(std::size_t level) {
    if (level >= kLevels) return false;
    ++p_;
    if (take('}')) return true;
    std::string_view previous;
    bool first = true;
    do {
      std::string_view key;
      if (!line(level + 1) || !member_key(key, first ? nullptr : &previous)) return false;
      if (!value(level + 1)) return false;
      previous = key;
      first = false;
    } while (next());
    return line(level) && take('}');
  }

  bool array(std::size_t level, std::size_t *elements) {
    if (level >= kLevels) return false;
    ++p_;
    if (take(']')) return true;
    std::size_t count = 0;
    do {
      if (!line(level + 1) || !value(level + 1)) return false;
      ++count;
    } while (next());
    if (elements != nullptr) *elements = count;
    return line(level) && take(']');
  }

  // A key the writer gives unescaped, after the one before it in byte order (which also rules
  // out repeats), then the separator.
  bool member_key(std::string_view &key, const std::string_view *previous) {
    const auto *start = p_;
    if (p_ == end_ || *p_ != '"' || !string(false)) return false;
    key = view(start + 1, p_ - 1);
    if (previous != nullptr && !(*previous < key)) return false;
    if (end_ - p_ < 2 || p_[0] != ':' || p_[1] != ' ') return false;
    p_ += 2;
    return true;
  }

  // A string whose escapes are the writer's own: the short ones, and \u00XX with lower-case
  // digits for the other control characters. Keys take none.
  bool string(bool escapes = true) {
    ++p_;
    for (;;) {
      p_ = skip_plain(p_, end_);
      if (p_ == end_) return false;
      const unsigned char c = *p_;
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c >= 0x80) {
        const std::size_t n = utf8_sequence(p_, end_);
        if (n == 0) return false;
        p_ += n;
        continue;
      }
      if (c != '\\' || !escapes || end_ - p_ < 2) return false;
      switch (p_[1]) {
      case '"':
      case '\\':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        p_ += 2;
        continue;
      case 'u':
        if (!control_escape()) return false;
        p_ += 6;
        continue;
      default:
        return false;
      }
    }
  }
  bool control_escape() const {
    if (end_ - p_ < 6 || p_[2] != '0' || p_[3] != '0' || (p_[4] != '0' && p_[4] != '1')) {
      return false;
    }
    const unsigned char d = p_[5];
    const bool digit = d >= '0' && d <= '9';
    if (!digit && !(d >= 'a' && d <= 'f')) return false;
    const unsigned code = (p_[4] - '0') * 16U + (digit ? d - '0' : d - 'a' + 10U);
    return code != '\b' && code != '\t' && code != '\n' && code != '\f' && code != '\r';
  }

  bool word(std::string_view text) { return take_word(p_, end_, text); }

  bool digits() {
    const auto *start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9')
      ++p_;
    return p_ != start;
  }

  // An integer written as the writer writes it (no sign on 0, no leading zeros, within the
  // 64-bit classes), or a double the writer writes the same way again.
  bool number() {
    const auto *start = p_;
    take('-');
    if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
    if (!take('0')) digits();
    const bool whole = p_ == end_ || (*p_ != '.' && *p_ != 'e' && *p_ != 'E');
    if (whole) {
      const std::string_view text = view(start, p_);
      if (text == "-0") return false;
      const char *first = text.data();
      const char *last = first + text.size();
      if (text[0] == '-') {
        std::int64_t ignored = 0;
        return std::from_chars(first, last, ignored).ec == std::errc();
      }
      std::uint64_t ignored = 0;
      return std::from_chars(first, last, ignored).ec == std::errc();
    }
    if (take('.') && !digits()) return false;
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (!take('+')) take('-');
      if (!digits()) return false;
    }
    const std::string_view text = view(start, p_);
    const auto read_back = json_fast::read(text);
    if (!read_back || !read_back->is_number_float()) return false;
    std::string again;
    return json_fast::write(*read_back, -1, again) && again == text;
  }

  const unsigned char *p_;
  const unsigned char *end_;
};

} // namespace

std::optional<std::vector<PrettyMember>> pretty_members(std::string_view text) {
  return PrettyCheck(text).members();
}

namespace {

// The members of a store-like object before member `name`, as its written form lays them out,
// up to and with that member's key: the text before that member's value.
void write_head(Writer &writer, const Json::object_t &members, std::string_view name) {
  char separator = '{';
  for (const auto &[key, member] : members) {
    writer.put(separator);
    separator = ',';
    writer.new_line(1);
    writer.string(key);
    writer.member_separator();
    if (key == name) return;
    writer.value(member, 1);
  }
}

// The members after member `name` and the end of the object: the text after that value.
void write_tail(Writer &writer, const Json::object_t &members, std::string_view name) {
  bool after = false;
  for (const auto &[key, member] : members) {
    if (!after) {
      after = key == name;
      continue;
    }
    writer.put(',');
    writer.new_line(1);
    writer.string(key);
    writer.member_separator();
    writer.value(member, 1);
  }
  writer.new_line(0);
  writer.put('}');
}

} // namespace

Written write_marking(const Json &object, std::string_view name, std::size_t max_levels,
                      std::string &out, ArrayPlace &place) {
  const auto &members = object.get_ref<const Json::object_t &>();
  out.clear();
  Writer writer(out, 2);
  writer.max_levels = max_levels;
  write_head(writer, members, name);
  place.begin = writer.size();
  writer.value(members.find(name)->second, 1);
  place.end = writer.size();
  write_tail(writer, members, name);
  return {writer.settled, !writer.too_deep};
}

std::optional<Written> append_in_place(const Json &object, std::string_view name,
                                       std::size_t elements, std::span<const Json> added,
                                       std::size_t max_levels, std::string &out,
                                       ArrayPlace &place) {
  const auto &members = object.get_ref<const Json::object_t &>();
  const auto member = members.find(name);
  if (member == members.end()) return std::nullopt;
  std::string head;
  bool settled = true;
  {
    Writer writer(head, 2);
    writer.max_levels = max_levels;
    write_head(writer, members, name);
    if (writer.too_deep) return Written{false, false};
    settled = writer.settled;
  }
  if (head.size() != place.begin || out.compare(0, head.size(), head) != 0) return std::nullopt;
  // Nothing is changed before it is known that all of it can be written.
  const auto within = [&](const Json &value, std::size_t level) {
    return level < max_levels && nests_within(value, static_cast<int>(max_levels - level));
  };
  const bool deep = std::any_of(added.begin(), added.end(),
                                [&](const Json &element) { return !within(element, 2); }) ||
                    std::any_of(std::next(member), members.end(),
                                [&](const auto &member) { return !within(member.second, 1); });
  if (deep) return Written{false, false};
  // The elements there, without the array's closing line ("\n  ]"), then the added ones.
  out.resize(elements == 0 ? place.begin : place.end - 4);
  Writer writer(out, 2);
  writer.max_levels = max_levels;
  writer.settled = settled;
  char separator = elements == 0 ? '[' : ',';
  for (const Json &element : added) {
    writer.put(separator);
    separator = ',';
    writer.new_line(2);
    writer.value(element, 2);
  }
  if (separator == '[') {
    writer.put("[]", 2);
  } else {
    writer.new_line(1);
    writer.put(']');
  }
  place.end = writer.size();
  write_tail(writer, members, name);
  return Written{writer.settled, !writer.too_deep};
}

} // namespace vft::store

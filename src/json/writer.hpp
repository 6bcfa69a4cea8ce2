// The fast writer's one machine, for code that writes a text piece by piece (the store writes
// its records apart from the members around them). Most callers want json/fast.hpp instead.
#pragma once

#include "json/value.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace vft::json_fast {

// A line break and the indentation after it: stores are written line by line.
inline constexpr std::size_t kSpacesAtOnce = 255;
inline constexpr auto kLineBreak = [] {
  std::array<char, kSpacesAtOnce + 1> text{};
  text.fill(' ');
  text[0] = '\n';
  return text;
}();

// Writes into out's own buffer, grown ahead of the bytes; out's size is set when the writer
// ends. Short pieces are copied as fixed 16-byte blocks, which needs no call.
class Writer {
public:
  static constexpr std::size_t kBlock = 16;

  Writer(std::string &out, int indent)
      : out_(out), used_(out.size()), pretty_(indent >= 0),
        step_(static_cast<std::size_t>(pretty_ ? indent : 0)) {}
  Writer(const Writer &) = delete;
  Writer &operator=(const Writer &) = delete;
  ~Writer() { out_.resize(used_); }

  bool settled = true; // what is written reads back as the same tree
  // Arrays and objects deeper than this are not written (nor descended into): too_deep.
  std::size_t max_levels = std::numeric_limits<std::size_t>::max();
  bool too_deep = false;

  void value(const Json &value, std::size_t level);
  void string(const std::string &text);
  // Escapes as nlohmann does with ensure_ascii off; false (and nothing written) for text
  // that is not valid UTF-8, whose replacement characters are left to nlohmann itself.
  bool escaped(std::string_view text);
  void member_separator() { pretty_ ? put(": ", 2) : put(':'); }
  std::size_t size() const { return used_; }
  void put(char c) {
    *room(1) = c;
    ++used_;
  }
  void put(const char *text, std::size_t n) {
    std::memcpy(room(n), text, n);
    used_ += n;
  }
  void new_line(std::size_t level) {
    if (!pretty_) return;
    std::size_t spaces = level * step_;
    if (spaces < kBlock) return put_short(kLineBreak.data(), spaces + 1);
    put(kLineBreak.data(), 1 + std::min(spaces, kSpacesAtOnce));
    for (spaces -= std::min(spaces, kSpacesAtOnce); spaces > 0;) {
      const std::size_t n = std::min(spaces, kSpacesAtOnce);
      put(kLineBreak.data() + 1, n);
      spaces -= n;
    }
  }

private:
  char *room(std::size_t n) {
    if (out_.size() - used_ < n) grow(n);
    return out_.data() + used_;
  }
  // The string's size runs ahead of the bytes written; growing it zero-fills, so the room
  // it has is taken a megabyte at a time (while those bytes are about to be written anyway),
  // all of it before the string is reallocated, to twice its room: a text about the size
  // of the given buffer's room then fits in that memory.
  void grow(std::size_t n) {
    if (used_ + n > out_.capacity()) out_.reserve(std::max(used_ + n, 2 * out_.capacity()));
    const std::size_t ahead = std::max<std::size_t>(n, std::size_t{1} << 20);
    out_.resize(std::min(used_ + ahead, out_.capacity()));
  }
  void put_short(const char *block, std::size_t n) { // block holds kBlock bytes, n <= kBlock
    std::memcpy(room(kBlock), block, kBlock);
    used_ += n;
  }
  template <typename Integer> void integer(Integer number) {
    char *at = room(24);
    used_ += static_cast<std::size_t>(std::to_chars(at, at + 24, number).ptr - at);
  }
  void floating(double number);

  std::string &out_;
  std::size_t used_;
  const bool pretty_;
  const std::size_t step_;
};

} // namespace vft::json_fast

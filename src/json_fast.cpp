#include "json_fast.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace vft::json_fast {

namespace {

// Length of the well-formed UTF-8 sequence at p (lead byte at least 0x80), or 0. These are
// the exact ranges nlohmann's lexer and serializer accept: no overlong forms, no surrogates,
// nothing above U+10FFFF.
std::size_t utf8_sequence(const unsigned char *p, const unsigned char *end) {
  const auto in = [](unsigned char c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
  const std::size_t left = static_cast<std::size_t>(end - p);
  const unsigned char c = p[0];
  if (in(c, 0xC2, 0xDF)) return left >= 2 && in(p[1], 0x80, 0xBF) ? 2 : 0;
  if (in(c, 0xE0, 0xEF)) {
    if (left < 3) return 0;
    const unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
    const unsigned hi = c == 0xED ? 0x9F : 0xBF;
    return in(p[1], lo, hi) && in(p[2], 0x80, 0xBF) ? 3 : 0;
  }
  if (in(c, 0xF0, 0xF4)) {
    if (left < 4) return 0;
    const unsigned lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
    return in(p[1], lo, hi) && in(p[2], 0x80, 0xBF) && in(p[3], 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

// The first byte from p on that a JSON string cannot carry as it is: a control character,
// a quotation mark, a backslash, or the start of a multi-byte sequence. Eight bytes at a time,
// the last few too: most strings in a store are short.
const unsigned char *skip_plain(const unsigned char *p, const unsigned char *end) {
  static_assert(std::endian::native == std::endian::little, "bytes are counted from the low end");
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  // The high bit of each byte that needs care. Borrows only run upwards, so the lowest bit
  // set always marks a byte that does.
  const auto special = [](std::uint64_t word) {
    const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    const std::uint64_t below_space = (word - kOnes * 0x20) & ~word;
    return (below_space | has_zero(word ^ (kOnes * '"')) | has_zero(word ^ (kOnes * '\\')) | word) &
           kHighs;
  };
#ifdef __SSE2__
  // Sixteen bytes at a time where the processor has SSE2 (every x86-64 one). As signed bytes,
  // the start of a multi-byte sequence is negative, so "below a space" covers it too.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i care =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                     _mm_cmplt_epi8(bytes, space));
    if (const auto found = static_cast<unsigned>(_mm_movemask_epi8(care))) {
      return p + std::countr_zero(found);
    }
    p += 16;
  }
#endif
  while (end - p >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    if (const std::uint64_t found = special(word)) return p + std::countr_zero(found) / 8;
    p += 8;
  }
  if (p < end) {
    // The last few bytes, gathered in a register (a short copy through memory would stall
    // the load after it), over plain filling.
    std::uint64_t word = kOnes * 'a';
    for (std::size_t i = 0; p + i < end; ++i) {
      const unsigned shift = 8 * static_cast<unsigned>(i);
      word = (word & ~(std::uint64_t{0xFF} << shift)) | (std::uint64_t{p[i]} << shift);
    }
    if (const std::uint64_t found = special(word)) return p + std::countr_zero(found) / 8;
  }
  return end;
}

// Moves p past word when the text there starts with it.
bool take_word(const unsigned char *&p, const unsigned char *end, std::string_view word) {
  if (static_cast<std::size_t>(end - p) < word.size() ||
      std::memcmp(p, word.data(), word.size()) != 0) {
    return false;
  }
  p += word.size();
  return true;
}

// ---- writer ----------------------------------------------------------------------------

// A line break and the indentation after it: stores are written line by line.
constexpr std::size_t kSpacesAtOnce = 255;
constexpr auto kLineBreak = [] {
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

bool Writer::escaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::size_t rollback = used_;
  const auto *p = reinterpret_cast<const unsigned char *>(text.data());
  const auto *end = p + text.size();
  const auto *run = p;
  while (p < end) {
    p = skip_plain(p, end);
    if (p == end) break;
    const unsigned char c = *p;
    if (c >= 0x80) {
      const std::size_t n = utf8_sequence(p, end);
      if (n == 0) {
        used_ = rollback;
        return false;
      }
      p += n;
      continue;
    }
    put(reinterpret_cast<const char *>(run), static_cast<std::size_t>(p - run));
    char escape[6] = {'\\', 0, '0', '0', kHex[c >> 4], kHex[c & 0xF]};
    switch (c) {
    case '"':
    case '\\':
      escape[1] = static_cast<char>(c);
      break;
    case '\b':
      escape[1] = 'b';
      break;
    case '\t':
      escape[1] = 't';
      break;
    case '\n':
      escape[1] = 'n';
      break;
    case '\f':
      escape[1] = 'f';
      break;
    case '\r':
      escape[1] = 'r';
      break;
    default:
      escape[1] = 'u';
    }
    put(escape, escape[1] == 'u' ? 6 : 2);
    run = ++p;
  }
  put(reinterpret_cast<const char *>(run), static_cast<std::size_t>(p - run));
  return true;
}

void Writer::string(const std::string &text) {
  // Most strings need no escape: quotes and text in one piece.
  const auto *begin = reinterpret_cast<const unsigned char *>(text.data());
  if (skip_plain(begin, begin + text.size()) == begin + text.size()) {
    char *at = room(text.size() + 2);
    at[0] = '"';
    std::memcpy(at + 1, text.data(), text.size());
    at[text.size() + 1] = '"';
    used_ += text.size() + 2;
    return;
  }
  put('"');
  if (escaped(text)) return put('"');
  settled = false;
  // nlohmann's own replacement of invalid bytes, quotes included.
  --used_;
  const std::string replaced = Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
  put(replaced.data(), replaced.size());
}

void Writer::floating(double number) {
  if (!std::isfinite(number)) {
    settled = false;
    return put("null", 4);
  }
  // nlohmann's own shortest round-trip form (Grisu2), so that stored doubles read the same.
  char *at = room(64);
  used_ += static_cast<std::size_t>(nlohmann::detail::to_chars(at, at + 64, number) - at);
}

void Writer::value(const Json &value, std::size_t level) {
  switch (value.type()) {
  case Json::value_t::object: {
    if (level >= max_levels) {
      too_deep = true;
      return;
    }
    const auto &object = value.get_ref<const Json::object_t &>();
    if (object.empty()) return put("{}", 2);
    char separator = '{';
    for (const auto &[key, member] : object) {
      put(separator);
      separator = ',';
      new_line(level + 1);
      string(key);
      member_separator();
      this->value(member, level + 1);
    }
    new_line(level);
    return put('}');
  }
  case Json::value_t::array: {
    if (level >= max_levels) {
      too_deep = true;
      return;
    }
    const auto &array = value.get_ref<const Json::array_t &>();
    if (array.empty()) return put("[]", 2);
    char separator = '[';
    for (const Json &element : array) {
      put(separator);
      separator = ',';
      new_line(level + 1);
      this->value(element, level + 1);
    }
    new_line(level);
    return put(']');
  }
  case Json::value_t::string:
    return string(value.get_ref<const std::string &>());
  case Json::value_t::boolean:
    return value.get<bool>() ? put("true", 4) : put("false", 5);
  case Json::value_t::null:
    return put("null", 4);
  case Json::value_t::number_unsigned:
    return integer(value.get<std::uint64_t>());
  case Json::value_t::number_integer: {
    const auto number = value.get<std::int64_t>();
    settled = settled && number < 0; // 0 and above read back unsigned
    return integer(number);
  }
  case Json::value_t::number_float:
    return floating(value.get<double>());
  case Json::value_t::binary:
  case Json::value_t::discarded: {
    // Never in our documents; nlohmann knows how it writes them.
    settled = false;
    const std::string text = value.dump(pretty_ ? static_cast<int>(step_) : -1, ' ', false,
                                        Json::error_handler_t::replace);
    return put(text.data(), text.size());
  }
  }
}

// ---- reader ----------------------------------------------------------------------------

class Reader {
public:
  explicit Reader(std::string_view text)
      : p_(reinterpret_cast<const unsigned char *>(text.data())), end_(p_ + text.size()) {}

  std::optional<Json> document() {
    // A UTF-8 byte order mark is skipped at the very start, as nlohmann does; any other byte
    // 0xEF there is a damaged one, which nlohmann words.
    if (p_ < end_ && *p_ == 0xEF) {
      if (end_ - p_ < 3 || p_[1] != 0xBB || p_[2] != 0xBF) return std::nullopt;
      p_ += 3;
    }
    skip_space();
    Json value = read_value(0);
    if (failed_) return std::nullopt;
    skip_space();
    if (p_ != end_) return std::nullopt;
    return value;
  }

private:
  // Always inlined: left to itself, the compiler inlined it or not as unrelated code changed,
  // which moved a whole parse by about five per cent.
  [[gnu::always_inline]] void skip_space() {
#ifdef __SSE2__
    // A stored document is about a third indentation: a line break and a run of spaces
    // before every member, taken sixteen bytes at a time.
    while (end_ - p_ >= 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p_));
      const __m128i space = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')),
                                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))),
                                         _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')),
                                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))));
      const auto spaces = static_cast<unsigned>(_mm_movemask_epi8(space));
      if (spaces != 0xFFFF) {
        p_ += std::countr_one(spaces);
        return;
      }
      p_ += 16;
    }
#endif
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
      ++p_;
  }

  bool literal(std::string_view word) { return take_word(p_, end_, word); }

  // Values are made where they are wanted (each is returned as it is made): a document is
  // mostly small values, and every move and assignment of one is a call into nlohmann. A
  // failure returns null and sets failed_, which every caller checks at once.
  Json fail() {
    failed_ = true;
    return Json();
  }

  Json read_value(int depth) {
    if (p_ == end_) return fail();
    switch (*p_) {
    case '{':
      return read_object(depth + 1);
    case '[':
      return read_array(depth + 1);
    case '"': {
      std::string text;
      if (!read_string(text)) return fail();
      return Json(std::move(text));
    }
    case 't':
      return literal("true") ? Json(true) : fail();
    case 'f':
      return literal("false") ? Json(false) : fail();
    case 'n':
      return literal("null") ? Json(nullptr) : fail();
    default:
      return read_number();
    }
  }

  // Members and elements are gathered on one stack per kind and moved into their container
  // once it is complete: each object and array is then a single block of the right size.
  Json read_object(int depth) {
    if (depth > kMaxJsonDepth) return fail();
    ++p_;
    skip_space();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return Json::object();
    }
    const std::size_t first = members_.size();
    bool in_order = true;
    for (;;) {
      std::string key;
      if (p_ == end_ || *p_ != '"' || !read_string(key)) return fail();
      skip_space();
      if (p_ == end_ || *p_ != ':') return fail();
      ++p_;
      skip_space();
      if (members_.size() > first && !(members_.back().first < key)) in_order = false;
      members_.emplace_back(std::move(key), read_value(depth));
      if (failed_) return Json();
      skip_space();
      if (p_ == end_) return fail();
      if (*p_ == '}') {
        ++p_;
        break;
      }
      if (*p_ != ',') return fail();
      ++p_;
      skip_space();
    }
    const auto from = members_.begin() + static_cast<std::ptrdiff_t>(first);
    Json::object_t object;
    if (in_order) {
      // Stored objects arrive in key order.
      object = Json::object_t(sorted_unique, std::make_move_iterator(from),
                              std::make_move_iterator(members_.end()));
    } else {
      object = unordered_members(from);
    }
    members_.erase(from, members_.end());
    return Json(std::move(object));
  }

  // The members from `from` on, in any order: a repeated key keeps its last value, as
  // nlohmann's parser does. Kept out of the way of the usual, ordered objects.
  [[gnu::noinline]] Json::object_t
  unordered_members(std::vector<Json::object_t::value_type>::iterator from) {
    return Json::object_t(last_wins, std::make_move_iterator(from),
                          std::make_move_iterator(members_.end()));
  }

  Json read_array(int depth) {
    if (depth > kMaxJsonDepth) return fail();
    ++p_;
    skip_space();
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      return Json::array();
    }
    const std::size_t first = elements_.size();
    for (;;) {
      elements_.push_back(read_value(depth));
      if (failed_) return Json();
      skip_space();
      if (p_ == end_) return fail();
      if (*p_ == ']') {
        ++p_;
        break;
      }
      if (*p_ != ',') return fail();
      ++p_;
      skip_space();
    }
    const auto from = elements_.begin() + static_cast<std::ptrdiff_t>(first);
    Json array =
        Json::array_t(std::make_move_iterator(from), std::make_move_iterator(elements_.end()));
    elements_.erase(from, elements_.end());
    return array;
  }

  bool hex4(unsigned &value) {
    if (end_ - p_ < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      const unsigned char c = *p_++;
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= c - '0';
      } else if (c >= 'a' && c <= 'f') {
        value |= c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        value |= c - 'A' + 10;
      } else {
        return false;
      }
    }
    return true;
  }

  static void append_code_point(unsigned cp, std::string &out) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool read_escape(std::string &out) {
    if (p_ == end_) return false;
    const unsigned char c = *p_++;
    switch (c) {
    case '"':
      out += '"';
      return true;
    case '\\':
      out += '\\';
      return true;
    case '/':
      out += '/';
      return true;
    case 'b':
      out += '\b';
      return true;
    case 'f':
      out += '\f';
      return true;
    case 'n':
      out += '\n';
      return true;
    case 'r':
      out += '\r';
      return true;
    case 't':
      out += '\t';
      return true;
    case 'u':
      break;
    default:
      return false;
    }
    unsigned cp = 0;
    if (!hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false; // a low surrogate alone
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      unsigned low = 0;
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
      p_ += 2;
      if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    append_code_point(cp, out);
    return true;
  }

  bool read_string(std::string &out) {
    ++p_; // the opening quotation mark
    const unsigned char *run = p_;
    while (p_ < end_) {
      p_ = skip_plain(p_, end_);
      if (p_ == end_) break;
      const unsigned char c = *p_;
      if (c == '"') {
        out.append(reinterpret_cast<const char *>(run), static_cast<std::size_t>(p_ - run));
        ++p_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        out.append(reinterpret_cast<const char *>(run), static_cast<std::size_t>(p_ - run));
        ++p_;
        if (!read_escape(out)) return false;
        run = p_;
        continue;
      }
      if (c >= 0x80) {
        const std::size_t n = utf8_sequence(p_, end_);
        if (n == 0) return false;
        p_ += n;
        continue;
      }
      ++p_;
    }
    return false;
  }

  static bool digit(unsigned char c) { return c >= '0' && c <= '9'; }

  Json read_number() {
    const unsigned char *start = p_;
    const bool negative = p_ < end_ && *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_ || !digit(*p_)) return fail();
    if (*p_ == '0') {
      ++p_;
    } else {
      while (p_ < end_ && digit(*p_))
        ++p_;
    }
    bool integer = true;
    if (p_ < end_ && *p_ == '.') {
      integer = false;
      ++p_;
      if (p_ == end_ || !digit(*p_)) return fail();
      while (p_ < end_ && digit(*p_))
        ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      integer = false;
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !digit(*p_)) return fail();
      while (p_ < end_ && digit(*p_))
        ++p_;
    }
    const auto *first = reinterpret_cast<const char *>(start);
    const auto *last = reinterpret_cast<const char *>(p_);
    if (integer) {
      // Up to 18 digits fit either class whatever they are: summed here, the rest left to
      // from_chars, which knows the limits.
      const auto digits = static_cast<std::size_t>(last - first) - (negative ? 1 : 0);
      if (digits <= 18) {
        std::uint64_t value = 0;
        for (const char *d = last - digits; d < last; ++d)
          value = value * 10 + static_cast<std::uint64_t>(*d - '0');
        if (negative) return Json(-static_cast<std::int64_t>(value));
        return Json(value);
      }
      if (negative) {
        std::int64_t value = 0;
        const auto done = std::from_chars(first, last, value);
        if (done.ec == std::errc() && done.ptr == last) {
          return Json(value);
        }
      } else {
        std::uint64_t value = 0;
        const auto done = std::from_chars(first, last, value);
        if (done.ec == std::errc() && done.ptr == last) {
          return Json(value);
        }
      }
      // Beyond 64 bits nlohmann makes it a double, as below.
    }
    // Number texts are short; a longer one gets a buffer of its own, out of the way.
    const auto length = static_cast<std::size_t>(last - first);
    if (length >= kShortNumber) return read_long_double(first, length);
    char buffer[kShortNumber];
    std::memcpy(buffer, first, length);
    buffer[length] = '\0';
    return read_double(buffer, length);
  }

  static constexpr std::size_t kShortNumber = 128;

  // The C library's strtod, as nlohmann uses it, so that every double reads the same. text
  // ends with a NUL after its length.
  Json read_double(const char *text, std::size_t length) {
    char *stop = nullptr;
    const double value = std::strtod(text, &stop);
    // nlohmann refuses a number too large for a double, with its own message.
    if (stop != text + length || !std::isfinite(value)) return fail();
    return Json(value);
  }
  [[gnu::noinline]] Json read_long_double(const char *first, std::size_t length) {
    const std::string text(first, length);
    return read_double(text.c_str(), length);
  }

  const unsigned char *p_;
  const unsigned char *end_;
  bool failed_ = false;
  std::vector<Json::object_t::value_type> members_;
  std::vector<Json> elements_;
};

} // namespace

std::optional<Json> read(std::string_view text) { return Reader(text).document(); }

namespace {

// ---- the written form, checked in place --------------------------------------------------

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
    const auto read_back = read(text);
    if (!read_back || !read_back->is_number_float()) return false;
    std::string again;
    return write(*read_back, -1, again) && again == text;
  }

  const unsigned char *p_;
  const unsigned char *end_;
};

} // namespace

std::optional<std::vector<PrettyMember>> pretty_members(std::string_view text) {
  return PrettyCheck(text).members();
}

bool write(const Json &value, int indent, std::string &out) {
  Writer writer(out, indent);
  writer.value(value, 0);
  return writer.settled;
}

Written write_within(const Json &value, int indent, std::size_t max_levels, std::string &out) {
  Writer writer(out, indent);
  writer.max_levels = max_levels;
  writer.value(value, 0);
  return {writer.settled, !writer.too_deep};
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

void write_compact_except(const Json &value, std::span<const std::string_view> omitted,
                          std::string &out) {
  Writer writer(out, -1);
  if (!value.is_object() || omitted.empty()) return writer.value(value, 0);
  char separator = '{';
  for (const auto &[key, member] : value.get_ref<const Json::object_t &>()) {
    if (std::find(omitted.begin(), omitted.end(), key) != omitted.end()) continue;
    writer.put(separator);
    separator = ',';
    writer.string(key);
    writer.member_separator();
    writer.value(member, 1);
  }
  writer.put(separator == '{' ? "{}" : "}", separator == '{' ? 2 : 1);
}

bool settle(Json &value) {
  switch (value.type()) {
  case Json::value_t::object: {
    Json::object_t settled_object;
    for (auto &[key, member] : value.get_ref<Json::object_t &>()) {
      if (!settle(member)) return false;
      Json settled_key = key;
      if (!settle(settled_key)) return false;
      // Keys that read back alike collapse as the reader collapses them: the last one wins.
      settled_object.insert_or_assign(std::move(settled_key.get_ref<std::string &>()),
                                      std::move(member));
    }
    value = std::move(settled_object);
    return true;
  }
  case Json::value_t::array:
    for (Json &element : value.get_ref<Json::array_t &>()) {
      if (!settle(element)) return false;
    }
    return true;
  case Json::value_t::string: {
    std::string ignored;
    if (Writer(ignored, -1).escaped(value.get_ref<const std::string &>())) return true;
    auto again = read(value.dump(-1, ' ', false, Json::error_handler_t::replace));
    if (!again) return false;
    value = std::move(*again);
    return true;
  }
  case Json::value_t::number_integer:
    if (value.get<std::int64_t>() >= 0)
      value = static_cast<std::uint64_t>(value.get<std::int64_t>());
    return true;
  case Json::value_t::number_float:
    if (!std::isfinite(value.get<double>())) value = nullptr;
    return true;
  case Json::value_t::binary:
  case Json::value_t::discarded:
    return false;
  default:
    return true;
  }
}

} // namespace vft::json_fast

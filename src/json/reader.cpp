#include "text/unicode.hpp"
#include "json/bytes.hpp"
#include "json/fast.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vft::json_fast {

namespace {

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
    text::append_utf8(cp, out);
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

} // namespace vft::json_fast

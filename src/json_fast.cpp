#include "json_fast.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
// a quotation mark, a backslash, or the start of a multi-byte sequence. Eight bytes at a time.
const unsigned char *skip_plain(const unsigned char *p, const unsigned char *end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  while (end - p >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    const std::uint64_t below_space = (word - kOnes * 0x20) & ~word;
    if ((below_space | has_zero(word ^ (kOnes * '"')) | has_zero(word ^ (kOnes * '\\')) | word) &
        kHighs) {
      break;
    }
    p += 8;
  }
  while (p < end && *p >= 0x20 && *p != '"' && *p != '\\' && *p < 0x80)
    ++p;
  return p;
}

// ---- writer ----------------------------------------------------------------------------

// Escapes as nlohmann does with ensure_ascii off; false (and out unchanged) for text that is
// not valid UTF-8, whose replacement characters are left to nlohmann itself.
bool write_escaped(std::string_view text, std::string &out) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::size_t rollback = out.size();
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
        out.resize(rollback);
        return false;
      }
      p += n;
      continue;
    }
    out.append(reinterpret_cast<const char *>(run), static_cast<std::size_t>(p - run));
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\b':
      out += "\\b";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\f':
      out += "\\f";
      break;
    case '\r':
      out += "\\r";
      break;
    default: {
      const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(escape, sizeof escape);
    }
    }
    run = ++p;
  }
  out.append(reinterpret_cast<const char *>(run), static_cast<std::size_t>(p - run));
  return true;
}

// settled stays true while what is written reads back as the same tree.
void write_string(const std::string &text, std::string &out, bool &settled) {
  out += '"';
  if (!write_escaped(text, out)) {
    settled = false;
    // nlohmann's own replacement of invalid bytes, quotes included.
    out.pop_back();
    out += Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
    return;
  }
  out += '"';
}

template <typename Integer> void write_integer(Integer value, std::string &out) {
  char buffer[24];
  const auto done = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, static_cast<std::size_t>(done.ptr - buffer));
}

void write_float(double value, std::string &out, bool &settled) {
  if (!std::isfinite(value)) {
    settled = false;
    out += "null";
    return;
  }
  // nlohmann's own shortest round-trip form (Grisu2), so that stored doubles read the same.
  char buffer[64];
  const char *end = nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

void write_value(const Json &value, int indent, std::size_t level, std::string &out,
                 bool &settled) {
  const bool pretty = indent >= 0;
  const auto step = static_cast<std::size_t>(pretty ? indent : 0);
  switch (value.type()) {
  case Json::value_t::object: {
    const auto &object = value.get_ref<const Json::object_t &>();
    if (object.empty()) {
      out += "{}";
      return;
    }
    out += pretty ? "{\n" : "{";
    bool first = true;
    for (const auto &[key, member] : object) {
      if (!first) out += pretty ? ",\n" : ",";
      first = false;
      out.append((level + 1) * step, ' ');
      write_string(key, out, settled);
      out += pretty ? ": " : ":";
      write_value(member, indent, level + 1, out, settled);
    }
    if (pretty) {
      out += '\n';
      out.append(level * step, ' ');
    }
    out += '}';
    return;
  }
  case Json::value_t::array: {
    const auto &array = value.get_ref<const Json::array_t &>();
    if (array.empty()) {
      out += "[]";
      return;
    }
    out += pretty ? "[\n" : "[";
    bool first = true;
    for (const Json &element : array) {
      if (!first) out += pretty ? ",\n" : ",";
      first = false;
      out.append((level + 1) * step, ' ');
      write_value(element, indent, level + 1, out, settled);
    }
    if (pretty) {
      out += '\n';
      out.append(level * step, ' ');
    }
    out += ']';
    return;
  }
  case Json::value_t::string:
    write_string(value.get_ref<const std::string &>(), out, settled);
    return;
  case Json::value_t::boolean:
    out += value.get<bool>() ? "true" : "false";
    return;
  case Json::value_t::null:
    out += "null";
    return;
  case Json::value_t::number_unsigned:
    write_integer(value.get<std::uint64_t>(), out);
    return;
  case Json::value_t::number_integer: {
    const auto number = value.get<std::int64_t>();
    settled = settled && number < 0; // 0 and above read back unsigned
    write_integer(number, out);
    return;
  }
  case Json::value_t::number_float:
    write_float(value.get<double>(), out, settled);
    return;
  case Json::value_t::binary:
  case Json::value_t::discarded:
    // Never in our documents; nlohmann knows how it writes them.
    settled = false;
    out += value.dump(indent, ' ', false, Json::error_handler_t::replace);
    return;
  }
}

// ---- reader ----------------------------------------------------------------------------

class Reader {
public:
  explicit Reader(std::string_view text)
      : p_(reinterpret_cast<const unsigned char *>(text.data())), end_(p_ + text.size()) {}

  std::optional<Json> document() {
    Json value;
    skip_space();
    if (!read_value(value, 0)) return std::nullopt;
    skip_space();
    if (p_ != end_) return std::nullopt;
    return value;
  }

private:
  void skip_space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
      ++p_;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::memcmp(p_, word.data(), word.size()) != 0) {
      return false;
    }
    p_ += word.size();
    return true;
  }

  bool read_value(Json &out, int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
    case '{':
      return read_object(out, depth + 1);
    case '[':
      return read_array(out, depth + 1);
    case '"': {
      std::string text;
      if (!read_string(text)) return false;
      out = Json(std::move(text));
      return true;
    }
    case 't':
      out = true;
      return literal("true");
    case 'f':
      out = false;
      return literal("false");
    case 'n':
      out = nullptr;
      return literal("null");
    default:
      return read_number(out);
    }
  }

  bool read_object(Json &out, int depth) {
    if (depth > kMaxJsonDepth) return false;
    ++p_;
    out = Json::object();
    auto &object = out.get_ref<Json::object_t &>();
    skip_space();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return true;
    }
    std::string key;
    for (;;) {
      if (p_ == end_ || *p_ != '"' || !read_string(key)) return false;
      skip_space();
      if (p_ == end_ || *p_ != ':') return false;
      ++p_;
      skip_space();
      Json member;
      if (!read_value(member, depth)) return false;
      // Stored objects arrive in key order, so the end is the right place; a repeated key
      // keeps its last value, as nlohmann's parser does.
      object.insert_or_assign(object.end(), std::move(key), std::move(member));
      key.clear();
      skip_space();
      if (p_ == end_) return false;
      if (*p_ == '}') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
      skip_space();
    }
  }

  bool read_array(Json &out, int depth) {
    if (depth > kMaxJsonDepth) return false;
    ++p_;
    out = Json::array();
    auto &array = out.get_ref<Json::array_t &>();
    skip_space();
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      return true;
    }
    for (;;) {
      array.emplace_back();
      if (!read_value(array.back(), depth)) return false;
      skip_space();
      if (p_ == end_) return false;
      if (*p_ == ']') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
      skip_space();
    }
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

  bool read_number(Json &out) {
    const unsigned char *start = p_;
    const bool negative = p_ < end_ && *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_ || !digit(*p_)) return false;
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
      if (p_ == end_ || !digit(*p_)) return false;
      while (p_ < end_ && digit(*p_))
        ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      integer = false;
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !digit(*p_)) return false;
      while (p_ < end_ && digit(*p_))
        ++p_;
    }
    const auto *first = reinterpret_cast<const char *>(start);
    const auto *last = reinterpret_cast<const char *>(p_);
    if (integer) {
      if (negative) {
        std::int64_t value = 0;
        const auto done = std::from_chars(first, last, value);
        if (done.ec == std::errc() && done.ptr == last) {
          out = value;
          return true;
        }
      } else {
        std::uint64_t value = 0;
        const auto done = std::from_chars(first, last, value);
        if (done.ec == std::errc() && done.ptr == last) {
          out = value;
          return true;
        }
      }
      // Beyond 64 bits nlohmann makes it a double; leave that rare case to it.
      return false;
    }
    // The C library's strtod, as nlohmann uses it, so that every double reads the same.
    // Number texts are short; a longer one goes to nlohmann.
    char buffer[128];
    const auto length = static_cast<std::size_t>(last - first);
    if (length >= sizeof buffer) return false;
    std::memcpy(buffer, first, length);
    buffer[length] = '\0';
    char *stop = nullptr;
    const double value = std::strtod(buffer, &stop);
    // nlohmann refuses a number too large for a double, with its own message.
    if (stop != buffer + length || !std::isfinite(value)) return false;
    out = value;
    return true;
  }

  const unsigned char *p_;
  const unsigned char *end_;
};

} // namespace

std::optional<Json> read(std::string_view text) { return Reader(text).document(); }

bool write(const Json &value, int indent, std::string &out) {
  bool settled = true;
  write_value(value, indent, 0, out, settled);
  return settled;
}

void write_compact_except(const Json &value, std::span<const std::string_view> omitted,
                          std::string &out) {
  bool settled = true;
  if (!value.is_object() || omitted.empty()) {
    write_value(value, -1, 0, out, settled);
    return;
  }
  out += '{';
  bool first = true;
  for (const auto &[key, member] : value.get_ref<const Json::object_t &>()) {
    bool skip = false;
    for (const std::string_view name : omitted)
      skip = skip || key == name;
    if (skip) continue;
    if (!first) out += ',';
    first = false;
    write_string(key, out, settled);
    out += ':';
    write_value(member, -1, 1, out, settled);
  }
  out += '}';
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
    if (write_escaped(value.get_ref<const std::string &>(), ignored)) return true;
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

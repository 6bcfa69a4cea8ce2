#include "unicode.hpp"

#include <cstdint>
#include <cstring>

namespace vft::text {

namespace {

// Decodes one scalar at i of valid UTF-8 and advances i.
char32_t decode_at(std::string_view s, std::size_t &i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int extra = b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : 1;
  char32_t cp = b0 & (0x3F >> extra);
  ++i;
  for (; extra > 0 && i < s.size(); --extra, ++i) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  }
  return cp;
}

// Length of the scalar that ends just before end, for valid UTF-8.
std::size_t last_scalar_length(std::string_view s, std::size_t end) {
  std::size_t start = end - 1;
  while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
    --start;
  return end - start;
}

} // namespace

void Utf8Validator::feed(std::string_view bytes) {
  for (const char c : bytes) {
    if (!ok_) return;
    step(static_cast<unsigned char>(c));
  }
}

void Utf8Validator::step(unsigned char b) {
  if (pending_ > 0) {
    if (b < lo_ || b > hi_) {
      ok_ = false;
      return;
    }
    --pending_;
    lo_ = 0x80;
    hi_ = 0xBF;
    return;
  }
  if (b < 0x80) return;
  lo_ = 0x80;
  hi_ = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    pending_ = 1;
  } else if (b == 0xE0) {
    pending_ = 2;
    lo_ = 0xA0; // no overlong forms
  } else if (b == 0xED) {
    pending_ = 2;
    hi_ = 0x9F; // no surrogates
  } else if (b >= 0xE1 && b <= 0xEF) {
    pending_ = 2;
  } else if (b == 0xF0) {
    pending_ = 3;
    lo_ = 0x90;
  } else if (b >= 0xF1 && b <= 0xF3) {
    pending_ = 3;
  } else if (b == 0xF4) {
    pending_ = 3;
    hi_ = 0x8F; // nothing above U+10FFFF
  } else {
    ok_ = false;
  }
}

bool is_valid_utf8(std::string_view bytes) {
  Utf8Validator validator;
  validator.feed(bytes);
  return validator.finish();
}

std::string utf8_decode_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    int need = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool valid = true;
    for (int k = 0; k < need; ++k, ++j) {
      const auto next = j < n ? static_cast<unsigned char>(bytes[j]) : 0;
      if (j >= n || next < low || next > high) {
        valid = false;
        break;
      }
      low = 0x80;
      high = 0xBF;
    }
    if (valid) {
      out.append(bytes.substr(i, j - i));
    } else {
      // The byte that broke the sequence is read again as the start of the next one.
      out += kReplacement;
    }
    i = j;
  }
  return out;
}

std::size_t scalar_count(std::string_view utf8) {
  std::size_t count = 0;
  for (const char c : utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_white_space(std::string_view utf8) {
  std::size_t begin = 0;
  while (begin < utf8.size()) {
    std::size_t next = begin;
    if (!is_white_space(decode_at(utf8, next))) break;
    begin = next;
  }
  std::size_t end = utf8.size();
  while (end > begin) {
    const std::size_t length = last_scalar_length(utf8, end);
    std::size_t at = end - length;
    if (!is_white_space(decode_at(utf8, at))) break;
    end -= length;
  }
  return utf8.substr(begin, end - begin);
}

std::optional<std::string> map_ascii_case(std::string_view utf8, bool upper) {
  std::string out(utf8);
  for (char &c : out) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

void lower_in_place(std::string &utf8) {
  // Eight bytes at a time while they are ASCII: a search lower-cases megabytes per call.
  constexpr std::uint64_t kOnes = 0x0101010101010101U;
  constexpr std::uint64_t kHigh = 0x8080808080808080U;
  std::size_t i = 0;
  for (; i + 8 <= utf8.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, utf8.data() + i, 8);
    if ((word & kHigh) != 0) break;
    const std::uint64_t above_z = word + kOnes * (0x7F - 'Z');
    const std::uint64_t from_a = word + kOnes * (0x80 - 'A');
    word |= (from_a & ~above_z & kHigh) >> 2;
    std::memcpy(utf8.data() + i, &word, 8);
  }
  for (; i < utf8.size(); ++i) {
    char &c = utf8[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      utf8 = to_lower(utf8);
      return;
    }
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
}

} // namespace vft::text

// Unicode helpers. UTF-8 validation, scalar counting and white space are our own (small,
// fixed tables); case mapping and IDNA come from the platform's Unicode library (ICU on
// Linux, the system ICU or Win32 NLS on Windows).
#pragma once

#include "result.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vft::text {

bool is_valid_utf8(std::string_view bytes);

// Appends a Unicode scalar value (below 0x110000, no surrogate) in UTF-8.
inline void append_utf8(char32_t code_point, std::string &out) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// Checks UTF-8 fed in pieces, so that text can be judged whole without being held whole.
class Utf8Validator {
public:
  void feed(std::string_view bytes);
  // True when everything fed so far is valid and no sequence is left open.
  bool finish() const { return ok_ && pending_ == 0; }

private:
  void step(unsigned char byte);

  bool ok_ = true;
  int pending_ = 0;
  unsigned char lo_ = 0x80;
  unsigned char hi_ = 0xBF;
};

// Reads bytes as UTF-8, replacing every invalid sequence (maximal subpart) with U+FFFD;
// a leading byte order mark is kept. Used wherever bytes of unknown encoding (a URL's
// percent-decoded parts, a file system path) must become text.
std::string utf8_decode_lossy(std::string_view bytes);

// Number of Unicode scalar values of valid UTF-8 text.
std::size_t scalar_count(std::string_view utf8);

// The Unicode White_Space property.
bool is_white_space(char32_t code_point);

// Valid UTF-8 text without Unicode white space at either end.
std::string_view trim_white_space(std::string_view utf8);

// Full (context-free, locale-independent) Unicode case mapping of valid UTF-8 text.
std::string to_lower(std::string_view utf8);
std::string to_upper(std::string_view utf8);

// The same for ASCII text, which maps to ASCII alone: no library is needed. None when the
// text holds anything else. Each platform's case mapping tries this first.
std::optional<std::string> map_ascii_case(std::string_view utf8, bool upper);

// to_lower in place; ASCII text (the common case in searches) is mapped without a copy.
void lower_in_place(std::string &utf8);

// UTS #46 ToASCII with the URL Standard's options (CheckHyphens false, CheckBidi true,
// CheckJoiners true, UseSTD3ASCIIRules = be_strict, Transitional_Processing false,
// VerifyDnsLength = be_strict). Fails (with a short reason) on any processing error.
Result<std::string> domain_to_ascii(std::string_view domain, bool be_strict);

} // namespace vft::text

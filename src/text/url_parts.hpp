// Internal pieces of the URL parser shared by its two files: ASCII character classes,
// percent-encode sets, special schemes and the host parser. Not part of the public API.
#pragma once

#include "url.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace vft::text::url_detail {

// ---- characters -----------------------------------------------------------------------------

// ASCII character classes; the URL grammar is defined on ASCII only.
inline bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_hex(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}
// Lower-cases A-Z only.
inline char to_lower_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

// ASCII case-insensitive prefix test; prefix must be lower case.
inline bool starts_with_ci(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (to_lower_ascii(text[i]) != prefix[i]) return false;
  }
  return true;
}

// ASCII case-insensitive equality; b must be lower case.
inline bool equals_ci(std::string_view a, std::string_view b) {
  return a.size() == b.size() && starts_with_ci(a, b);
}

// ---- percent-encode sets ---------------------------------------------------------------------

enum class EncodeSet { c0_control, fragment, query, special_query, path, userinfo };

// Appends one byte, as %XX (upper-case hex) when the set holds it.
void append_encoded(std::string &out, char ch, EncodeSet set);

// Percent-encodes every byte of text that the set holds.
std::string encode(std::string_view text, EncodeSet set);

// ---- schemes ----------------------------------------------------------------------------------

// The six schemes with authority, host and path rules of their own.
bool is_special_scheme(std::string_view scheme);

// The default port of a special scheme, or empty when it has none.
std::string_view default_port(std::string_view scheme);

// ---- hosts ------------------------------------------------------------------------------------

struct Host {
  HostKind kind = HostKind::none;
  std::string text;
};

// The host parser: IPv6 in brackets, opaque hosts for non-special URLs, else a domain (or
// IPv4 when it ends in a number).
Result<Host> parse_host(std::string_view input, bool is_opaque);

} // namespace vft::text::url_detail

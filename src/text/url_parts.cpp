// Percent-encode sets, special schemes and host parsing (domains through IDNA, IPv4 in all
// its number forms, IPv6 with compression, opaque hosts).
#include "url_parts.hpp"

#include "unicode.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace vft::text::url_detail {

namespace {

constexpr const char *kBadIpv6 = "URL host is not a valid IPv6 address";
constexpr const char *kBadIpv4 = "URL host is not a valid IPv4 address";
constexpr const char *kForbiddenHost = "URL host contains a forbidden character";
constexpr const char *kBadDomain = "URL host is not a valid domain name";

} // namespace

// ---- percent-encode sets ---------------------------------------------------------------------
// Each set is a superset of the one before it; bytes >= 0x80 (the UTF-8 of non-ASCII code
// points) are in all of them, so encoding byte by byte equals encoding code point by code point.

// Whether a byte is percent-encoded in the given set.
bool in_set(unsigned char c, EncodeSet set) {
  if (c < 0x20 || c > 0x7E) return true;
  switch (set) {
  case EncodeSet::c0_control:
    return false;
  case EncodeSet::fragment:
    return c == ' ' || c == '"' || c == '<' || c == '>' || c == '`';
  case EncodeSet::query:
    return c == ' ' || c == '"' || c == '#' || c == '<' || c == '>';
  case EncodeSet::special_query:
    return in_set(c, EncodeSet::query) || c == '\'';
  case EncodeSet::path:
    return in_set(c, EncodeSet::query) || c == '?' || c == '`' || c == '{' || c == '}';
  case EncodeSet::userinfo:
    return in_set(c, EncodeSet::path) || c == '/' || c == ':' || c == ';' || c == '=' || c == '@' ||
           (c >= '[' && c <= '^') || c == '|';
  }
  return true;
}

// Appends one byte, as %XX (upper-case hex) when the set holds it.
void append_encoded(std::string &out, char ch, EncodeSet set) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto c = static_cast<unsigned char>(ch);
  if (in_set(c, set)) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
  } else {
    out += ch;
  }
}

// Percent-encodes every byte of text that the set holds.
std::string encode(std::string_view text, EncodeSet set) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    append_encoded(out, c, set);
  return out;
}

// ---- schemes ----------------------------------------------------------------------------------

// The six schemes with authority, host and path rules of their own.
bool is_special_scheme(std::string_view scheme) {
  return scheme == "http" || scheme == "https" || scheme == "ws" || scheme == "wss" ||
         scheme == "ftp" || scheme == "file";
}

// The default port of a special scheme, or empty when it has none.
std::string_view default_port(std::string_view scheme) {
  if (scheme == "http" || scheme == "ws") return "80";
  if (scheme == "https" || scheme == "wss") return "443";
  if (scheme == "ftp") return "21";
  return {};
}

// ---- hosts ------------------------------------------------------------------------------------

// Characters no host may contain (opaque hosts included).
bool is_forbidden_host_char(char c) {
  switch (c) {
  case '\0':
  case '\t':
  case '\n':
  case '\r':
  case ' ':
  case '#':
  case '/':
  case ':':
  case '<':
  case '>':
  case '?':
  case '@':
  case '[':
  case '\\':
  case ']':
  case '^':
  case '|':
    return true;
  default:
    return false;
  }
}

// Characters a domain may not contain after IDNA: the host ones, C0 controls, '%' and DEL.
bool is_forbidden_domain_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  return is_forbidden_host_char(c) || u < 0x20 || c == '%' || u == 0x7F;
}

// Reads the text inside the brackets of an IPv6 host into its eight 16-bit pieces.
std::optional<std::array<std::uint16_t, 8>> parse_ipv6(std::string_view input) {
  std::array<std::uint16_t, 8> address{};
  int piece_index = 0;
  int compress = -1;
  std::size_t p = 0;
  const auto at = [&](std::size_t i) -> int {
    return i < input.size() ? static_cast<unsigned char>(input[i]) : -1;
  };
  if (at(p) == ':') {
    if (at(p + 1) != ':') return std::nullopt;
    p += 2;
    ++piece_index;
    compress = piece_index;
  }
  while (at(p) != -1) {
    if (piece_index == 8) return std::nullopt;
    if (at(p) == ':') {
      if (compress != -1) return std::nullopt;
      ++p;
      ++piece_index;
      compress = piece_index;
      continue;
    }
    unsigned value = 0;
    std::size_t length = 0;
    while (length < 4 && at(p) != -1 && is_hex(input[p])) {
      value = value * 16 + static_cast<unsigned>(hex_value(input[p]));
      ++p;
      ++length;
    }
    if (at(p) == '.') {
      // An embedded IPv4 address fills the last two pieces.
      if (length == 0) return std::nullopt;
      p -= length;
      if (piece_index > 6) return std::nullopt;
      int numbers_seen = 0;
      while (at(p) != -1) {
        int ipv4_piece = -1;
        if (numbers_seen > 0) {
          if (at(p) == '.' && numbers_seen < 4) {
            ++p;
          } else {
            return std::nullopt;
          }
        }
        if (at(p) == -1 || !is_digit(input[p])) return std::nullopt;
        while (at(p) != -1 && is_digit(input[p])) {
          const int number = input[p] - '0';
          if (ipv4_piece == -1) {
            ipv4_piece = number;
          } else if (ipv4_piece == 0) {
            return std::nullopt; // no leading zeros
          } else {
            ipv4_piece = ipv4_piece * 10 + number;
          }
          if (ipv4_piece > 255) return std::nullopt;
          ++p;
        }
        address[piece_index] =
            static_cast<std::uint16_t>(address[piece_index] * 0x100 + ipv4_piece);
        ++numbers_seen;
        if (numbers_seen == 2 || numbers_seen == 4) ++piece_index;
      }
      if (numbers_seen != 4) return std::nullopt;
      break;
    }
    if (at(p) == ':') {
      ++p;
      if (at(p) == -1) return std::nullopt;
    } else if (at(p) != -1) {
      return std::nullopt;
    }
    address[piece_index] = static_cast<std::uint16_t>(value);
    ++piece_index;
  }
  if (compress != -1) {
    int swaps = piece_index - compress;
    piece_index = 7;
    while (piece_index != 0 && swaps > 0) {
      std::swap(address[piece_index], address[compress + swaps - 1]);
      --piece_index;
      --swaps;
    }
  } else if (piece_index != 8) {
    return std::nullopt;
  }
  return address;
}

// Writes an IPv6 address in its shortest form: lower-case hex, the first longest run of two
// or more zero pieces compressed to "::", in brackets.
std::string serialize_ipv6(const std::array<std::uint16_t, 8> &address) {
  int compress = -1;
  int best = 1;
  for (int i = 0; i < 8;) {
    if (address[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && address[j] == 0)
      ++j;
    if (j - i > best) {
      best = j - i;
      compress = i;
    }
    i = j;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "[";
  bool ignore_zero = false;
  for (int i = 0; i < 8; ++i) {
    if (ignore_zero && address[i] == 0) continue;
    ignore_zero = false;
    if (compress == i) {
      out += i == 0 ? "::" : ":";
      ignore_zero = true;
      continue;
    }
    const unsigned piece = address[i];
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = (piece >> shift) & 0xF;
      if (digit != 0 || started || shift == 0) {
        out += kHex[digit];
        started = true;
      }
    }
    if (i != 7) out += ':';
  }
  out += ']';
  return out;
}

// One part of an IPv4 host: decimal, 0x-prefixed hex or 0-prefixed octal. Values above 2^32
// are clamped (they fail later either way).
std::optional<std::uint64_t> parse_ipv4_number(std::string_view input) {
  if (input.empty()) return std::nullopt;
  unsigned radix = 10;
  if (input.size() >= 2 && input[0] == '0' && (input[1] == 'x' || input[1] == 'X')) {
    input.remove_prefix(2);
    radix = 16;
  } else if (input.size() >= 2 && input[0] == '0') {
    input.remove_prefix(1);
    radix = 8;
  }
  std::uint64_t value = 0;
  for (char c : input) {
    unsigned digit = 0;
    if (radix == 16 && is_hex(c)) {
      digit = static_cast<unsigned>(hex_value(c));
    } else if (is_digit(c) && static_cast<unsigned>(c - '0') < radix) {
      digit = static_cast<unsigned>(c - '0');
    } else {
      return std::nullopt;
    }
    value = value * radix + digit;
    if (value > (std::uint64_t{1} << 33)) value = std::uint64_t{1} << 33;
  }
  return value;
}

// Splits on '.' keeping empty parts.
std::vector<std::string_view> split_dots(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const auto dot = text.find('.', start);
    if (dot == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
}

// A domain whose last label is a number is read as IPv4 (and fails if it is not one), so that
// "1.2.3.4" and "0x7f.1" never become domain names.
bool ends_in_number(std::string_view domain) {
  auto parts = split_dots(domain);
  if (parts.back().empty()) {
    if (parts.size() == 1) return false;
    parts.pop_back();
  }
  const std::string_view last = parts.back();
  if (!last.empty()) {
    bool all_digits = true;
    for (char c : last)
      all_digits = all_digits && is_digit(c);
    if (all_digits) return true;
  }
  return parse_ipv4_number(last).has_value();
}

// Reads an IPv4 host of one to four parts; the last part fills the remaining bytes.
std::optional<std::uint32_t> parse_ipv4(std::string_view input) {
  auto parts = split_dots(input);
  if (parts.back().empty() && parts.size() > 1) parts.pop_back();
  if (parts.size() > 4) return std::nullopt;
  std::vector<std::uint64_t> numbers;
  for (auto part : parts) {
    const auto number = parse_ipv4_number(part);
    if (!number) return std::nullopt;
    numbers.push_back(*number);
  }
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i) {
    if (numbers[i] > 255) return std::nullopt;
  }
  const std::uint64_t limit = std::uint64_t{1} << (8 * (5 - numbers.size()));
  if (numbers.back() >= limit) return std::nullopt;
  std::uint64_t ipv4 = numbers.back();
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i)
    ipv4 += numbers[i] << (8 * (3 - i));
  return static_cast<std::uint32_t>(ipv4);
}

// Dotted decimal form of an IPv4 address.
std::string serialize_ipv4(std::uint32_t address) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    out += std::to_string((address >> shift) & 0xFF);
    if (shift != 0) out += '.';
  }
  return out;
}

// The host of a non-special URL: kept as written, C0 controls and non-ASCII percent-encoded.
Result<Host> parse_opaque_host(std::string_view input) {
  for (char c : input) {
    if (is_forbidden_host_char(c)) return fail(kForbiddenHost);
  }
  return Host{HostKind::opaque, encode(input, EncodeSet::c0_control)};
}

// Domain to ASCII for the URL parser. An ASCII domain without "xn--" labels comes out of
// UTS #46 (with the options used here) just lower-cased, so only other domains go to IDNA.
Result<std::string> url_domain_to_ascii(const std::string &domain) {
  bool ascii = true;
  for (char c : domain)
    ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  bool punycode = false;
  if (ascii) {
    for (auto label : split_dots(domain))
      punycode = punycode || starts_with_ci(label, "xn--");
  }
  std::string result;
  if (ascii && !punycode) {
    result = domain;
    for (char &c : result)
      c = to_lower_ascii(c);
  } else {
    auto converted = domain_to_ascii(domain, false);
    if (!converted) return fail(kBadDomain);
    result = std::move(converted.value());
  }
  if (result.empty()) return fail(kBadDomain);
  for (char c : result) {
    if (is_forbidden_domain_char(c)) return fail(kForbiddenHost);
  }
  return result;
}

// The host parser: IPv6 in brackets, opaque hosts for non-special URLs, else a domain (or
// IPv4 when it ends in a number).
Result<Host> parse_host(std::string_view input, bool is_opaque) {
  if (!input.empty() && input.front() == '[') {
    if (input.back() != ']' || input.size() < 2) return fail(kBadIpv6);
    const auto address = parse_ipv6(input.substr(1, input.size() - 2));
    if (!address) return fail(kBadIpv6);
    return Host{HostKind::ipv6, serialize_ipv6(*address)};
  }
  if (is_opaque) return parse_opaque_host(input);
  const std::string domain = utf8_decode_lossy(percent_decode(input));
  VFT_TRY(auto ascii, url_domain_to_ascii(domain));
  if (ends_in_number(ascii)) {
    const auto address = parse_ipv4(ascii);
    if (!address) return fail(kBadIpv4);
    return Host{HostKind::ipv4, serialize_ipv4(*address)};
  }
  return Host{HostKind::domain, std::move(ascii)};
}

} // namespace vft::text::url_detail

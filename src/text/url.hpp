// URL parsing after the WHATWG URL Standard: the basic URL parser (without state override),
// host parsing (domains through IDNA, IPv4 in all its number forms, IPv6, opaque hosts),
// the serialiser, and application/x-www-form-urlencoded parsing.
//
// Every scheme is parsed the way the standard parses it: the special schemes (http, https,
// ws, wss, ftp, file) with their authority and host rules, any other scheme as a
// non-special URL. Callers that only accept web addresses check is_http().
//
// Input is UTF-8 text. Invalid UTF-8 sequences are read as U+FFFD, as a browser reading
// the bytes as UTF-8 would.
#pragma once

#include "../result.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vft::text {

// What a URL's host is. A special URL other than file always has a domain, IPv4 or IPv6
// host.
enum class HostKind {
  none,   // no host at all ("mailto:x", "sc:/path")
  empty,  // the empty host ("file:///x", "sc:///x")
  domain, // an ASCII domain after IDNA processing ("example.com", "xn--bcher-kva.de")
  ipv4,   // dotted decimal ("192.168.0.1")
  ipv6,   // compressed, in brackets ("[::1]")
  opaque  // the percent-encoded host of a non-special URL ("sc://ho%20st")
};

// A parsed URL. All text is as it serialises: percent-encoded where the standard encodes,
// hosts in ASCII. Member names follow the standard's URL record; the getters below give the
// web's URL API views (protocol, host, search, hash).
struct Url {
  std::string scheme;   // lower case, without ':'
  std::string username; // percent-encoded (userinfo set)
  std::string password; // percent-encoded (userinfo set)
  HostKind host_kind = HostKind::none;
  std::string host;         // serialised host (the API's "hostname"); empty for none and empty
  std::string port;         // decimal text; empty when absent or the scheme's default
  std::string path;         // serialised path (the API's "pathname")
  bool opaque_path = false; // "mailto:x", "javascript:..." : path is one opaque string
  std::string query;        // without '?'
  bool has_query = false;
  std::string fragment; // without '#'
  bool has_fragment = false;

  // The whole URL in its one serialised form.
  std::string href() const;

  // True for the six special schemes; they have the authority, host and path rules.
  bool is_special() const;
  // True for http and https, the schemes the apps accept as web addresses.
  bool is_http() const;
  // True when a username or a password is present.
  bool has_credentials() const { return !username.empty() || !password.empty(); }
  bool has_host() const { return host_kind != HostKind::none; }

  // scheme followed by ':' ("https:").
  std::string protocol() const { return scheme + ":"; }
  // Host with ":port" when a port is present; empty without a host.
  std::string host_and_port() const;
  // "?query", or empty when the query is absent or empty.
  std::string search() const;
  // "#fragment", or empty when the fragment is absent or empty.
  std::string hash() const;
  // The serialised origin: "scheme://host[:port]" for http(s), ws(s) and ftp, else "null".
  std::string origin() const;
};

// Parses input, resolved against base when base is given (a relative reference needs one).
// Fails with a short reason when the standard's parser returns failure.
Result<Url> parse_url(std::string_view input, const Url *base = nullptr);

// Splits application/x-www-form-urlencoded text (a query without '?', or a form body) into
// name/value pairs: '&' separates pairs, the first '=' separates name from value, '+' means
// space, valid %XX escapes are decoded and other '%' kept as they are, and the bytes are read
// as UTF-8 with U+FFFD for invalid sequences. Empty pairs are dropped.
std::vector<std::pair<std::string, std::string>> parse_urlencoded(std::string_view input);

// Percent-decodes bytes: each '%' followed by two hex digits becomes that byte, anything
// else is copied. The result may be invalid UTF-8.
std::string percent_decode(std::string_view input);

} // namespace vft::text

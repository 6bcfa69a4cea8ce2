// Test driver for the URL parser, used by tests/interop/url_differential.mjs.
//
// Reads one JSON array per line from stdin, [input] or [input, base], and writes one JSON
// line per input: the parsed URL's href as a JSON string, or the string "FAIL" when the
// input (or its base) does not parse. JSON keeps tabs and newlines inside inputs intact.
#include "text/url.hpp"
#include "json/json.hpp"

#include <iostream>
#include <optional>
#include <string>

namespace {

// The href of one request line, or "FAIL".
std::string probe(const std::string &line) {
  static const std::string kFail = "FAIL";
  auto request = vft::parse_json(line);
  if (!request || !request->is_array() || request->empty() || !(*request)[0].is_string()) {
    return kFail;
  }
  std::optional<vft::text::Url> base;
  if (request->size() > 1 && (*request)[1].is_string()) {
    auto parsed = vft::text::parse_url((*request)[1].get<std::string>());
    if (!parsed) return kFail;
    base = std::move(parsed.value());
  }
  auto url = vft::text::parse_url((*request)[0].get<std::string>(), base ? &*base : nullptr);
  return url ? url->href() : kFail;
}

} // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    std::cout << vft::to_compact(vft::Json(probe(line))) << '\n';
  }
  std::cout.flush();
  return 0;
}

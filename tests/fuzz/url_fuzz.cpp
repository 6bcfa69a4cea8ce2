// libFuzzer target for the URL parser. Any input must parse or fail without crashing, and a
// parsed URL's href must parse again to the same href (serialising is idempotent). A second
// check resolves the input against a fixed http base, the way relative links are read.
#include "text/url.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void require_stable(const vft::text::Url &url) {
  const std::string href = url.href();
  const auto again = vft::text::parse_url(href);
  if (!again || again->href() != href) {
    std::fprintf(stderr, "href not stable: %s -> %s\n", href.c_str(),
                 again ? again->href().c_str() : "failure");
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  if (const auto url = vft::text::parse_url(input)) require_stable(*url);

  static const auto base = vft::text::parse_url("http://user:pw@example.com:8080/a/b?q#f");
  if (const auto url = vft::text::parse_url(input, &*base)) require_stable(*url);

  (void)vft::text::parse_urlencoded(input);
  return 0;
}

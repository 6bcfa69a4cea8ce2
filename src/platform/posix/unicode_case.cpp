// Full Unicode case mapping through ICU (root locale, so the result never depends on the
// user's language settings).
#include "text/unicode.hpp"

#include <unicode/ucasemap.h>
#include <unicode/utypes.h>

#include <memory>

namespace vft::text {

namespace {

using CaseMapFn = int32_t (*)(const UCaseMap *, char *, int32_t, const char *, int32_t,
                              UErrorCode *);

std::string map_case(std::string_view utf8, CaseMapFn fn) {
  if (utf8.empty()) return {};
  // Search lower-cases every record it looks at: most are ASCII, and need no case map.
  if (auto ascii = map_ascii_case(utf8, fn == &ucasemap_utf8ToUpper)) return std::move(*ascii);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(ucasemap_open("", 0, &status),
                                                           &ucasemap_close);
  if (U_FAILURE(status)) return std::string(utf8);
  const auto length = static_cast<int32_t>(utf8.size());
  std::string out(utf8.size() + 16, '\0');
  status = U_ZERO_ERROR;
  int32_t needed =
      fn(map.get(), out.data(), static_cast<int32_t>(out.size()), utf8.data(), length, &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<std::size_t>(needed), '\0');
    status = U_ZERO_ERROR;
    needed =
        fn(map.get(), out.data(), static_cast<int32_t>(out.size()), utf8.data(), length, &status);
  }
  if (U_FAILURE(status)) return std::string(utf8);
  out.resize(static_cast<std::size_t>(needed));
  return out;
}

} // namespace

std::string to_lower(std::string_view utf8) { return map_case(utf8, &ucasemap_utf8ToLower); }
std::string to_upper(std::string_view utf8) { return map_case(utf8, &ucasemap_utf8ToUpper); }

} // namespace vft::text

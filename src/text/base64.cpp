#include "base64.hpp"

namespace vft::text {

std::string base64_encode(std::string_view) { return {}; }

Result<std::string> base64_decode(std::string_view) {
  return fail("Base64 decoding is not built yet");
}

} // namespace vft::text

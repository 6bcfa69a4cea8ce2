// Base64 with the standard alphabet and padding (RFC 4648). Decoding is strict: image data
// arrives from callers, and a lenient decoder would turn typos into silently wrong images.
#pragma once

#include "../result.hpp"

#include <string>
#include <string_view>

namespace vft::text {

std::string base64_encode(std::string_view bytes);

// Fails with a text that names what is wrong: an invalid symbol, invalid padding or an
// invalid length.
Result<std::string> base64_decode(std::string_view text);

} // namespace vft::text

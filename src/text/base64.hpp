// Base64 with the standard alphabet and padding (RFC 4648). Decoding is strict: image data
// arrives from callers, and a lenient decoder would turn typos into silently wrong images.
#pragma once

#include "../result.hpp"

#include <string>
#include <string_view>

namespace vft::text {

inline constexpr const char *kBase64InvalidSymbol = "Invalid base64: invalid symbol at offset ";
inline constexpr const char *kBase64InvalidPadding = "Invalid base64: invalid padding";
inline constexpr const char *kBase64InvalidLength =
    "Invalid base64: invalid length (not a multiple of 4)";

std::string base64_encode(std::string_view bytes);

// Fails with a text that names what is wrong: an invalid symbol (with its offset), invalid
// padding or an invalid length. White space is not skipped.
Result<std::string> base64_decode(std::string_view text);

} // namespace vft::text

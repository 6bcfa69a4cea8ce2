// Image conversion for the clipboard app: PNG, JPEG and BMP bytes in, PNG or a 24-bit BMP
// out, and the clipboard's device-independent bitmaps turned into BMP files. Inputs come
// from other programs and from callers, so every size is checked before memory is taken.
#pragma once

#include "../result.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace vft::image {

inline constexpr std::size_t kMaxImageBytes = 20971520; // 20 MiB

inline constexpr const char *kImageTooLarge = "Image exceeds 20 MiB";
inline constexpr const char *kPngTooLarge = "PNG exceeds 20 MiB";
inline constexpr const char *kUnsupportedBitmap = "Unsupported clipboard bitmap";
inline constexpr const char *kUnsupportedBitmapHeader = "Unsupported clipboard bitmap header";
inline constexpr const char *kMalformedBitmap = "Malformed clipboard bitmap";

// PNG, JPEG or BMP bytes (format from the leading bytes) -> PNG bytes in the colour type the
// image was decoded to. Codec failures carry the codec's own text.
Result<std::string> normalise_to_png(std::string_view encoded);

// A clipboard bitmap (a BITMAPINFOHEADER/V5 header and its data, as CF_DIB/CF_DIBV5 hold
// it) -> a BMP file (14-byte file header added). Checks the layout; does not decode.
Result<std::string> dib_to_bmp_file(std::string_view dib);

// PNG, JPEG or BMP bytes -> a 24-bit bottom-up BMP file (alpha dropped), 14-byte file
// header included.
Result<std::string> to_bmp24_file(std::string_view encoded);

} // namespace vft::image

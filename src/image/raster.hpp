// Decoded pixels as the codecs hand them over, and the codec backend the conversions sit
// on: libpng, libjpeg-turbo and stb's BMP decoder on Linux, the Windows Imaging Component
// on Windows.
#pragma once

#include "../result.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vft::image {

// The decoders' allocation cap, judged from the declared size before any pixel memory is taken.
inline constexpr std::size_t kMaxDecodedBytes = 536870912; // 512 MiB

inline constexpr const char *kUnknownFormat = "Image format is not PNG, JPEG or BMP";
inline constexpr const char *kNoPixels = "Image has no pixels (zero width or height)";

enum class Format { png, jpeg, bmp };
std::optional<Format> detect_format(std::string_view encoded);

enum class Colour { gray, gray_alpha, rgb, rgba, palette };
int channel_count(Colour colour);

struct PaletteEntry {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  std::uint8_t alpha = 255;
};

struct Raster {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Colour colour = Colour::rgb;
  // Bits per sample (per index for palette images): 1, 2 or 4 (gray and palette only), 8,
  // or 16 (not palette). Samples below 8 bits are packed from the high bit down; 16-bit
  // samples are big-endian, as PNG stores them.
  int bit_depth = 8;
  std::size_t row_bytes = 0;
  std::string pixels; // rows from the top down, row_bytes each
  std::vector<PaletteEntry> palette;
  // A gray (first value) or RGB colour that stands for transparent, at the image's depth.
  std::optional<std::array<std::uint16_t, 3>> transparent;
};

// The bytes of one row for an image of this shape, refused when the whole image would take
// more than max_bytes or has no pixels.
Result<std::size_t> row_bytes_within(std::uint64_t width, std::uint64_t height,
                                     std::uint64_t bits_per_pixel, std::size_t max_bytes);
// "Decoded image exceeds N MiB"
std::string decoded_too_large(std::size_t max_bytes);

// The backend. decode fails with the codec's own text; encode_png stops with
// "PNG exceeds 20 MiB" as soon as its output passes max_png bytes.
Result<Raster> decode(std::string_view encoded, Format format, std::size_t max_decoded);
Result<std::string> encode_png(const Raster &raster, std::size_t max_png);

} // namespace vft::image

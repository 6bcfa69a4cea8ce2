// BMP through stb_image, built with its BMP decoder only. stb reads past the end of its
// input as zero bytes, so the size checks it lacks (declared size against the cap, pixel
// data against the file's length) come first, from the headers.
#include "platform/posix/image_codecs.hpp"

#include <climits>
#include <cstdint>
#include <cstdlib>

#define STBI_ONLY_BMP
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_FAILURE_USERMSG
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

namespace vft::image {

namespace {

inline constexpr const char *kBmpTruncated = "BMP data is truncated";
inline constexpr const char *kBmpBadOffset = "BMP pixel data offset is invalid";
inline constexpr const char *kBmpIndexBeyondPalette =
    "BMP pixel refers to a colour beyond its palette";

std::uint32_t u32_at(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return value;
}

std::uint16_t u16_at(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

// The palette indices of 1, 4 and 8-bit rows must stay within the palette the file holds: stb
// would look a larger one up in memory it never filled.
Result<void> check_indices(std::string_view pixels, std::uint64_t width, std::uint64_t height,
                           std::uint64_t bits, std::uint64_t stride, std::uint64_t palette) {
  if (palette >= (std::uint64_t{1} << bits)) return {};
  const unsigned mask = (1U << bits) - 1;
  for (std::uint64_t y = 0; y < height; ++y) {
    const std::string_view row = pixels.substr(y * stride, stride);
    for (std::uint64_t x = 0; x < width; ++x) {
      const std::uint64_t bit = x * bits;
      const unsigned index =
          (static_cast<unsigned char>(row[bit / 8]) >> (8 - bits - bit % 8)) & mask;
      if (index >= palette) return fail(kBmpIndexBeyondPalette);
    }
  }
  return {};
}

// Refuses, before stb allocates anything, a file too short for its own headers, an image
// whose decoded size passes the cap, and uncompressed pixel rows that would run past the end
// of the file. Layouts stb does not support are left to stb, which names them.
Result<void> check_bmp(std::string_view encoded, std::size_t max_decoded) {
  constexpr std::size_t kFileHeader = 14;
  if (encoded.size() < kFileHeader + 4) return fail(kBmpTruncated);
  const std::uint64_t offset = u32_at(encoded, 10);
  const std::uint32_t header = u32_at(encoded, 14);
  if (header != 12 && header != 40 && header != 56 && header != 108 && header != 124) return {};
  if (encoded.size() < kFileHeader + header) return fail(kBmpTruncated);
  std::uint64_t width = 0, height = 0, bits = 0, compression = 0, palette_entry = 4;
  if (header == 12) {
    width = u16_at(encoded, 18);
    height = u16_at(encoded, 20);
    bits = u16_at(encoded, 24);
    palette_entry = 3;
  } else {
    const auto signed_height = static_cast<std::int32_t>(u32_at(encoded, 22)); // < 0: top-down
    width = u32_at(encoded, 18);
    height = signed_height < 0
                 ? 0 - static_cast<std::uint64_t>(static_cast<std::int64_t>(signed_height))
                 : static_cast<std::uint64_t>(signed_height);
    bits = u16_at(encoded, 28);
    compression = u32_at(encoded, 30);
  }
  // stb decodes to 8-bit RGB or RGBA.
  VFT_TRY_VOID(row_bytes_within(width, height, 32, max_decoded));
  // stb reads the compression field as a signed number and refuses RLE (1, 2) and 4 and up;
  // anything else, negative numbers too, it decodes as uncompressed rows.
  if (compression == 1 || compression == 2 || (compression >= 4 && compression <= INT32_MAX)) {
    return {};
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return {};
  const std::uint64_t masks = header == 40 && compression == 3 && bits >= 16 ? 12 : 0;
  if (offset < kFileHeader + header + masks || offset > encoded.size()) {
    return fail(kBmpBadOffset);
  }
  const std::uint64_t stride = (width * bits + 31) / 32 * 4;
  if (stride * height > encoded.size() - offset) return fail(kBmpTruncated);
  if (bits <= 8) {
    // stb places an OS/2 palette 12 bytes further on; the count follows stb's reading.
    const std::uint64_t start = kFileHeader + (header == 12 ? 24 : header);
    const std::uint64_t palette = offset > start ? (offset - start) / palette_entry : 0;
    return check_indices(encoded.substr(offset), width, height, bits, stride, palette);
  }
  return {};
}

class StbPixels {
public:
  explicit StbPixels(stbi_uc *pixels) : pixels_(pixels) {}
  ~StbPixels() { stbi_image_free(pixels_); }
  StbPixels(const StbPixels &) = delete;
  StbPixels &operator=(const StbPixels &) = delete;
  const stbi_uc *get() const { return pixels_; }

private:
  stbi_uc *pixels_;
};

} // namespace

Result<Raster> decode_bmp(std::string_view encoded, std::size_t max_decoded) {
  if (encoded.size() > INT_MAX) return fail(decoded_too_large(max_decoded));
  VFT_TRY_VOID(check_bmp(encoded, max_decoded));
  int width = 0, height = 0, channels = 0;
  const StbPixels pixels(stbi_load_from_memory(reinterpret_cast<const stbi_uc *>(encoded.data()),
                                               static_cast<int>(encoded.size()), &width, &height,
                                               &channels, 0));
  if (pixels.get() == nullptr) return fail(stbi_failure_reason());
  Raster raster;
  raster.width = static_cast<std::uint32_t>(width);
  raster.height = static_cast<std::uint32_t>(height);
  raster.colour = channels == 4 ? Colour::rgba : Colour::rgb;
  raster.bit_depth = 8;
  raster.row_bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
  raster.pixels.assign(reinterpret_cast<const char *>(pixels.get()),
                       raster.row_bytes * static_cast<std::size_t>(height));
  return raster;
}

} // namespace vft::image

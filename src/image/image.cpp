// Format detection, the size rules shared by both backends, the clipboard bitmap framing and
// the 24-bit BMP writer.
#include "image.hpp"
#include "raster.hpp"

#include <limits>

namespace vft::image {

namespace {

constexpr std::size_t kFileHeaderBytes = 14;
constexpr std::size_t kInfoHeaderBytes = 40;

std::uint32_t read_u32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return value;
}

std::uint16_t read_u16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

void put_u32(std::string &out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void put_u16(std::string &out, std::uint16_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8);
}

Result<Raster> decode_within_limits(std::string_view encoded) {
  if (encoded.size() > kMaxImageBytes) return fail(kImageTooLarge);
  const auto format = detect_format(encoded);
  if (!format) return fail(kUnknownFormat);
  return decode(encoded, *format, kMaxDecodedBytes);
}

// One sample of a row, scaled to 8 bits.
std::uint8_t sample8(const unsigned char *row, std::size_t index, int bit_depth) {
  switch (bit_depth) {
  case 16:
    return row[index * 2];
  case 8:
    return row[index];
  default: {
    const std::size_t bit = index * static_cast<std::size_t>(bit_depth);
    const int shift = 8 - bit_depth - static_cast<int>(bit % 8);
    const unsigned value = (row[bit / 8] >> shift) & ((1U << bit_depth) - 1);
    return static_cast<std::uint8_t>(value * 255 / ((1U << bit_depth) - 1));
  }
  }
}

// A palette index of a row (the raw value, not scaled).
std::size_t index_at(const unsigned char *row, std::size_t x, int bit_depth) {
  if (bit_depth == 8) return row[x];
  const std::size_t bit = x * static_cast<std::size_t>(bit_depth);
  const int shift = 8 - bit_depth - static_cast<int>(bit % 8);
  return (row[bit / 8] >> shift) & ((1U << bit_depth) - 1);
}

// Writes one image row as blue, green, red triples; alpha is dropped.
void row_to_bgr(const Raster &raster, std::uint32_t y, char *out) {
  const auto *row = reinterpret_cast<const unsigned char *>(raster.pixels.data()) +
                    static_cast<std::size_t>(y) * raster.row_bytes;
  const std::size_t channels = static_cast<std::size_t>(channel_count(raster.colour));
  for (std::size_t x = 0; x < raster.width; ++x) {
    std::uint8_t red = 0, green = 0, blue = 0;
    if (raster.colour == Colour::palette) {
      // An index beyond the palette shows black, as libpng's own expansion does.
      const std::size_t index = index_at(row, x, raster.bit_depth);
      if (index < raster.palette.size()) {
        red = raster.palette[index].red;
        green = raster.palette[index].green;
        blue = raster.palette[index].blue;
      }
    } else if (channels <= 2) {
      red = green = blue = sample8(row, x * channels, raster.bit_depth);
    } else {
      red = sample8(row, x * channels, raster.bit_depth);
      green = sample8(row, x * channels + 1, raster.bit_depth);
      blue = sample8(row, x * channels + 2, raster.bit_depth);
    }
    out[x * 3] = static_cast<char>(blue);
    out[x * 3 + 1] = static_cast<char>(green);
    out[x * 3 + 2] = static_cast<char>(red);
  }
}

} // namespace

std::optional<Format> detect_format(std::string_view encoded) {
  constexpr std::string_view kPng("\x89PNG\r\n\x1a\n", 8);
  if (encoded.substr(0, kPng.size()) == kPng) return Format::png;
  if (encoded.substr(0, 3) == "\xFF\xD8\xFF") return Format::jpeg;
  if (encoded.substr(0, 2) == "BM") return Format::bmp;
  return std::nullopt;
}

int channel_count(Colour colour) {
  switch (colour) {
  case Colour::gray:
  case Colour::palette:
    return 1;
  case Colour::gray_alpha:
    return 2;
  case Colour::rgb:
    return 3;
  case Colour::rgba:
    return 4;
  }
  return 4;
}

std::string decoded_too_large(std::size_t max_bytes) {
  return "Decoded image exceeds " + std::to_string(max_bytes / 1048576) + " MiB";
}

Result<std::size_t> row_bytes_within(std::uint64_t width, std::uint64_t height,
                                     std::uint64_t bits_per_pixel, std::size_t max_bytes) {
  if (width == 0 || height == 0) return fail(kNoPixels);
  // Each factor is checked before it is multiplied, so nothing can wrap around.
  const std::uint64_t limit = max_bytes;
  if (bits_per_pixel == 0 || width > limit * 8 / bits_per_pixel) {
    return fail(decoded_too_large(max_bytes));
  }
  const std::uint64_t row = (width * bits_per_pixel + 7) / 8;
  if (height > limit / row) return fail(decoded_too_large(max_bytes));
  return static_cast<std::size_t>(row);
}

Result<std::string> normalise_to_png(std::string_view encoded) {
  VFT_TRY(auto raster, decode_within_limits(encoded));
  return encode_png(raster, kMaxImageBytes);
}

Result<std::string> dib_to_bmp_file(std::string_view dib) {
  if (dib.size() < kInfoHeaderBytes) return fail(kUnsupportedBitmap);
  // The file size field is 32 bits wide.
  if (dib.size() > std::numeric_limits<std::uint32_t>::max() - kFileHeaderBytes) {
    return fail(kMalformedBitmap);
  }
  const std::uint64_t header = read_u32(dib, 0);
  if (header < kInfoHeaderBytes || header > dib.size()) return fail(kUnsupportedBitmapHeader);

  const std::uint64_t bit_count = read_u16(dib, 14);
  const std::uint64_t compression = read_u32(dib, 16);
  const std::uint64_t colours_used = read_u32(dib, 32);
  std::uint64_t palette = 0;
  if (colours_used != 0) {
    palette = 4 * colours_used;
  } else if (bit_count <= 8) {
    palette = 4 * (std::uint64_t{1} << bit_count);
  }
  std::uint64_t masks = 0;
  if (header == kInfoHeaderBytes) {
    if (compression == 3) masks = 12; // bit fields
    if (compression == 6) masks = 16; // alpha bit fields
  }
  const std::uint64_t offset = kFileHeaderBytes + header + masks + palette;
  if (offset > dib.size() + kFileHeaderBytes) return fail(kMalformedBitmap);

  std::string file;
  file.reserve(dib.size() + kFileHeaderBytes);
  file += "BM";
  put_u32(file, static_cast<std::uint32_t>(dib.size() + kFileHeaderBytes));
  put_u32(file, 0);
  put_u32(file, static_cast<std::uint32_t>(offset));
  file += dib;
  return file;
}

Result<std::string> to_bmp24_file(std::string_view encoded) {
  VFT_TRY(const auto raster, decode_within_limits(encoded));
  // A small packed image can still make a large 24-bit one: the output is held to the same
  // cap as decoding, which also keeps every size field within 32 bits.
  const auto row = row_bytes_within(raster.width, raster.height, 24,
                                    kMaxDecodedBytes - kFileHeaderBytes - kInfoHeaderBytes);
  if (!row) return fail(decoded_too_large(kMaxDecodedBytes));
  const std::size_t padded = (*row + 3) / 4 * 4;
  const std::size_t image_bytes = padded * raster.height;
  if (image_bytes > kMaxDecodedBytes - kFileHeaderBytes - kInfoHeaderBytes) {
    return fail(decoded_too_large(kMaxDecodedBytes));
  }
  const std::size_t offset = kFileHeaderBytes + kInfoHeaderBytes;

  std::string file;
  file.reserve(offset + image_bytes);
  file += "BM";
  put_u32(file, static_cast<std::uint32_t>(offset + image_bytes));
  put_u16(file, 0);
  put_u16(file, 0);
  put_u32(file, static_cast<std::uint32_t>(offset));
  put_u32(file, kInfoHeaderBytes);
  put_u32(file, raster.width);
  put_u32(file, raster.height); // positive: rows run from the bottom up
  put_u16(file, 1);             // planes
  put_u16(file, 24);            // bits per pixel
  put_u32(file, 0);             // no compression
  put_u32(file, static_cast<std::uint32_t>(image_bytes));
  put_u32(file, 0); // horizontal resolution
  put_u32(file, 0); // vertical resolution
  put_u32(file, 0); // colours used
  put_u32(file, 0); // important colours

  file.resize(offset + image_bytes, '\0'); // the row padding stays zero
  for (std::uint32_t y = 0; y < raster.height; ++y) {
    const std::size_t bottom_up = raster.height - 1 - y;
    row_to_bgr(raster, y, file.data() + offset + bottom_up * padded);
  }
  return file;
}

} // namespace vft::image

// PNG through libpng. libpng reports errors by longjmp, so every call that can fail runs in
// a small function that holds its own setjmp and no object with a destructor; the buffers
// live in the callers, which never call setjmp themselves.
#include "image/image.hpp"
#include "platform/posix/image_codecs.hpp"

#include <png.h>

#include <cstdio>
#include <cstring>

namespace vft::image {

namespace {

inline constexpr const char *kPngTruncated = "PNG data is truncated";

struct PngErrors {
  char message[256] = "";
};

void on_error(png_structp png, png_const_charp message) {
  auto *errors = static_cast<PngErrors *>(png_get_error_ptr(png));
  std::snprintf(errors->message, sizeof errors->message, "%s", message);
  png_longjmp(png, 1);
}

// Warnings (a bad ancillary chunk, say) do not stop decoding, and nothing is printed.
void on_warning(png_structp, png_const_charp) {}

struct PngSource {
  const unsigned char *data;
  std::size_t size;
  std::size_t offset;
};

void read_from_memory(png_structp png, png_bytep out, std::size_t length) {
  auto *source = static_cast<PngSource *>(png_get_io_ptr(png));
  if (length > source->size - source->offset) png_error(png, kPngTruncated);
  std::memcpy(out, source->data + source->offset, length);
  source->offset += length;
}

// What the header says, copied out of libpng's structures.
struct PngHeader {
  png_uint_32 width;
  png_uint_32 height;
  int bit_depth;
  int colour_type;
  int palette_size;
  png_color palette[PNG_MAX_PALETTE_LENGTH];
  int alpha_count;
  png_byte alpha[PNG_MAX_PALETTE_LENGTH];
  bool has_transparent;
  png_color_16 transparent;
};

bool read_header(png_structp png, png_infop info, PngHeader *header) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  header->width = png_get_image_width(png, info);
  header->height = png_get_image_height(png, info);
  header->bit_depth = png_get_bit_depth(png, info);
  header->colour_type = png_get_color_type(png, info);
  png_colorp palette = nullptr;
  int palette_size = 0;
  if (png_get_PLTE(png, info, &palette, &palette_size) != 0) {
    header->palette_size = palette_size;
    std::memcpy(header->palette, palette,
                sizeof(png_color) * static_cast<std::size_t>(palette_size));
  }
  png_bytep alpha = nullptr;
  int alpha_count = 0;
  png_color_16p transparent = nullptr;
  if (png_get_tRNS(png, info, &alpha, &alpha_count, &transparent) != 0) {
    if (header->colour_type == PNG_COLOR_TYPE_PALETTE && alpha != nullptr) {
      header->alpha_count = alpha_count;
      std::memcpy(header->alpha, alpha, static_cast<std::size_t>(alpha_count));
    } else if (transparent != nullptr) {
      header->has_transparent = true;
      header->transparent = *transparent;
    }
  }
  return true;
}

bool read_rows(png_structp png, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  return true;
}

class ReadStruct {
public:
  explicit ReadStruct(PngErrors *errors)
      : png_(png_create_read_struct(PNG_LIBPNG_VER_STRING, errors, on_error, on_warning)),
        info_(png_ != nullptr ? png_create_info_struct(png_) : nullptr) {}
  ~ReadStruct() { png_destroy_read_struct(&png_, &info_, nullptr); }
  ReadStruct(const ReadStruct &) = delete;
  ReadStruct &operator=(const ReadStruct &) = delete;
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

private:
  png_structp png_;
  png_infop info_;
};

class WriteStruct {
public:
  explicit WriteStruct(PngErrors *errors)
      : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, errors, on_error, on_warning)),
        info_(png_ != nullptr ? png_create_info_struct(png_) : nullptr) {}
  ~WriteStruct() { png_destroy_write_struct(&png_, &info_); }
  WriteStruct(const WriteStruct &) = delete;
  WriteStruct &operator=(const WriteStruct &) = delete;
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

private:
  png_structp png_;
  png_infop info_;
};

Colour colour_of(int colour_type) {
  switch (colour_type) {
  case PNG_COLOR_TYPE_GRAY:
    return Colour::gray;
  case PNG_COLOR_TYPE_GRAY_ALPHA:
    return Colour::gray_alpha;
  case PNG_COLOR_TYPE_PALETTE:
    return Colour::palette;
  case PNG_COLOR_TYPE_RGB_ALPHA:
    return Colour::rgba;
  default:
    return Colour::rgb;
  }
}

int colour_type_of(Colour colour) {
  switch (colour) {
  case Colour::gray:
    return PNG_COLOR_TYPE_GRAY;
  case Colour::gray_alpha:
    return PNG_COLOR_TYPE_GRAY_ALPHA;
  case Colour::palette:
    return PNG_COLOR_TYPE_PALETTE;
  case Colour::rgba:
    return PNG_COLOR_TYPE_RGB_ALPHA;
  case Colour::rgb:
    break;
  }
  return PNG_COLOR_TYPE_RGB;
}

std::vector<png_bytep> row_pointers(unsigned char *base, std::size_t height, std::size_t stride) {
  std::vector<png_bytep> rows(height);
  for (std::size_t y = 0; y < height; ++y)
    rows[y] = base + y * stride;
  return rows;
}

struct PngSink {
  std::string *out;
  std::size_t limit;
};

bool append(std::string &out, const png_byte *data, std::size_t length) noexcept {
  try {
    out.append(reinterpret_cast<const char *>(data), length);
    return true;
  } catch (...) {
    return false;
  }
}

void write_to_memory(png_structp png, png_bytep data, std::size_t length) {
  auto *sink = static_cast<PngSink *>(png_get_io_ptr(png));
  if (length > sink->limit - sink->out->size()) png_error(png, kPngTooLarge);
  if (!append(*sink->out, data, length)) png_error(png, "Insufficient memory");
}

void flush_memory(png_structp) {}

// Everything libpng needs to write one image, prepared outside the setjmp frame.
struct PngImage {
  png_uint_32 width;
  png_uint_32 height;
  int bit_depth;
  int colour_type;
  const png_color *palette;
  int palette_size;
  const png_byte *alpha;
  int alpha_count;
  const png_color_16 *transparent;
  png_bytepp rows;
};

bool write_image(png_structp png, png_infop info, const PngImage *image) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, image->width, image->height, image->bit_depth, image->colour_type,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (image->palette_size > 0) png_set_PLTE(png, info, image->palette, image->palette_size);
  if (image->alpha_count > 0 || image->transparent != nullptr) {
    png_set_tRNS(png, info, image->alpha, image->alpha_count, image->transparent);
  }
  png_write_info(png, info);
  png_write_image(png, image->rows);
  png_write_end(png, nullptr);
  return true;
}

// The largest palette index the rows use.
std::size_t largest_index(const Raster &raster) {
  std::size_t largest = 0;
  const auto *pixels = reinterpret_cast<const unsigned char *>(raster.pixels.data());
  const std::size_t depth = static_cast<std::size_t>(raster.bit_depth);
  const unsigned mask = (1U << depth) - 1;
  for (std::size_t y = 0; y < raster.height; ++y) {
    const unsigned char *row = pixels + y * raster.row_bytes;
    for (std::size_t x = 0; x < raster.width; ++x) {
      const std::size_t bit = x * depth;
      const std::size_t index = (row[bit / 8] >> (8 - depth - bit % 8)) & mask;
      if (index > largest) largest = index;
    }
  }
  return largest;
}

} // namespace

Result<Raster> decode_png(std::string_view encoded, std::size_t max_decoded) {
  PngErrors errors;
  const ReadStruct read(&errors);
  if (read.png() == nullptr || read.info() == nullptr) return fail("Insufficient memory");
  PngSource source{reinterpret_cast<const unsigned char *>(encoded.data()), encoded.size(), 0};
  png_set_read_fn(read.png(), &source, read_from_memory);

  PngHeader header{};
  if (!read_header(read.png(), read.info(), &header)) return fail(errors.message);

  Raster raster;
  raster.width = header.width;
  raster.height = header.height;
  raster.colour = colour_of(header.colour_type);
  raster.bit_depth = header.bit_depth;
  VFT_TRY(const auto row, row_bytes_within(header.width, header.height,
                                           static_cast<std::uint64_t>(header.bit_depth) *
                                               channel_count(raster.colour),
                                           max_decoded));
  raster.row_bytes = row;
  for (int i = 0; i < header.palette_size; ++i) {
    const png_color &entry = header.palette[i];
    raster.palette.push_back({entry.red, entry.green, entry.blue,
                              i < header.alpha_count ? header.alpha[i] : png_byte{255}});
  }
  if (header.has_transparent) {
    const png_color_16 &key = header.transparent;
    raster.transparent = raster.colour == Colour::gray
                             ? std::array<std::uint16_t, 3>{key.gray, 0, 0}
                             : std::array<std::uint16_t, 3>{key.red, key.green, key.blue};
  }

  raster.pixels.resize(raster.row_bytes * raster.height);
  auto rows = row_pointers(reinterpret_cast<unsigned char *>(raster.pixels.data()), raster.height,
                           raster.row_bytes);
  if (!read_rows(read.png(), rows.data())) return fail(errors.message);
  // libpng shows an index beyond the palette as black but refuses to write one: the palette
  // grows by black entries, so the image converts and looks as it did.
  if (raster.colour == Colour::palette) {
    const std::size_t needed = largest_index(raster) + 1;
    if (needed > raster.palette.size()) raster.palette.resize(needed);
  }
  return raster;
}

Result<std::string> encode_png(const Raster &raster, std::size_t max_png) {
  PngErrors errors;
  const WriteStruct write(&errors);
  if (write.png() == nullptr || write.info() == nullptr) return fail("Insufficient memory");
  std::string out;
  PngSink sink{&out, max_png};
  png_set_write_fn(write.png(), &sink, write_to_memory, flush_memory);

  std::vector<png_color> palette;
  std::vector<png_byte> alpha;
  for (const PaletteEntry &entry : raster.palette) {
    palette.push_back({entry.red, entry.green, entry.blue});
    alpha.push_back(entry.alpha);
  }
  // Only the entries up to the last translucent one go into tRNS.
  while (!alpha.empty() && alpha.back() == 255)
    alpha.pop_back();
  png_color_16 transparent{};
  if (raster.transparent) {
    transparent.gray = (*raster.transparent)[0];
    transparent.red = (*raster.transparent)[0];
    transparent.green = (*raster.transparent)[1];
    transparent.blue = (*raster.transparent)[2];
  }
  // libpng only reads the rows.
  auto rows =
      row_pointers(reinterpret_cast<unsigned char *>(const_cast<char *>(raster.pixels.data())),
                   raster.height, raster.row_bytes);
  const PngImage image{raster.width,
                       raster.height,
                       raster.bit_depth,
                       colour_type_of(raster.colour),
                       palette.empty() ? nullptr : palette.data(),
                       static_cast<int>(palette.size()),
                       alpha.empty() ? nullptr : alpha.data(),
                       static_cast<int>(alpha.size()),
                       raster.transparent && raster.colour != Colour::palette ? &transparent
                                                                              : nullptr,
                       rows.data()};
  if (!write_image(write.png(), write.info(), &image)) return fail(errors.message);
  return out;
}

} // namespace vft::image

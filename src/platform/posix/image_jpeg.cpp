// JPEG through libjpeg-turbo. libjpeg reports errors by longjmp, so every call that can fail
// runs in a small function that holds its own setjmp and no object with a destructor; the
// pixel buffer lives in the caller, which never calls setjmp itself.
#include "platform/posix/image_codecs.hpp"

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE and size_t first

#include <jerror.h>
#include <jpeglib.h>

namespace vft::image {

namespace {

// A progressive JPEG may hold any number of scans, and each one passes over the whole image:
// a small hostile file could keep the decoder busy for hours.
constexpr long kMaxScans = 1000;
inline constexpr const char *kTooManyScans = "JPEG has more than 1000 scans";

struct JpegErrors {
  jpeg_error_mgr manager; // first, so that libjpeg's pointer to it is a pointer to this
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void on_error(j_common_ptr cinfo) {
  auto *errors = reinterpret_cast<JpegErrors *>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, errors->message);
  std::longjmp(errors->jump, 1);
}

// Corrupt-data warnings let decoding go on (many cameras write a stray byte or two), but a
// file that ends early is an error rather than an image padded with gray. Nothing is printed.
void on_message(j_common_ptr cinfo, int level) {
  if (level == -1 && cinfo->err->msg_code == JWRN_JPEG_EOF) on_error(cinfo);
}

void on_progress(j_common_ptr cinfo) {
  const auto *decompress = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (decompress->input_scan_number > kMaxScans) {
    auto *errors = reinterpret_cast<JpegErrors *>(cinfo->err);
    std::snprintf(errors->message, sizeof errors->message, "%s", kTooManyScans);
    std::longjmp(errors->jump, 1);
  }
}

struct JpegHeader {
  JDIMENSION width;
  JDIMENSION height;
  int components;
  J_COLOR_SPACE colour_space;
  bool adobe;
};

bool read_header(j_decompress_ptr cinfo, JpegErrors *errors, JpegHeader *header) {
  if (setjmp(errors->jump)) return false;
  jpeg_read_header(cinfo, TRUE);
  switch (cinfo->jpeg_color_space) {
  case JCS_GRAYSCALE:
    cinfo->out_color_space = JCS_GRAYSCALE;
    break;
  case JCS_CMYK:
  case JCS_YCCK:
    cinfo->out_color_space = JCS_CMYK; // libjpeg has no CMYK to RGB conversion; ours follows
    break;
  default:
    cinfo->out_color_space = JCS_RGB;
    break;
  }
  jpeg_calc_output_dimensions(cinfo);
  header->width = cinfo->output_width;
  header->height = cinfo->output_height;
  header->components = cinfo->output_components;
  header->colour_space = cinfo->out_color_space;
  header->adobe = cinfo->saw_Adobe_marker != 0;
  return true;
}

bool read_rows(j_decompress_ptr cinfo, JpegErrors *errors, unsigned char *pixels,
               std::size_t stride) {
  if (setjmp(errors->jump)) return false;
  jpeg_start_decompress(cinfo);
  while (cinfo->output_scanline < cinfo->output_height) {
    JSAMPROW row = pixels + static_cast<std::size_t>(cinfo->output_scanline) * stride;
    if (jpeg_read_scanlines(cinfo, &row, 1) != 1) {
      on_error(reinterpret_cast<j_common_ptr>(cinfo)); // cannot happen with a memory source
    }
  }
  return true;
}

class Decompressor {
public:
  explicit Decompressor(JpegErrors *errors) {
    cinfo_.err = jpeg_std_error(&errors->manager);
    errors->manager.error_exit = on_error;
    errors->manager.emit_message = on_message;
    progress_.progress_monitor = on_progress;
  }
  ~Decompressor() {
    if (created_) jpeg_destroy_decompress(&cinfo_);
  }
  Decompressor(const Decompressor &) = delete;
  Decompressor &operator=(const Decompressor &) = delete;

  // Creating can fail too (out of memory), so it runs inside a setjmp frame of its own.
  bool create(JpegErrors *errors, std::string_view encoded, std::size_t max_memory) {
    if (setjmp(errors->jump)) return false;
    jpeg_create_decompress(&cinfo_);
    created_ = true;
    // Beyond this, libjpeg would need a backing store, which this build does not have: the
    // whole-image buffers of progressive files stay under the cap too.
    cinfo_.mem->max_memory_to_use = static_cast<long>(max_memory);
    cinfo_.progress = &progress_;
    jpeg_mem_src(&cinfo_, reinterpret_cast<const unsigned char *>(encoded.data()),
                 static_cast<unsigned long>(encoded.size()));
    return true;
  }
  j_decompress_ptr get() { return &cinfo_; }

private:
  jpeg_decompress_struct cinfo_{};
  jpeg_progress_mgr progress_{};
  bool created_ = false;
};

// Adobe writes CMYK inverted (0 is full ink), which is nearly every CMYK JPEG there is.
void cmyk_to_rgb(Raster &raster, bool inverted) {
  auto *pixels = reinterpret_cast<unsigned char *>(raster.pixels.data());
  const std::size_t count = static_cast<std::size_t>(raster.width) * raster.height;
  for (std::size_t i = 0; i < count; ++i) {
    unsigned c = pixels[i * 4], m = pixels[i * 4 + 1], y = pixels[i * 4 + 2], k = pixels[i * 4 + 3];
    if (!inverted) {
      c = 255 - c;
      m = 255 - m;
      y = 255 - y;
      k = 255 - k;
    }
    pixels[i * 3] = static_cast<unsigned char>(c * k / 255);
    pixels[i * 3 + 1] = static_cast<unsigned char>(m * k / 255);
    pixels[i * 3 + 2] = static_cast<unsigned char>(y * k / 255);
  }
  raster.row_bytes = static_cast<std::size_t>(raster.width) * 3;
  raster.pixels.resize(count * 3);
  raster.colour = Colour::rgb;
}

} // namespace

Result<Raster> decode_jpeg(std::string_view encoded, std::size_t max_decoded) {
  JpegErrors errors{};
  Decompressor decompressor(&errors);
  if (!decompressor.create(&errors, encoded, max_decoded)) return fail(errors.message);
  JpegHeader header{};
  if (!read_header(decompressor.get(), &errors, &header)) return fail(errors.message);

  VFT_TRY(const auto row,
          row_bytes_within(header.width, header.height,
                           static_cast<std::uint64_t>(header.components) * 8, max_decoded));
  Raster raster;
  raster.width = header.width;
  raster.height = header.height;
  raster.bit_depth = 8;
  raster.colour = header.components == 1 ? Colour::gray : Colour::rgb;
  raster.row_bytes = row;
  raster.pixels.resize(raster.row_bytes * raster.height);
  if (!read_rows(decompressor.get(), &errors,
                 reinterpret_cast<unsigned char *>(raster.pixels.data()), raster.row_bytes)) {
    return fail(errors.message);
  }
  if (header.colour_space == JCS_CMYK) cmyk_to_rgb(raster, header.adobe);
  return raster;
}

} // namespace vft::image

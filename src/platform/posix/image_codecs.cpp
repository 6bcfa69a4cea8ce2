#include "platform/posix/image_codecs.hpp"

namespace vft::image {

Result<Raster> decode(std::string_view encoded, Format format, std::size_t max_decoded) {
  switch (format) {
  case Format::png:
    return decode_png(encoded, max_decoded);
  case Format::jpeg:
    return decode_jpeg(encoded, max_decoded);
  case Format::bmp:
    return decode_bmp(encoded, max_decoded);
  }
  return fail(kUnknownFormat);
}

} // namespace vft::image

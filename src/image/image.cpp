#include "image.hpp"

namespace vft::image {

Result<std::string> normalise_to_png(std::string_view) {
  return fail("Image conversion is not built yet");
}

Result<std::string> dib_to_bmp_file(std::string_view) {
  return fail("Image conversion is not built yet");
}

Result<std::string> to_bmp24_file(std::string_view) {
  return fail("Image conversion is not built yet");
}

} // namespace vft::image

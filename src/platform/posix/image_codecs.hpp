// The Linux decoders (libpng, libjpeg-turbo, stb) behind decode(): one per format.
#pragma once

#include "image/raster.hpp"

namespace vft::image {

Result<Raster> decode_png(std::string_view encoded, std::size_t max_decoded);
Result<Raster> decode_jpeg(std::string_view encoded, std::size_t max_decoded);
Result<Raster> decode_bmp(std::string_view encoded, std::size_t max_decoded);

} // namespace vft::image

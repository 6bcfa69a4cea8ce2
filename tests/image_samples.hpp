// Rasters for the image tests, shared by the Linux and the Windows ones.
#pragma once

#include "image/image.hpp"
#include "image/raster.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

namespace vft::image_samples {

inline image::Raster raster(std::uint32_t width, std::uint32_t height, image::Colour colour,
                            int bit_depth, std::string pixels) {
  image::Raster out;
  out.width = width;
  out.height = height;
  out.colour = colour;
  out.bit_depth = bit_depth;
  out.row_bytes =
      (width * static_cast<std::size_t>(bit_depth) * image::channel_count(colour) + 7) / 8;
  out.pixels = std::move(pixels);
  return out;
}

// The raster an encoded image decodes to (of its detected format); empty, with a test
// failure, when it does not.
inline image::Raster decoded(const std::string &encoded) {
  const auto format = image::detect_format(encoded);
  EXPECT_TRUE(format);
  auto out = image::decode(encoded, format.value_or(image::Format::png), image::kMaxDecodedBytes);
  EXPECT_TRUE(out) << out.error();
  return out ? *out : image::Raster{};
}

} // namespace vft::image_samples

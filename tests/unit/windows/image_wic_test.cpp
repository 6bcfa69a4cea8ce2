// The Windows Imaging Component backend of the image conversions, under Wine or on Windows:
// the same conversions as on Linux, with the system's codecs.
#include "../../image_samples.hpp"
#include "image/image.hpp"
#include "image/raster.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

namespace image = vft::image;
using image::Colour;
using image::Raster;
using vft::image_samples::decoded;
using vft::image_samples::raster;

// An 8 x 8 JPEG of one colour (red 0xe0, green 0x40, blue 0x20).
const std::string kJpeg("\xff\xd8\xff\xe0\x00\x10\x4a\x46\x49\x46\x00\x01\x01\x00\x00\x01\x00\x01"
                        "\x00\x00\xff\xdb\x00\x43"
                        "\x00\x03\x02\x02\x03\x02\x02\x03\x03\x03\x03\x04\x03\x03\x04\x05\x08\x05"
                        "\x05\x04\x04\x05\x0a\x07"
                        "\x07\x06\x08\x0c\x0a\x0c\x0c\x0b\x0a\x0b\x0b\x0d\x0e\x12\x10\x0d\x0e\x11"
                        "\x0e\x0b\x0b\x10\x16\x10"
                        "\x11\x13\x14\x15\x15\x15\x0c\x0f\x17\x18\x16\x14\x18\x12\x14\x15\x14\xff"
                        "\xdb\x00\x43\x01\x03\x04"
                        "\x04\x05\x04\x05\x09\x05\x05\x09\x14\x0d\x0b\x0d\x14\x14\x14\x14\x14\x14"
                        "\x14\x14\x14\x14\x14\x14"
                        "\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14"
                        "\x14\x14\x14\x14\x14\x14"
                        "\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\x14\xff\xc0\x00\x11"
                        "\x08\x00\x08\x00\x08\x03"
                        "\x01\x22\x00\x02\x11\x01\x03\x11\x01\xff\xc4\x00\x15\x00\x01\x01\x00\x00"
                        "\x00\x00\x00\x00\x00\x00"
                        "\x00\x00\x00\x00\x00\x00\x00\x06\xff\xc4\x00\x14\x10\x01\x00\x00\x00\x00"
                        "\x00\x00\x00\x00\x00\x00"
                        "\x00\x00\x00\x00\x00\x00\xff\xc4\x00\x15\x01\x01\x01\x00\x00\x00\x00\x00"
                        "\x00\x00\x00\x00\x00\x00"
                        "\x00\x00\x00\x07\x08\xff\xc4\x00\x14\x11\x01\x00\x00\x00\x00\x00\x00\x00"
                        "\x00\x00\x00\x00\x00\x00"
                        "\x00\x00\x00\xff\xda\x00\x0c\x03\x01\x00\x02\x11\x03\x11\x00\x3f\x00\x8a"
                        "\x00\x18\xb7\x5f\xff\xd9",
                        288);

} // namespace

TEST(WindowsImage, PngKeepsItsColourTypeAndPixels) {
  Raster palette = raster(3, 1, Colour::palette, 8, std::string("\x00\x02\x01", 3));
  palette.palette = {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 128}};
  const Raster cases[] = {
      raster(2, 1, Colour::rgb, 8, std::string("\x01\x02\x03\x04\x05\x06", 6)),
      raster(1, 2, Colour::rgba, 8, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)),
      raster(2, 2, Colour::gray, 8, std::string("\x00\x40\x80\xff", 4)),
      palette,
  };
  for (const Raster &source : cases) {
    const auto png = image::encode_png(source, image::kMaxImageBytes);
    ASSERT_TRUE(png) << png.error();
    const auto again = image::normalise_to_png(*png);
    ASSERT_TRUE(again) << again.error();
    const Raster back = decoded(*again);
    EXPECT_EQ(back.colour, source.colour);
    EXPECT_EQ(back.pixels, source.pixels);
    ASSERT_EQ(back.palette.size(), source.palette.size());
    for (std::size_t i = 0; i < back.palette.size(); ++i) {
      EXPECT_EQ(back.palette[i].blue, source.palette[i].blue);
      EXPECT_EQ(back.palette[i].alpha, source.palette[i].alpha);
    }
  }
}

TEST(WindowsImage, JpegAndBmpDecode) {
  const auto png = image::normalise_to_png(kJpeg);
  ASSERT_TRUE(png) << png.error();
  const Raster back = decoded(*png);
  EXPECT_EQ(back.width, 8U);
  ASSERT_EQ(back.colour, Colour::rgb);
  EXPECT_NEAR(static_cast<unsigned char>(back.pixels[0]), 0xe0, 4);
  EXPECT_NEAR(static_cast<unsigned char>(back.pixels[1]), 0x40, 4);
  EXPECT_NEAR(static_cast<unsigned char>(back.pixels[2]), 0x20, 4);

  // The 24-bit BMP: bottom row first, blue-green-red, rows padded to 4 bytes.
  const Raster source =
      raster(1, 2, Colour::rgba, 8, std::string("\x01\x02\x03\x00\x04\x05\x06\xff", 8));
  const auto bmp = image::to_bmp24_file(*image::encode_png(source, image::kMaxImageBytes));
  ASSERT_TRUE(bmp) << bmp.error();
  EXPECT_EQ(bmp->substr(54), std::string("\x06\x05\x04\x00\x03\x02\x01\x00", 8));
  const auto bmp_png = image::normalise_to_png(*bmp);
  ASSERT_TRUE(bmp_png) << bmp_png.error();
  EXPECT_EQ(decoded(*bmp_png).pixels, std::string("\x01\x02\x03\x04\x05\x06", 6));
}

TEST(WindowsImage, BadInputIsAnError) {
  const auto png = *image::encode_png(raster(4, 4, Colour::rgb, 8, std::string(48, '\x7f')),
                                      image::kMaxImageBytes);
  // A BMP header claiming 100000 x 100000 pixels (the system's PNG decoder reads the whole
  // image as it opens it, so only a BMP shows the check made before the pixels are read).
  std::string huge = *image::to_bmp24_file(png);
  for (const std::size_t at : {18, 22})
    huge.replace(at, 4, std::string("\xa0\x86\x01\x00", 4));
  const auto refused = image::normalise_to_png(huge);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "Decoded image exceeds 512 MiB");

  for (const std::string &bad : {png.substr(0, png.size() / 2), kJpeg.substr(0, 100),
                                 std::string("BM") + std::string(60, '\x01')}) {
    const auto result = image::normalise_to_png(bad);
    ASSERT_FALSE(result);
    EXPECT_FALSE(result.error().empty());
  }
}

// Image conversion: PNG, JPEG and BMP in, PNG and 24-bit BMP out, the clipboard bitmap
// framing, and the limits that keep hostile input from costing more than it may.
#include "../image_samples.hpp"
#include "image/image.hpp"
#include "image/raster.hpp"

#include <gtest/gtest.h>

#include <cstdio> // jpeglib.h needs FILE first
#include <jpeglib.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>

namespace image = vft::image;
using image::Colour;
using image::Raster;
using vft::image_samples::decoded;
using vft::image_samples::raster;

namespace {

void put_u32(std::string &out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out += static_cast<char>((value >> (8 * i)) & 0xFF);
}
void put_u16(std::string &out, std::uint16_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>(value >> 8);
}
void put_u32_at(std::string &out, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string png_of(const Raster &source) {
  auto png = image::encode_png(source, image::kMaxImageBytes);
  EXPECT_TRUE(png) << png.error();
  return png ? *png : std::string();
}

// The PNG colour type byte of IHDR.
int png_colour_type(const std::string &png) { return static_cast<unsigned char>(png.at(25)); }

// Sets an IHDR field of a PNG and mends the chunk's CRC.
std::string with_ihdr_u32(std::string png, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    png[at + i] = static_cast<char>(value >> (24 - 8 * i));
  const auto crc =
      static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(png.data() + 12), 17));
  for (int i = 0; i < 4; ++i)
    png[29 + i] = static_cast<char>(crc >> (24 - 8 * i));
  return png;
}

std::string jpeg_of(std::uint32_t width, std::uint32_t height, int components,
                    const std::string &pixels) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = components;
  cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 100, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  const std::size_t stride = static_cast<std::size_t>(width) * components;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<unsigned char *>(
        reinterpret_cast<const unsigned char *>(pixels.data()) + cinfo.next_scanline * stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string out(reinterpret_cast<char *>(buffer), size);
  std::free(buffer);
  return out;
}

// A clipboard bitmap: a 40-byte header and the bytes that follow it.
std::string dib(std::int32_t width, std::int32_t height, std::uint16_t bits,
                std::uint32_t compression, std::uint32_t colours_used, const std::string &rest) {
  std::string out;
  put_u32(out, 40);
  put_u32(out, static_cast<std::uint32_t>(width));
  put_u32(out, static_cast<std::uint32_t>(height));
  put_u16(out, 1);
  put_u16(out, bits);
  put_u32(out, compression);
  put_u32(out, 0);
  put_u32(out, 0);
  put_u32(out, 0);
  put_u32(out, colours_used);
  put_u32(out, 0);
  return out + rest;
}

std::string chunk(const std::string &type, const std::string &data) {
  std::string out;
  for (int i = 0; i < 4; ++i)
    out += static_cast<char>(data.size() >> (24 - 8 * i));
  const std::string body = type + data;
  const auto crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef *>(body.data()), body.size()));
  out += body;
  for (int i = 0; i < 4; ++i)
    out += static_cast<char>(crc >> (24 - 8 * i));
  return out;
}

void expect_error(const vft::Result<std::string> &result, const std::string &message) {
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), message);
}

} // namespace

TEST(ImagePng, EveryColourTypeComesBackAsItWent) {
  Raster palette = raster(3, 2, Colour::palette, 2, std::string("\x1b\x00", 2) + "\x90");
  palette.pixels = std::string("\x24\x90", 2); // indices 0 2 1 / 2 1 0
  palette.palette = {{255, 0, 0, 255}, {0, 255, 0, 128}, {0, 0, 255, 0}};
  Raster gray_key = raster(2, 1, Colour::gray, 8, std::string("\x10\x20", 2));
  gray_key.transparent = std::array<std::uint16_t, 3>{0x20, 0, 0};
  const Raster cases[] = {
      raster(2, 2, Colour::gray, 8, std::string("\x00\x40\x80\xff", 4)),
      raster(9, 1, Colour::gray, 1, std::string("\xa5\x80", 2)),
      raster(1, 2, Colour::gray_alpha, 8, std::string("\x11\x22\x33\x44", 4)),
      raster(2, 1, Colour::rgb, 8, std::string("\x01\x02\x03\x04\x05\x06", 6)),
      raster(1, 1, Colour::rgb, 16, std::string("\x01\x02\x03\x04\x05\x06", 6)),
      raster(1, 2, Colour::rgba, 8, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)),
      palette,
      gray_key,
  };
  const int png_types[] = {0, 0, 4, 2, 2, 6, 3, 0};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const auto png = image::normalise_to_png(png_of(cases[i]));
    ASSERT_TRUE(png) << png.error();
    EXPECT_EQ(png_colour_type(*png), png_types[i]);
    const Raster back = decoded(*png);
    EXPECT_EQ(back.width, cases[i].width);
    EXPECT_EQ(back.height, cases[i].height);
    EXPECT_EQ(back.colour, cases[i].colour);
    EXPECT_EQ(back.bit_depth, cases[i].bit_depth);
    EXPECT_EQ(back.pixels, cases[i].pixels);
    EXPECT_EQ(back.palette.size(), cases[i].palette.size());
    for (std::size_t p = 0; p < back.palette.size() && p < cases[i].palette.size(); ++p) {
      EXPECT_EQ(back.palette[p].green, cases[i].palette[p].green);
      EXPECT_EQ(back.palette[p].alpha, cases[i].palette[p].alpha);
    }
    EXPECT_EQ(back.transparent, cases[i].transparent);
  }
}

TEST(ImagePng, IndicesBeyondThePaletteShowBlack) {
  // Indices 0 1 2 3 in a file whose palette holds two colours.
  Raster four = raster(4, 1, Colour::palette, 2, std::string("\x1b", 1));
  four.palette = {{1, 1, 1, 255}, {2, 2, 2, 255}, {3, 3, 3, 255}, {4, 4, 4, 255}};
  std::string png = png_of(four);
  ASSERT_EQ(png.substr(37, 4), "PLTE");
  png.replace(33, 4 + 4 + 12 + 4, chunk("PLTE", std::string("\x01\x01\x01\x02\x02\x02", 6)));
  const auto bmp = image::to_bmp24_file(png);
  ASSERT_TRUE(bmp) << bmp.error();
  EXPECT_EQ(bmp->substr(54), std::string("\x01\x01\x01\x02\x02\x02\0\0\0\0\0\0", 12));
  const auto out = image::normalise_to_png(png);
  ASSERT_TRUE(out) << out.error();
  EXPECT_EQ(decoded(*out).palette.size(), 4U);
}

TEST(ImageJpeg, DecodesToRgbOrGray) {
  std::string blue;
  for (int i = 0; i < 16 * 8; ++i)
    blue += std::string("\x20\x40\xe0", 3);
  const auto png = image::normalise_to_png(jpeg_of(16, 8, 3, blue));
  ASSERT_TRUE(png) << png.error();
  EXPECT_EQ(png_colour_type(*png), 2);
  const Raster back = decoded(*png);
  ASSERT_EQ(back.pixels.size(), blue.size());
  for (std::size_t i = 0; i < blue.size(); ++i) {
    EXPECT_NEAR(static_cast<unsigned char>(back.pixels[i]), static_cast<unsigned char>(blue[i]), 3)
        << i;
  }

  const auto gray = image::normalise_to_png(jpeg_of(8, 8, 1, std::string(64, '\x80')));
  ASSERT_TRUE(gray) << gray.error();
  EXPECT_EQ(png_colour_type(*gray), 0);

  // CMYK as Adobe writes it (inverted: 255 is no ink): full magenta only.
  std::string cmyk;
  for (int i = 0; i < 64; ++i)
    cmyk += std::string("\xff\x00\xff\xff", 4);
  const auto rgb = image::normalise_to_png(jpeg_of(8, 8, 4, cmyk));
  ASSERT_TRUE(rgb) << rgb.error();
  EXPECT_EQ(png_colour_type(*rgb), 2);
  const Raster pink = decoded(*rgb);
  EXPECT_NEAR(static_cast<unsigned char>(pink.pixels[0]), 255, 3);
  EXPECT_NEAR(static_cast<unsigned char>(pink.pixels[1]), 0, 3);
  EXPECT_NEAR(static_cast<unsigned char>(pink.pixels[2]), 255, 3);

  // A file cut short is an error, not an image padded with gray.
  const std::string whole = jpeg_of(64, 64, 3, std::string(64 * 64 * 3, '\x55'));
  expect_error(image::normalise_to_png(whole.substr(0, whole.size() / 2)),
               "Premature end of JPEG file");
}

TEST(ImageBmp, TwentyFourBitOutputIsExact) {
  // 2 x 2 RGB: rows are padded from 6 to 8 bytes, stored bottom row first, as blue-green-red.
  const Raster source = raster(2, 2, Colour::rgb, 8,
                               std::string("\x01\x02\x03\x04\x05\x06"
                                           "\x07\x08\x09\x0a\x0b\x0c",
                                           12));
  const auto bmp = image::to_bmp24_file(png_of(source));
  ASSERT_TRUE(bmp) << bmp.error();
  const std::string expected =
      std::string("BM\x46\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00", 14) +
      std::string("\x28\x00\x00\x00\x02\x00\x00\x00\x02\x00\x00\x00"
                  "\x01\x00\x18\x00\x00\x00\x00\x00\x10\x00\x00\x00"
                  "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                  "\x00\x00\x00\x00",
                  40) +
      std::string("\x09\x08\x07\x0c\x0b\x0a\x00\x00"
                  "\x03\x02\x01\x06\x05\x04\x00\x00",
                  16);
  EXPECT_EQ(*bmp, expected);

  // Alpha is dropped; palette, packed gray and 16-bit samples come out as 8-bit colours.
  Raster palette = raster(2, 1, Colour::palette, 1, std::string("\x40", 1));
  palette.palette = {{10, 20, 30, 0}, {40, 50, 60, 255}};
  const std::pair<Raster, std::string> cases[] = {
      {raster(1, 1, Colour::rgba, 8, "\x11\x22\x33\x00"), std::string("\x33\x22\x11\x00", 4)},
      {palette, std::string("\x1e\x14\x0a\x3c\x32\x28\x00\x00", 8)},
      {raster(1, 1, Colour::gray, 2, "\x80"), std::string("\xaa\xaa\xaa\x00", 4)},
      {raster(1, 1, Colour::gray_alpha, 16, std::string("\xfe\x01\x00\x00", 4)),
       std::string("\xfe\xfe\xfe\x00", 4)},
  };
  for (const auto &[input, pixels] : cases) {
    const auto out = image::to_bmp24_file(png_of(input));
    ASSERT_TRUE(out) << out.error();
    EXPECT_EQ(out->substr(54), pixels);
  }
}

TEST(ImageBmp, TwentyFourAndThirtyTwoBitFilesDecode) {
  const Raster source = raster(3, 2, Colour::rgb, 8, "abcdefghijklmnopqr");
  const auto bmp24 = image::to_bmp24_file(png_of(source));
  ASSERT_TRUE(bmp24) << bmp24.error();
  const auto png24 = image::normalise_to_png(*bmp24);
  ASSERT_TRUE(png24) << png24.error();
  EXPECT_EQ(png_colour_type(*png24), 2);
  EXPECT_EQ(decoded(*png24).pixels, source.pixels);

  // 32-bit, top-down (negative height), blue-green-red-alpha.
  const auto bmp32 =
      image::dib_to_bmp_file(dib(2, -1, 32, 0, 0, "\x01\x02\x03\x80\x04\x05\x06\xff"));
  ASSERT_TRUE(bmp32) << bmp32.error();
  const auto png32 = image::normalise_to_png(*bmp32);
  ASSERT_TRUE(png32) << png32.error();
  EXPECT_EQ(png_colour_type(*png32), 6);
  EXPECT_EQ(decoded(*png32).pixels, "\x03\x02\x01\x80\x06\x05\x04\xff");
}

TEST(ImageDib, AddsTheFileHeaderWithThePixelOffset) {
  struct Case {
    std::string dib;
    std::uint32_t offset;
  };
  const std::string v5_header = [] {
    std::string header = dib(1, 1, 32, 3, 0, std::string(124 - 40, '\0'));
    put_u32_at(header, 0, 124);
    return header + std::string(4, '\0');
  }();
  const Case cases[] = {
      {dib(1, 1, 24, 0, 0, std::string(4, '\0')), 54},
      {dib(1, 1, 8, 0, 0, std::string(1024 + 4, '\0')), 54 + 1024},
      {dib(1, 1, 8, 0, 2, std::string(8 + 4, '\0')), 54 + 8}, // colours used wins
      {dib(1, 1, 1, 0, 0, std::string(8 + 4, '\0')), 54 + 8},
      {dib(1, 1, 32, 3, 0, std::string(12 + 4, '\0')), 54 + 12},
      {dib(1, 1, 32, 6, 0, std::string(16 + 4, '\0')), 54 + 16},
      {v5_header, 14 + 124}, // masks inside the larger header
  };
  for (const auto &[bitmap, offset] : cases) {
    const auto file = image::dib_to_bmp_file(bitmap);
    ASSERT_TRUE(file) << file.error();
    std::string header = "BM";
    put_u32(header, static_cast<std::uint32_t>(bitmap.size() + 14));
    put_u32(header, 0);
    put_u32(header, offset);
    EXPECT_EQ(*file, header + bitmap);
  }
}

TEST(ImageDib, RefusesBitmapsThatDoNotHoldTogether) {
  expect_error(image::dib_to_bmp_file(std::string(39, '\0')), "Unsupported clipboard bitmap");
  std::string short_header = dib(1, 1, 24, 0, 0, "1234");
  put_u32_at(short_header, 0, 39);
  expect_error(image::dib_to_bmp_file(short_header), "Unsupported clipboard bitmap header");
  std::string long_header = dib(1, 1, 24, 0, 0, "1234");
  put_u32_at(long_header, 0, 45);
  expect_error(image::dib_to_bmp_file(long_header), "Unsupported clipboard bitmap header");
  // Bit fields whose 12 mask bytes do not fit beside the palette.
  expect_error(image::dib_to_bmp_file(dib(1, 1, 32, 3, 1, std::string(4 + 4, '\0'))),
               "Malformed clipboard bitmap");
  expect_error(image::dib_to_bmp_file(dib(1, 1, 8, 0, 0, std::string(1000, '\0'))),
               "Malformed clipboard bitmap");
  // A palette as long as the data is allowed (no pixel bytes: decoding then refuses it).
  EXPECT_TRUE(image::dib_to_bmp_file(dib(1, 1, 8, 0, 0, std::string(1024, '\0'))));
  // Colours used near 2^32 must not wrap around.
  expect_error(image::dib_to_bmp_file(dib(1, 1, 8, 0, 0x40000000, std::string(8, '\0'))),
               "Malformed clipboard bitmap");
}

TEST(ImageLimits, InputAndOutputAreCapped) {
  const std::string too_big =
      std::string("\x89PNG\r\n\x1a\n", 8) + std::string(image::kMaxImageBytes - 7, '\0');
  expect_error(image::normalise_to_png(too_big), "Image exceeds 20 MiB");
  expect_error(image::to_bmp24_file(too_big), "Image exceeds 20 MiB");

  // Noise does not compress: a 24-bit BMP just under 20 MiB makes a PNG just over it.
  std::string noise(2048 * 3413 * 3, '\0');
  std::mt19937 random(12);
  for (char &byte : noise)
    byte = static_cast<char>(random());
  const auto bmp = image::dib_to_bmp_file(dib(2048, 3413, 24, 0, 0, noise));
  ASSERT_TRUE(bmp) << bmp.error();
  ASSERT_LE(bmp->size(), image::kMaxImageBytes);
  expect_error(image::normalise_to_png(*bmp), "PNG exceeds 20 MiB");
}

TEST(ImageLimits, HostileInputIsAnErrorBeforeAnyLargeAllocation) {
  const std::string png = png_of(raster(4, 4, Colour::rgb, 8, std::string(48, '\x7f')));
  expect_error(image::normalise_to_png(with_ihdr_u32(png, 16, 0)), "Invalid IHDR data");
  expect_error(image::normalise_to_png(with_ihdr_u32(with_ihdr_u32(png, 16, 100000), 20, 100000)),
               "Decoded image exceeds 512 MiB");
  expect_error(image::normalise_to_png(png.substr(0, png.size() - 20)), "PNG data is truncated");
  expect_error(image::normalise_to_png(png.substr(0, 20)), "PNG data is truncated");

  // A JPEG whose frame header claims 65000 x 65000.
  std::string jpeg = jpeg_of(8, 8, 3, std::string(192, '\x10'));
  const std::size_t frame = jpeg.find("\xff\xc0");
  ASSERT_NE(frame, std::string::npos);
  jpeg.replace(frame + 5, 4, "\xfd\xe8\xfd\xe8");
  expect_error(image::normalise_to_png(jpeg), "Decoded image exceeds 512 MiB");
  jpeg.replace(frame + 5, 4, std::string("\x00\x08\x00\x00", 4));
  EXPECT_FALSE(image::normalise_to_png(jpeg));

  const auto bmp = *image::to_bmp24_file(png);
  std::string huge = bmp;
  put_u32_at(huge, 18, 100000);
  put_u32_at(huge, 22, 100000);
  expect_error(image::normalise_to_png(huge), "Decoded image exceeds 512 MiB");
  std::string zero_width = bmp;
  put_u32_at(zero_width, 18, 0);
  expect_error(image::to_bmp24_file(zero_width), "Image has no pixels (zero width or height)");
  expect_error(image::normalise_to_png(bmp.substr(0, bmp.size() - 1)), "BMP data is truncated");

  // 8-bit rows with a two-colour palette, one pixel using colour 200.
  std::string indexed = *image::dib_to_bmp_file(
      dib(2, 1, 8, 0, 2, std::string("\0\0\0\0\xff\xff\xff\0\x01\xc8\0\0", 12)));
  expect_error(image::normalise_to_png(indexed), "BMP pixel refers to a colour beyond its palette");
  indexed[55 + 8] = '\x00';
  EXPECT_TRUE(image::normalise_to_png(indexed));
  std::string bad_offset = bmp;
  put_u32_at(bad_offset, 10, 20);
  expect_error(image::normalise_to_png(bad_offset), "BMP pixel data offset is invalid");
  // stb takes a negative compression for none: the rows must still be in the file.
  std::string odd_compression = bmp;
  put_u32_at(odd_compression, 30, 0xFFFF0000);
  put_u32_at(odd_compression, 22, 100);
  expect_error(image::normalise_to_png(odd_compression), "BMP data is truncated");

  expect_error(image::normalise_to_png("GIF89a"), "Image format is not PNG, JPEG or BMP");
  expect_error(image::to_bmp24_file(""), "Image format is not PNG, JPEG or BMP");
}

TEST(ImageLimits, TwentyFourBitOutputOfAPackedImageIsCapped) {
  // 1 bit per pixel fits the decoding cap, 24 bits per pixel would not.
  const Raster mono = raster(14000, 13000, Colour::gray, 1, std::string(14000 / 8 * 13000, '\0'));
  const auto png = image::encode_png(mono, image::kMaxImageBytes);
  ASSERT_TRUE(png) << png.error();
  expect_error(image::to_bmp24_file(*png), "Decoded image exceeds 512 MiB");
}

// libFuzzer target for the image conversions. Any input must convert or fail without a crash,
// a leak or an allocation beyond the decoding cap; the same bytes are also tried as a
// clipboard bitmap. What the conversions produce must read back: a PNG normalises to itself,
// and a 24-bit BMP decodes.
#include "image/image.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

[[noreturn]] void fault(const char *what, const std::string &detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  namespace image = vft::image;
  const std::string_view input(reinterpret_cast<const char *>(data), size);

  if (const auto png = image::normalise_to_png(input)) {
    const auto again = image::normalise_to_png(*png);
    if (!again) fault("own PNG does not decode", again.error());
    if (*again != *png) fault("PNG not stable", "normalising it again changed it");
  }

  if (const auto bmp = image::to_bmp24_file(input); bmp && bmp->size() <= image::kMaxImageBytes) {
    if (const auto png = image::normalise_to_png(*bmp);
        !png && png.error() != image::kPngTooLarge) {
      fault("own BMP does not decode", png.error());
    }
  }

  if (const auto bmp = image::dib_to_bmp_file(input)) (void)image::normalise_to_png(*bmp);
  return 0;
}

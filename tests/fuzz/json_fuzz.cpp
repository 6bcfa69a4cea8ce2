// Feeds arbitrary bytes to the program's JSON reader and nlohmann's: both must accept the
// same texts with the same trees and refuse the rest with the same message, and what was
// read must be written the same by both writers; and a text taken as written by our writer
// must be exactly that.
#include "../json_differential.hpp"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  std::string differs = vft::testing::readers_differ(text);
  if (differs.empty()) differs = vft::testing::pretty_check_wrong(text);
  if (!differs.empty()) {
    std::fprintf(stderr, "%s\n", differs.c_str());
    std::abort();
  }
  return 0;
}

// Whole-file reads and block-wise fingerprints, the same on both platforms over the file each
// opens for reading.
#include "platform/reading_file.hpp"

#include <vector>

namespace vft::platform {

Result<WholeFile> read_file_unless_known(const std::string &path, std::uint64_t max_bytes,
                                         std::optional<std::string_view> known) {
  VFT_TRY(auto opened, ReadingFile::open(path));
  ReadingFile &file = opened;
  const auto read_some = [&file](char *buffer, std::size_t size) {
    return file.read_some(buffer, size);
  };
  return read_whole(read_some, file.size(), max_bytes, known);
}

Result<std::optional<std::string>> sha256_of_file(const std::string &path,
                                                  std::uint64_t max_bytes) {
  VFT_TRY(auto opened, ReadingFile::open(path));
  ReadingFile &file = opened;
  if (file.size() > max_bytes) return std::optional<std::string>();
  std::vector<char> block(std::size_t{1} << 20);
  std::uint64_t total = 0;
  Sha256 hash;
  for (;;) {
    VFT_TRY(auto n, file.read_some(block.data(), block.size()));
    if (n == 0) return std::optional<std::string>(hash.finish());
    total += n;
    // It grew past the limit: the rest is not read.
    if (total > max_bytes) return std::optional<std::string>();
    hash.add(std::string_view(block.data(), n));
  }
}

} // namespace vft::platform

// The file reads both platforms share (file_reads.cpp), over what each platform provides: a
// file opened for reading. Only the platforms' own files, file_reads.cpp and tests include it.
#pragma once

#include "platform/platform.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace vft::platform {

// A regular file opened for reading, never anything that could keep a call (and its lock)
// waiting for input; closed when the object goes. Each platform defines open, read_some and
// the destructor.
class ReadingFile {
public:
  // Failures carry the system's text.
  static Result<ReadingFile> open(const std::string &path);
  ReadingFile(ReadingFile &&other) noexcept : handle_(other.handle_), size_(other.size_) {
    other.handle_ = -1;
  }
  ReadingFile(const ReadingFile &) = delete;
  ReadingFile &operator=(const ReadingFile &) = delete;
  ReadingFile &operator=(ReadingFile &&) = delete;
  ~ReadingFile();

  // The file's size when it was opened; it may have changed since.
  std::uint64_t size() const { return size_; }
  // The number of bytes read into buffer, 0 at the end.
  Result<std::size_t> read_some(char *buffer, std::size_t size);

private:
  ReadingFile(std::intptr_t handle, std::uint64_t size) : handle_(handle), size_(size) {}

  std::intptr_t handle_; // the descriptor or HANDLE; -1 for none
  std::uint64_t size_;
};

// read_some(buffer, size) gives the number of bytes read, 0 at the end. size_hint is the
// file's size when opened; the file may have changed since, which the loop sees. With known
// of that size, the file is compared with it a block at a time, without a copy of the whole.
template <typename ReadSome>
Result<WholeFile> read_whole(ReadSome read_some, std::uint64_t size_hint, std::uint64_t max_bytes,
                             std::optional<std::string_view> known) {
  if (size_hint > max_bytes) return WholeFile{};
  std::string data;
  if (known && known->size() == size_hint) {
    constexpr std::size_t kBlock = 65536;
    char block[kBlock];
    std::size_t compared = 0;
    for (;;) {
      VFT_TRY(auto n, read_some(block, kBlock));
      if (n == 0) {
        if (compared == known->size()) return WholeFile{std::nullopt, true};
        // It ended early: its bytes are the part compared.
        return WholeFile{std::string(known->substr(0, compared))};
      }
      if (compared + n > known->size() || std::memcmp(block, known->data() + compared, n) != 0) {
        // Different: the bytes are the part found equal, this block and what follows.
        data.reserve(std::max<std::size_t>(known->size(), compared + n) + 1);
        data.assign(known->data(), compared);
        data.append(block, n);
        break;
      }
      compared += n;
    }
  }
  std::size_t filled = data.size();
  // Read straight into the result, sized for the file and one byte more, so that a file
  // that has grown since it was opened shows at once. The room beyond lets a store's save
  // write its next, slightly longer text into the same memory.
  const std::size_t expected = std::max<std::size_t>(data.size(), size_hint);
  data.reserve(expected + 65536);
  data.resize(expected + 1);
  for (;;) {
    if (filled == data.size()) {
      if (data.size() > max_bytes) return WholeFile{};
      data.resize(data.size() + std::min<std::size_t>(data.size(), 1U << 24));
    }
    VFT_TRY(auto n, read_some(data.data() + filled, data.size() - filled));
    if (n == 0) break;
    filled += n;
  }
  // The file may grow while we read it; the limit holds for what we return.
  if (filled > max_bytes) return WholeFile{};
  data.resize(filled);
  return WholeFile{std::move(data)};
}

} // namespace vft::platform

// The read loops shared by both platforms' file reads, given a way to read the next bytes of
// an open file. Only the platforms' own files include it.
#pragma once

#include "platform/platform.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vft::platform {

// read_some(buffer, size) gives the number of bytes read, 0 at the end. size_hint is the
// file's size when opened; the file may have changed since, which the loop sees. With known
// of that size, the file is compared with it a block at a time, without a copy of the whole.
template <typename ReadSome>
Result<WholeFile> read_whole(ReadSome read_some, std::uint64_t size_hint, std::uint64_t max_bytes,
                             std::optional<std::string_view> known) {
  std::string data;
  if (known && known->size() == size_hint) {
    constexpr std::size_t kBlock = 65536;
    char block[kBlock];
    std::size_t compared = 0;
    for (;;) {
      auto n = read_some(block, kBlock);
      if (!n) return fail(n.error());
      if (n.value() == 0) {
        if (compared == known->size()) return WholeFile{std::nullopt, true};
        // It ended early: its bytes are the part compared.
        return WholeFile{std::string(known->substr(0, compared))};
      }
      if (compared + n.value() > known->size() ||
          std::memcmp(block, known->data() + compared, n.value()) != 0) {
        // Different: the bytes are the part found equal, this block and what follows.
        data.reserve(std::max<std::size_t>(known->size(), compared + n.value()) + 1);
        data.assign(known->data(), compared);
        data.append(block, n.value());
        break;
      }
      compared += n.value();
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
    auto n = read_some(data.data() + filled, data.size() - filled);
    if (!n) return fail(n.error());
    if (n.value() == 0) break;
    filled += n.value();
  }
  // The file may grow while we read it; the limit holds for what we return.
  if (filled > max_bytes) return WholeFile{};
  data.resize(filled);
  return WholeFile{std::move(data)};
}

// The SHA-256 of the file's bytes, read a block at a time; none when there are more than
// max_bytes (the rest is not read).
template <typename ReadSome>
Result<std::optional<std::string>> sha256_blocks(ReadSome read_some, std::uint64_t max_bytes) {
  std::vector<char> block(std::size_t{1} << 20);
  std::uint64_t total = 0;
  Sha256 hash;
  for (;;) {
    auto n = read_some(block.data(), block.size());
    if (!n) return fail(n.error());
    if (n.value() == 0) return std::optional<std::string>(hash.finish());
    total += n.value();
    if (total > max_bytes) return std::optional<std::string>();
    hash.add(std::string_view(block.data(), n.value()));
  }
}

} // namespace vft::platform

// Files the user names by path: read once, in place, never changed; and their fingerprints.
#pragma once

#include "result.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vft::store {

inline constexpr const char *kChooseAbsolutePath = "Choose an absolute local file path";
inline constexpr const char *kChooseRegularFile = "Choose a regular file no larger than 20 MiB";
inline constexpr std::uint64_t kMaxSelectedFile = 20'971'520;

struct SelectedFile {
  std::string path;  // canonical form
  std::string bytes; // the whole contents
};

Result<SelectedFile> read_selected_file(std::string_view path);

// The extension of a path's file name as written (after its last dot); none when the name
// has no dot or only a leading one.
std::optional<std::string_view> file_extension(std::string_view path);

// SHA-256 as 64 lowercase hexadecimal digits.
std::string fingerprint(std::string_view bytes);

// The same of a file's bytes, read a block at a time (a file may be far larger than what we
// would hold in memory); none when it holds more than max_bytes.
Result<std::optional<std::string>> fingerprint_file(const std::string &path,
                                                    std::uint64_t max_bytes);

} // namespace vft::store

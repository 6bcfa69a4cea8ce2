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

// A path the system opens as named: absolute, without a NUL (the system reads a path only up
// to one, and would open another file than the one named).
bool is_whole_absolute_path(std::string_view path);

// What a path the user selects must be, each worded by the caller.
struct SelectionMessages {
  const char *not_absolute; // not a whole absolute path
  const char *not_regular;  // not a regular file of at most the size allowed
};

// The checks of every file the user selects: a whole absolute path, naming (after links) a
// regular file of at most max_bytes. Returns its canonical path; the system's own error text
// where it cannot tell.
Result<std::string> check_selected_file(std::string_view path, std::uint64_t max_bytes,
                                        const SelectionMessages &messages);

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

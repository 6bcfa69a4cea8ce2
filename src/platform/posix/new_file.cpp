// Files created new, on Linux.
#include "platform/platform.hpp"
#include "platform/posix/posix.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace vft::platform {

Result<NewFile> NewFile::write(const std::string &path, std::string_view bytes, bool durable_name) {
  const auto failed = [](int code) { return fail(std::strerror(code)); };
  // O_EXCL also refuses a link at the path, even one that leads nowhere.
  posix::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) return failed(errno);
  // Until its identity is known the name is ours alone: it is empty and was created an
  // instant ago, so removing by name is the lesser evil.
  NewFile file(path);
  struct stat ours {};
  if (::fstat(fd.get(), &ours) != 0) return failed(errno);
  file.identity_ = FileIdentity{static_cast<std::uint64_t>(ours.st_dev),
                                static_cast<std::uint64_t>(ours.st_ino), 1};
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return failed(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd.get()) != 0) return failed(errno);
  if (::close(fd.release()) != 0) return failed(errno);
  // The new name survives a power loss only once its folder is flushed; until then the work
  // is not done, and a copy we cannot vouch for is taken away again.
  if (durable_name) VFT_TRY_VOID(posix::flush_folder(parent_path(path).value_or(".")));
  return file;
}

void remove_tree_quietly(const std::string &path) {
  std::error_code ignored;
  // Links are removed, never followed.
  std::filesystem::remove_all(path, ignored);
}

} // namespace vft::platform

// Files created new at paths the user names, on Linux.
#include "platform/platform.hpp"
#include "platform/posix/posix.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vft::platform {

namespace {

Failure error_text(int code) { return fail(std::strerror(code)); }

// Removes the file we created at path, but only while the name still leads to it: if
// someone put another file there meanwhile, that one is theirs.
void remove_if_ours(const std::string &path, const struct stat &ours) {
  struct stat now {};
  if (::lstat(path.c_str(), &now) == 0 && now.st_dev == ours.st_dev && now.st_ino == ours.st_ino) {
    (void)::unlink(path.c_str());
  }
}

} // namespace

Result<void> create_new_file(const std::string &path, std::string_view bytes) {
  // O_EXCL also refuses a link at the path, even one that leads nowhere.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return error_text(errno);
  struct stat ours {};
  if (::fstat(fd, &ours) != 0) {
    const int code = errno;
    // Without its identity we cannot tell it from a stranger's file later; it is empty and
    // was created an instant ago, so removing it by name is the lesser evil.
    ::close(fd);
    (void)::unlink(path.c_str());
    return error_text(code);
  }
  int code = 0;
  while (!bytes.empty() && code == 0) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno != EINTR) code = errno;
      continue;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (code == 0 && ::fsync(fd) != 0) code = errno;
  if (::close(fd) != 0 && code == 0) code = errno;
  // The new name survives a power loss only once its folder is flushed; until then the
  // export is not done, and a copy we cannot vouch for is taken away again.
  if (code == 0) {
    if (auto flushed = posix::flush_folder(parent_path(path).value_or(".")); !flushed) {
      remove_if_ours(path, ours);
      return flushed;
    }
  }
  if (code != 0) {
    remove_if_ours(path, ours);
    return error_text(code);
  }
  return {};
}

} // namespace vft::platform

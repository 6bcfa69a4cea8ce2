// File and folder services on Linux (Windows: windows/files.cpp).
#include "platform/platform.hpp"
#include "platform/posix/posix.hpp"
#include "platform/reading_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vft::platform {

namespace {

using posix::Fd;
using posix::flush_folder;

Failure system_error(int code) { return fail(std::strerror(code)); }
Failure last_error() { return system_error(errno); }

std::string folder_of(const std::string &path) { return parent_path(path).value_or("."); }

} // namespace

Result<void> posix::flush_folder(const std::string &folder) {
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return last_error();
  if (::fsync(dir.get()) != 0) return last_error();
  return {};
}

Result<void> create_directories(const std::string &path) {
  if (path.empty()) return system_error(ENOENT);
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    return system_error(ENOTDIR);
  }
  if (errno != ENOENT) return last_error();
  if (auto parent = parent_path(path); parent && *parent != path) {
    if (auto made = create_directories(*parent); !made) return made;
  }
  if (::mkdir(path.c_str(), 0700) != 0) {
    if (errno == EEXIST) return {}; // another process made it meanwhile
    return last_error();
  }
  return flush_folder(folder_of(path));
}

Result<std::vector<std::string>> folder_entries(const std::string &path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return last_error();
  DIR *dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int code = errno;
    ::close(fd);
    return system_error(code);
  }
  std::unique_ptr<DIR, int (*)(DIR *)> closer(dir, &::closedir);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent *entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) return last_error();
      break;
    }
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") names.emplace_back(name);
  }
  return names;
}

Result<Existence> file_existence(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return Existence::present;
  if (errno == ENOENT) return Existence::missing;
  return last_error();
}

// Non-blocking open: a FIFO swapped in for the file must not hang the call (and its lock).
Result<ReadingFile> ReadingFile::open(const std::string &path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return last_error();
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return last_error();
  if (S_ISDIR(st.st_mode)) return system_error(EISDIR);
  if (!S_ISREG(st.st_mode)) return system_error(EINVAL);
  return ReadingFile(fd.release(), static_cast<std::uint64_t>(st.st_size));
}

ReadingFile::~ReadingFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

Result<std::size_t> ReadingFile::read_some(char *buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_error();
  }
}

Result<void> replace_file(const std::string &from, const std::string &to,
                          const std::string &spare) {
  // The previous content stays reachable under spare until the new name is durable, so that
  // a failure can give it back.
  const bool kept = ::link(to.c_str(), spare.c_str()) == 0;
  const bool had_none = !kept && errno == ENOENT;
  if (::rename(from.c_str(), to.c_str()) != 0) {
    const int code = errno;
    if (kept) (void)::unlink(spare.c_str());
    return system_error(code);
  }
  // Until the folder is flushed the new name may not survive a power loss: not yet a
  // success, as with the write-through rename on Windows.
  auto flushed = flush_folder(folder_of(to));
  if (!flushed) {
    // Where links are refused the previous content is gone already; the new stays.
    if (kept) {
      (void)::rename(spare.c_str(), to.c_str());
    } else if (had_none) {
      (void)::unlink(to.c_str());
    }
    return flushed;
  }
  if (kept) (void)::unlink(spare.c_str());
  return {};
}

void remove_file_quietly(const std::string &path) { (void)::unlink(path.c_str()); }
void remove_leftover_quietly(const std::string &path) { remove_tree_quietly(path); }

FileLock &FileLock::operator=(FileLock &&other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

Result<std::optional<FileLock>> try_lock_file(const std::string &path) {
  constexpr int kFlags = O_RDWR | O_CLOEXEC | O_NOCTTY;
  int opened = ::open(path.c_str(), kFlags);
  if (opened < 0 && errno == ENOENT) {
    // O_EXCL never follows a link: a link at the path that leads nowhere is not followed
    // into creating a file somewhere else.
    opened = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0600);
    // Someone else created it just now (or that dangling link is there): open what is there.
    if (opened < 0 && errno == EEXIST) opened = ::open(path.c_str(), kFlags);
  }
  Fd fd(opened);
  if (fd.get() < 0) return last_error();
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) return std::optional<FileLock>();
    return last_error();
  }
  // A lock on a file that is no longer at the path excludes nobody: whoever opens the path
  // now gets another file. Held only while the path still leads to the locked file.
  struct stat held {};
  struct stat named {};
  if (::fstat(fd.get(), &held) != 0) return last_error();
  if (::stat(path.c_str(), &named) != 0) {
    if (errno == ENOENT) return std::optional<FileLock>();
    return last_error();
  }
  if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return std::optional<FileLock>();
  return std::optional<FileLock>(FileLock(fd.release()));
}

Result<std::string> canonical_path(const std::string &path) {
  char *resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return last_error();
  std::string out(resolved);
  std::free(resolved);
  return out;
}

Result<FileInfo> file_info(const std::string &path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return last_error();
  FileInfo info;
  info.regular = S_ISREG(st.st_mode);
  info.directory = S_ISDIR(st.st_mode);
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.modified_nanos =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return info;
}

Result<void> hard_link(const std::string &existing, const std::string &new_name) {
  if (::link(existing.c_str(), new_name.c_str()) != 0) return last_error();
  return {};
}

} // namespace vft::platform

// A library the black-box tests preload (LD_PRELOAD, Linux only) to make one file-system call
// of the program fail. Only calls on paths below VFT_FAULT_ROOT count, so the program's
// own libraries, standard streams and configuration reads never do.
//
//   VFT_FAULT_ROOT   path prefix of the files that count
//   VFT_FAULT_CALL   open, write, short (a write cut to half), fsync, rename, link, close,
//                    unlink, or flock (a granted lock whose file is then deleted, as another
//                    process might do); empty: fail nothing, only log
//   VFT_FAULT_AT     fail the Nth counted call of that kind (1 is the first)
//   VFT_FAULT_ERRNO  the error number the failed call reports
//   VFT_FAULT_KILL   when 1, the chosen call kills the process (SIGKILL) instead of failing
//   VFT_FAULT_LOG    file to which every counted call is appended as "CALL PATH [PATH2]",
//                    the injected one as "FAIL CALL PATH"
//
// A preloaded library has no owner to hand state to: its counters are process globals.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxFd = 1024;
constexpr std::size_t kMaxPath = 1024;

char g_paths[kMaxFd][kMaxPath]; // the path each counted descriptor was opened with
int g_counts[16];

template <typename F> F real(const char *name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

const char *env(const char *name) {
  const char *value = std::getenv(name);
  return value == nullptr ? "" : value;
}

bool counted_path(const char *path) {
  const char *root = env("VFT_FAULT_ROOT");
  return path != nullptr && *root != '\0' && std::strncmp(path, root, std::strlen(root)) == 0;
}

const char *fd_path(int fd) {
  if (fd < 0 || fd >= kMaxFd || g_paths[fd][0] == '\0') return nullptr;
  return g_paths[fd];
}

void log_line(const char *what, const char *call, const char *path, const char *second) {
  const char *log = env("VFT_FAULT_LOG");
  if (*log == '\0') return;
  char line[3 * kMaxPath];
  const int n = std::snprintf(line, sizeof line, "%s%s %s%s%s\n", what, call, path,
                              second ? " " : "", second ? second : "");
  if (n <= 0) return;
  static auto real_open = real<int (*)(const char *, int, ...)>("open");
  static auto real_write = real<ssize_t (*)(int, const void *, size_t)>("write");
  static auto real_close = real<int (*)(int)>("close");
  const int fd = real_open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  (void)real_write(fd, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
  real_close(fd);
}

int kind_index(const char *call) {
  static const char *const kinds[] = {"open", "write", "short",  "fsync", "rename",
                                      "link", "close", "unlink", "flock"};
  for (int i = 0; i < 9; ++i) {
    if (std::strcmp(kinds[i], call) == 0) return i;
  }
  return 15;
}

// Counts a call of this kind on a counted path; true when it is the one to fail.
bool should_fail(const char *call, const char *path, const char *second = nullptr) {
  if (path == nullptr) return false;
  const int count = ++g_counts[kind_index(call)];
  const bool fail = std::strcmp(env("VFT_FAULT_CALL"), call) == 0 &&
                    count == std::atoi(env("VFT_FAULT_AT"));
  log_line(fail ? "FAIL " : "", call, path, second);
  if (fail && std::strcmp(env("VFT_FAULT_KILL"), "1") == 0) ::kill(::getpid(), SIGKILL);
  return fail;
}

int fault_errno() { return std::atoi(env("VFT_FAULT_ERRNO")); }

void remember(int fd, const char *path) {
  if (fd >= 0 && fd < kMaxFd) {
    std::snprintf(g_paths[fd], kMaxPath, "%s", counted_path(path) ? path : "");
  }
}

int open_common(const char *name, int dirfd, const char *path, int flags, mode_t mode) {
  if (counted_path(path) && should_fail("open", path)) {
    errno = fault_errno();
    return -1;
  }
  int fd;
  if (dirfd == AT_FDCWD && std::strcmp(name, "openat") != 0) {
    fd = real<int (*)(const char *, int, ...)>(name)(path, flags, mode);
  } else {
    fd = real<int (*)(int, const char *, int, ...)>("openat")(dirfd, path, flags, mode);
  }
  remember(fd, path);
  return fd;
}

mode_t mode_of(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_common("open", AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_common("open64", AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = mode_of(flags, args);
  va_end(args);
  return open_common("openat", dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags) { return open_common("open", AT_FDCWD, path, flags, 0); }
int __open64_2(const char *path, int flags) {
  return open_common("open64", AT_FDCWD, path, flags, 0);
}

ssize_t write(int fd, const void *data, size_t size) {
  static auto real_write = real<ssize_t (*)(int, const void *, size_t)>("write");
  const char *path = fd_path(fd);
  if (path != nullptr && std::strcmp(env("VFT_FAULT_CALL"), "short") == 0 && size > 1 &&
      should_fail("short", path)) {
    return real_write(fd, data, size / 2);
  }
  if (should_fail("write", path)) {
    errno = fault_errno();
    return -1;
  }
  return real_write(fd, data, size);
}

int fsync(int fd) {
  if (should_fail("fsync", fd_path(fd))) {
    errno = fault_errno();
    return -1;
  }
  return real<int (*)(int)>("fsync")(fd);
}

int close(int fd) {
  const char *path = fd_path(fd);
  const bool fail = should_fail("close", path);
  if (fd >= 0 && fd < kMaxFd) g_paths[fd][0] = '\0';
  // Like Linux itself, a failed close still releases the descriptor.
  const int done = real<int (*)(int)>("close")(fd);
  if (fail) {
    errno = fault_errno();
    return -1;
  }
  return done;
}

int rename(const char *from, const char *to) {
  if (counted_path(from) && should_fail("rename", from, to)) {
    errno = fault_errno();
    return -1;
  }
  return real<int (*)(const char *, const char *)>("rename")(from, to);
}

int renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags) {
  if (counted_path(from) && should_fail("rename", from, to)) {
    errno = fault_errno();
    return -1;
  }
  return real<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(
      from_dir, from, to_dir, to, flags);
}

int link(const char *from, const char *to) {
  if (counted_path(from) && should_fail("link", from, to)) {
    errno = fault_errno();
    return -1;
  }
  return real<int (*)(const char *, const char *)>("link")(from, to);
}

int flock(int fd, int operation) {
  const int done = real<int (*)(int, int)>("flock")(fd, operation);
  const char *path = fd_path(fd);
  if (done == 0 && (operation & LOCK_EX) != 0 && should_fail("flock", path)) {
    (void)real<int (*)(const char *)>("unlink")(path);
  }
  return done;
}

int unlink(const char *path) {
  if (counted_path(path) && should_fail("unlink", path)) {
    errno = fault_errno();
    return -1;
  }
  return real<int (*)(const char *)>("unlink")(path);
}

} // extern "C"

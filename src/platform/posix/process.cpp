// Child processes, the executable's folder and empty files on Linux.
#include "platform/platform.hpp"
#include "platform/posix/posix.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace vft::platform {

namespace {

Failure system_error(int code) { return fail(std::strerror(code)); }

int prepare(posix::SpawnSetup &setup, const std::string &stderr_path) {
  if (int e = posix_spawn_file_actions_init(&setup.actions); e != 0) return e;
  setup.actions_ready = true;
  // The child opens its own standard streams, so no descriptor of ours is handed over, and
  // everything above them is closed whatever its close-on-exec flag says.
  if (int e = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0)) {
    return e;
  }
  if (int e = posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0)) {
    return e;
  }
  if (int e = posix_spawn_file_actions_addopen(&setup.actions, 2, stderr_path.c_str(),
                                               O_WRONLY | O_APPEND, 0)) {
    return e;
  }
  if (int e = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3)) return e;

  if (int e = posix_spawnattr_init(&setup.attributes); e != 0) return e;
  setup.attributes_ready = true;
  // A group of its own lets a time-out end whatever the program started as well; the
  // signal dispositions and mask we changed for ourselves are not passed on.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t empty;
  sigemptyset(&empty);
  if (int e = posix_spawnattr_setsigdefault(&setup.attributes, &defaults)) return e;
  if (int e = posix_spawnattr_setsigmask(&setup.attributes, &empty)) return e;
  if (int e = posix_spawnattr_setpgroup(&setup.attributes, 0)) return e;
  return posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                         POSIX_SPAWN_SETSIGMASK);
}

} // namespace

Result<void> create_empty_file(const std::string &path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return system_error(errno);
  ::close(fd);
  return {};
}

Result<void> append_to_file(const std::string &path, std::string_view bytes) {
  posix::Fd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return system_error(errno);
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return system_error(n < 0 ? errno : EIO);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::close(fd.release()) != 0) return system_error(errno);
  return {};
}

Result<FileIdentity> regular_file_identity(const std::string &path) {
  // Non-blocking: a FIFO put there must not hold the call.
  posix::Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return system_error(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return system_error(errno);
  if (!S_ISREG(st.st_mode)) return system_error(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      static_cast<std::uint64_t>(st.st_nlink)};
}

bool process_running(std::uint64_t id) {
  if (id == 0 || id > static_cast<std::uint64_t>(INT32_MAX)) return false;
  return ::kill(static_cast<pid_t>(id), 0) == 0 || errno == EPERM;
}

Result<std::string> executable_folder() {
  std::string buffer(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n < 0) return system_error(errno);
  if (static_cast<std::size_t>(n) == buffer.size()) return system_error(ENAMETOOLONG);
  buffer.resize(static_cast<std::size_t>(n));
  auto folder = parent_path(buffer);
  if (!folder) return system_error(ENOENT);
  return *folder;
}

void ChildProcess::release() {
  if (process_ > 0) kill();
}

Result<std::optional<int>> ChildProcess::poll_exit() {
  if (process_ <= 0) return system_error(ECHILD);
  int status = 0;
  pid_t done = 0;
  do {
    done = ::waitpid(static_cast<pid_t>(process_), &status, WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done < 0) return system_error(errno);
  if (done == 0) return std::optional<int>();
  process_ = -1; // reaped: the id may now belong to someone else
  if (WIFEXITED(status)) return std::optional<int>(WEXITSTATUS(status));
  return std::optional<int>(128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0));
}

void ChildProcess::kill() {
  if (process_ <= 0) return;
  // Until it is reaped, the child's id (and so its group's) cannot be reused.
  if (group_ > 0) (void)::kill(-static_cast<pid_t>(group_), SIGKILL);
  (void)::kill(static_cast<pid_t>(process_), SIGKILL);
  int status = 0;
  while (::waitpid(static_cast<pid_t>(process_), &status, 0) < 0 && errno == EINTR) {
  }
  process_ = -1;
}

Result<ChildProcess> start_child(const std::string &program, const std::vector<std::string> &args,
                                 const std::string &stderr_path) {
  posix::SpawnSetup setup;
  if (int e = prepare(setup, stderr_path); e != 0) return system_error(e);
  std::vector<char *> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  // glibc reports a failed exec (a missing program, say) here, not as an exit status.
  if (int e = ::posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(),
                             environ);
      e != 0) {
    return system_error(e);
  }
  return ChildProcess(pid, pid);
}

} // namespace vft::platform

// Child processes, the executable's folder and empty files on Linux.
#include "platform/platform.hpp"
#include "platform/posix/posix.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace vft::platform {

namespace {

Failure system_error(int code) { return fail(std::strerror(code)); }

// Where the system's shell would look for a program: the name itself when it has a folder,
// else each folder of PATH (an empty entry is the current folder; no PATH, the default).
std::vector<std::string> program_candidates(const std::string &program) {
  if (program.find('/') != std::string::npos) return {program};
  const char *path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/bin:/usr/bin";
  std::vector<std::string> candidates;
  for (;;) {
    const auto colon = folders.find(':');
    const std::string_view folder = folders.substr(0, colon);
    candidates.push_back((folder.empty() ? std::string(".") : std::string(folder)) + "/" + program);
    if (colon == std::string_view::npos) return candidates;
    folders.remove_prefix(colon + 1);
  }
}

// The child's side between fork and exec: only async-signal-safe calls. It gets a group of
// its own, so that ending it ends whatever it started too; it dies with the thread that
// started it, even by SIGKILL; and it takes back the signal settings we changed for ourselves.
[[noreturn]] void become_child(pid_t parent, const std::vector<char *> &paths, char **argv, int in,
                               int out, int err, int report) {
  (void)::setpgid(0, 0);
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
    // The parent went before the death signal was set: nobody would ever end this child.
    ::_exit(127);
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  (void)::sigaction(SIGPIPE, &fallback, nullptr);
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
  int code = 0;
  if (::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) code = errno;
  // Nothing of ours is handed over, whatever its close-on-exec flag says; the report pipe
  // closes itself at exec.
  if (code == 0 && report > 3) (void)::close_range(3, static_cast<unsigned>(report) - 1, 0);
  if (code == 0) (void)::close_range(static_cast<unsigned>(report) + 1, ~0U, 0);
  for (char *path : paths) {
    if (code != 0) break;
    ::execve(path, argv, environ);
    // Like the shell: a program found but refused is reported over one merely missing.
    if (errno != ENOENT && errno != ENOTDIR) code = errno;
  }
  if (code == 0) code = ENOENT;
  (void)!::write(report, &code, sizeof code);
  ::_exit(127);
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

namespace {

// Starts the program with standard input on the null device and the given output and error
// descriptors (the caller keeps and closes them).
Result<ChildProcess> spawn(const std::string &program, const std::vector<std::string> &args,
                           int out, int err) {
  // Everything the child needs is made here: after fork it may not allocate.
  std::vector<std::string> candidates = program_candidates(program);
  std::vector<char *> paths;
  for (std::string &candidate : candidates)
    paths.push_back(candidate.data());
  std::vector<char *> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);

  const posix::Fd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return system_error(errno);
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) return system_error(errno);
  const posix::Fd report_read(ends[0]);
  posix::Fd report_write(ends[1]);

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return system_error(errno);
  if (pid == 0) {
    become_child(parent, paths, argv.data(), in.get(), out, err, report_write.get());
  }
  // Set on both sides, so that the group exists whichever runs first.
  (void)::setpgid(pid, pid);
  ChildProcess child(pid, pid);
  ::close(report_write.release());
  int code = 0;
  ssize_t n = 0;
  do {
    n = ::read(report_read.get(), &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  // Nothing to read: the exec closed the pipe. A code: it never ran (a missing program, say).
  if (n == static_cast<ssize_t>(sizeof code)) {
    child.kill();
    return system_error(code);
  }
  return child;
}

} // namespace

Result<ChildProcess> start_child(const std::string &program, const std::vector<std::string> &args,
                                 const std::string &stderr_path) {
  const posix::Fd out(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  const posix::Fd err(::open(stderr_path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY));
  if (out.get() < 0 || err.get() < 0) return system_error(errno);
  return spawn(program, args, out.get(), err.get());
}

Result<ChildWithOutput> start_child_with_output(const std::string &program,
                                                const std::vector<std::string> &args) {
  const posix::Fd err(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (err.get() < 0) return system_error(errno);
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) return system_error(errno);
  ChildOutput output(ends[0]);
  // Closed here once the child has its copy, so that the child's exit ends the output.
  const posix::Fd write_end(ends[1]);
  VFT_TRY(auto process, spawn(program, args, write_end.get(), err.get()));
  return ChildWithOutput{std::move(process), std::move(output)};
}

void ChildOutput::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

Result<bool> ChildOutput::read(std::string &into, unsigned wait_ms) {
  if (handle_ < 0) return system_error(EBADF);
  const int fd = static_cast<int>(handle_);
  pollfd ready{fd, POLLIN, 0};
  const int polled = ::poll(&ready, 1, static_cast<int>(wait_ms));
  if (polled < 0) return errno == EINTR ? Result<bool>(true) : system_error(errno);
  if (polled == 0) return true;
  char buffer[65536];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n < 0) return errno == EINTR || errno == EAGAIN ? Result<bool>(true) : system_error(errno);
  if (n == 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

} // namespace vft::platform

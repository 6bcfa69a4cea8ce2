// Process, console and path services on Linux.
#include "platform/platform.hpp"
#include "platform/posix/posix.hpp"
#include "platform/reading_file.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vft::platform {

namespace {

using posix::Fd;

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

} // namespace

std::vector<std::string> command_line(int argc, char **argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::optional<std::string> environment(const std::string &name) {
  const char *value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::uint64_t now_nanos() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint64_t process_id() { return static_cast<std::uint64_t>(::getpid()); }

void sleep_ms(unsigned milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000),
              static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void prepare_stdio() { std::signal(SIGPIPE, SIG_IGN); }

long long read_stdin(char *buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

bool write_stdout(std::string_view bytes) { return write_all(STDOUT_FILENO, bytes); }
void flush_stdout() {} // writes are unbuffered
void write_stderr(std::string_view bytes) { (void)write_all(STDERR_FILENO, bytes); }

std::string join_path(std::string_view folder, std::string_view name) {
  std::string out(folder);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

std::optional<std::string> parent_path(std::string_view path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return std::nullopt;
  if (slash == 0) return std::string("/");
  return std::string(path.substr(0, slash));
}

bool is_absolute_path(std::string_view path) { return !path.empty() && path.front() == '/'; }

std::string_view file_name(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

} // namespace vft::platform

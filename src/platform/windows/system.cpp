// Process, console and path services on Windows.
#include "platform/windows/win.hpp"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>

namespace vft::platform {

namespace {

constexpr ULONGLONG kUnixEpochAsFiletime = 116444736000000000ULL; // 1970-01-01 in 100 ns
// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 version 1803), missing from older headers.
constexpr DWORD kHighResolutionTimer = 0x00000002;
// ReadFile and WriteFile take DWORD sizes; stay well inside them.
constexpr std::size_t kMaxIo = 1 << 30;

bool is_separator(char c) { return c == '\\' || c == '/'; }
bool is_drive_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The position after "server\share\" when the path names a server and a share from start
// on, or 0.
std::size_t server_share_end(std::string_view path, std::size_t start) {
  const auto server_end = std::find_if(path.begin() + start, path.end(), is_separator);
  if (server_end == path.begin() + start || server_end == path.end()) return 0;
  const auto share_end = std::find_if(server_end + 1, path.end(), is_separator);
  if (share_end == server_end + 1 || share_end == path.end()) return 0;
  return static_cast<std::size_t>(share_end - path.begin()) + 1;
}

// Length of "\\server\share\" at the start of a path (this also covers the \\?\C:\ and
// \\.\ forms, whose "server" is ? or .), or 0 when the path has no such prefix.
std::size_t share_root_length(std::string_view path) {
  if (path.size() < 2 || !is_separator(path[0]) || !is_separator(path[1])) return 0;
  return server_share_end(path, 2);
}

bool is_unc_word(std::string_view text) {
  return text.size() == 3 && (text[0] == 'U' || text[0] == 'u') &&
         (text[1] == 'N' || text[1] == 'n') && (text[2] == 'C' || text[2] == 'c');
}

// Length of the root a path starts with: "C:\", "C:", "\\server\share\", "\" or nothing.
std::size_t root_length(std::string_view path) {
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    // \\?\UNC\server\share\ is one level deeper than \\?\C:\.
    if (path.size() > 8 && (path[2] == '?' || path[2] == '.') && is_separator(path[3]) &&
        is_unc_word(path.substr(4, 3)) && is_separator(path[7])) {
      if (const std::size_t end = server_share_end(path, 8); end > 0) return end;
    }
    const std::size_t share = share_root_length(path);
    return share > 0 ? share : path.size();
  }
  if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == ':') {
    return path.size() >= 3 && is_separator(path[2]) ? 3 : 2;
  }
  if (!path.empty() && is_separator(path[0])) return 1;
  return 0;
}

HANDLE std_handle(DWORD which) {
  HANDLE handle = ::GetStdHandle(which);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return ::GetConsoleMode(handle, &mode) != 0;
}

// Writes all bytes to a standard handle. A console gets UTF-16 so that non-ASCII text reads
// right whatever its code page; files and pipes get the UTF-8 bytes unchanged.
bool write_all(DWORD which, std::string_view bytes) {
  HANDLE handle = std_handle(which);
  if (handle == nullptr) return false;
  if (is_console(handle)) {
    std::wstring wide = win::widen(bytes);
    std::wstring_view rest(wide);
    while (!rest.empty()) {
      DWORD written = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 8192));
      if (!::WriteConsoleW(handle, rest.data(), chunk, &written, nullptr) || written == 0) {
        return false;
      }
      rest.remove_prefix(written);
    }
    return true;
  }
  // A reader that went away shows as ERROR_BROKEN_PIPE or ERROR_NO_DATA.
  return win::write_all(handle, bytes);
}

} // namespace

// ---- process and console -------------------------------------------------------------

std::vector<std::string> command_line(int argc, char **argv) {
  // argv holds the arguments in the ANSI code page; the wide command line has them all.
  int count = 0;
  wchar_t **wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    args.push_back(win::narrow(wide[i]));
  ::LocalFree(wide);
  return args;
}

std::optional<std::string> environment(const std::string &name) {
  const std::wstring wide_name = win::widen(name);
  std::wstring value(256, L'\0');
  for (;;) {
    // A present but empty variable returns 0 without setting an error.
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(),
                                                   static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (length < value.size()) {
      value.resize(length);
      return win::narrow(value);
    }
    value.assign(length, L'\0'); // length counts the terminating NUL here
  }
}

std::uint64_t now_nanos() {
  FILETIME now{};
  ::GetSystemTimePreciseAsFileTime(&now);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) |
                          static_cast<ULONGLONG>(now.dwLowDateTime);
  if (ticks < kUnixEpochAsFiletime) return 0;
  return (ticks - kUnixEpochAsFiletime) * 100;
}

std::uint64_t process_id() { return ::GetCurrentProcessId(); }

void sleep_ms(unsigned milliseconds) {
  // Sleep() rounds up to the system timer tick (often 15.6 ms), which would stretch the
  // lock's 100 waits of 20 ms to over 3 s; a high-resolution timer keeps them near 20 ms.
  win::Handle timer(::CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer,
                                             TIMER_MODIFY_STATE | SYNCHRONIZE));
  if (timer.valid()) {
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000; // relative, in 100 ns
    if (::SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE) &&
        ::WaitForSingleObject(timer.get(), INFINITE) == WAIT_OBJECT_0) {
      return;
    }
  }
  ::Sleep(milliseconds);
}

void prepare_stdio() {
  // The C runtime must never turn "\n" into "\r\n"; our own writes bypass it, but keep the
  // descriptors binary for any library that writes through them.
  (void)_setmode(_fileno(stdin), _O_BINARY);
  (void)_setmode(_fileno(stdout), _O_BINARY);
  (void)_setmode(_fileno(stderr), _O_BINARY);
  // No "insert a disk" or fault dialogs: the program never waits for the user.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

long long read_stdin(char *buffer, std::size_t size) {
  HANDLE handle = std_handle(STD_INPUT_HANDLE);
  if (handle == nullptr) return 0; // no standard input at all: nothing to read
  DWORD read = 0;
  const auto chunk = static_cast<DWORD>(std::min(size, kMaxIo));
  if (!::ReadFile(handle, buffer, chunk, &read, nullptr)) {
    const DWORD error = ::GetLastError();
    // The writer closed its end of the pipe: that is the end of the input.
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
    return -1;
  }
  return static_cast<long long>(read);
}

bool write_stdout(std::string_view bytes) { return write_all(STD_OUTPUT_HANDLE, bytes); }
// Writes go straight to the handle; FlushFileBuffers on a pipe would wait for the reader.
void flush_stdout() {}
void write_stderr(std::string_view bytes) { (void)write_all(STD_ERROR_HANDLE, bytes); }

// ---- paths -----------------------------------------------------------------------------

std::string join_path(std::string_view folder, std::string_view name) {
  std::string out(folder);
  if (!out.empty() && !is_separator(out.back())) out += '\\';
  out += name;
  return out;
}

std::optional<std::string> parent_path(std::string_view path) {
  const auto separator = path.find_last_of("\\/");
  if (separator == std::string_view::npos) return std::nullopt;
  const std::size_t root = root_length(path);
  // Inside the root the parent is the root itself (C:\ for C:\file).
  if (separator < root) return std::string(path.substr(0, root));
  return std::string(path.substr(0, separator));
}

std::string_view file_name(std::string_view path) {
  const auto separator = path.find_last_of("\\/");
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

bool is_absolute_path(std::string_view path) {
  if (path.size() >= 3 && is_drive_letter(path[0]) && path[1] == ':' && is_separator(path[2])) {
    return true;
  }
  return share_root_length(path) > 0;
}

} // namespace vft::platform

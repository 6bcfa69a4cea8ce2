// Text conversion, error texts and long paths for the Win32 platform layer.
#include "platform/windows/win.hpp"

#include <algorithm>
#include <climits>

namespace vft::platform::win {

namespace {

// The Win32 conversion functions take int lengths; larger texts are converted in slices
// that end on a character boundary.
constexpr std::size_t kSlice = 1 << 28;

bool is_utf8_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

constexpr ULONGLONG kUnixEpochAsFiletime = 116444736000000000ULL; // 1970-01-01 in 100 ns

} // namespace

std::wstring widen(std::string_view utf8) {
  std::wstring out;
  while (!utf8.empty()) {
    std::size_t take = utf8.size();
    if (take > kSlice) {
      take = kSlice;
      while (take > 0 && is_utf8_continuation(utf8[take]))
        --take;
      if (take == 0) take = kSlice;
    }
    const int length = static_cast<int>(take);
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    if (needed <= 0) break;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(needed));
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, out.data() + start, needed);
    utf8.remove_prefix(take);
  }
  return out;
}

std::string narrow(std::wstring_view utf16) {
  std::string out;
  while (!utf16.empty()) {
    std::size_t take = utf16.size();
    if (take > kSlice) {
      take = kSlice;
      // Never split a surrogate pair.
      if (utf16[take - 1] >= 0xD800 && utf16[take - 1] <= 0xDBFF) --take;
    }
    const int length = static_cast<int>(take);
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) break;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(needed));
    ::WideCharToMultiByte(CP_UTF8, 0, utf16.data(), length, out.data() + start, needed, nullptr,
                          nullptr);
    utf16.remove_prefix(take);
  }
  return out;
}

std::wstring wide_path(const std::string &path) {
  std::wstring wide = widen(path);
  // CreateDirectoryW stops at MAX_PATH - 12; below that every function takes the plain form.
  if (wide.size() < MAX_PATH - 12 || wide.rfind(L"\\\\?\\", 0) == 0 ||
      wide.rfind(L"\\\\.\\", 0) == 0) {
    return wide;
  }
  const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return wide;
  std::wstring full(needed, L'\0');
  const DWORD written = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (written == 0 || written >= needed) return wide;
  full.resize(written);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  return wide;
}

std::string error_text(DWORD code) {
  wchar_t *buffer = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) text = narrow(std::wstring_view(buffer, length));
  if (buffer != nullptr) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) text = "Windows error " + std::to_string(code);
  return text;
}

Failure system_error(DWORD code) { return fail(error_text(code)); }
Failure last_error() { return system_error(::GetLastError()); }

std::int64_t filetime_to_unix_nanos(const FILETIME &time) {
  const ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                          static_cast<ULONGLONG>(time.dwLowDateTime);
  // Nanoseconds fit an int64 only from 1677 to 2262; beyond, keep the nearest end.
  constexpr std::int64_t kLimit = INT64_MAX / 100;
  if (ticks >= kUnixEpochAsFiletime) {
    const ULONGLONG after = ticks - kUnixEpochAsFiletime;
    return after > static_cast<ULONGLONG>(kLimit) ? INT64_MAX
                                                  : static_cast<std::int64_t>(after) * 100;
  }
  const ULONGLONG before = kUnixEpochAsFiletime - ticks;
  return before > static_cast<ULONGLONG>(kLimit) ? INT64_MIN
                                                 : -static_cast<std::int64_t>(before) * 100;
}

bool may_be_held(DWORD error, const std::wstring &path) {
  switch (error) {
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
  case ERROR_USER_MAPPED_FILE:
    return true;
  case ERROR_ACCESS_DENIED: {
    // What a held file gives as well as one the user may not change; the attributes tell
    // some of the lasting cases apart. A file that is not there is held by nobody.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD why = ::GetLastError();
      return why != ERROR_FILE_NOT_FOUND && why != ERROR_PATH_NOT_FOUND;
    }
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
  }
  default:
    return false;
  }
}

bool write_all(HANDLE handle, std::string_view bytes) {
  constexpr std::size_t kMaxWrite = 1 << 30;
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min(bytes.size(), kMaxWrite));
    if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr)) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

} // namespace vft::platform::win

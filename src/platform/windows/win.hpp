// Small helpers shared by the Win32 implementation of the platform interface: UTF-8 and
// UTF-16 conversion, the system's error texts, and a handle closed on every path.
#pragma once

#include "platform/platform.hpp"

#include <windows.h>

#include <string>
#include <string_view>

namespace vft::platform::win {

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring widen(std::string_view utf8);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string narrow(std::wstring_view utf16);

// A path for the wide file functions. Long absolute paths get the \\?\ prefix so that they
// are not cut at MAX_PATH; every other path is passed as given.
std::wstring wide_path(const std::string &path);

// The system's text for an error code (FormatMessageW), without the trailing line break.
std::string error_text(DWORD code);
Failure system_error(DWORD code);
Failure last_error();

// Handles we create are never inherited by child processes.
inline SECURITY_ATTRIBUTES not_inherited() {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = FALSE;
  return attributes;
}

// A kernel handle closed on every path out of the scope that opened it.
class Handle {
public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  ~Handle() {
    if (valid()) ::CloseHandle(handle_);
  }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

private:
  HANDLE handle_;
};

// FILETIME (100 ns units since 1601-01-01 UTC) as nanoseconds since 1970-01-01 UTC.
std::int64_t filetime_to_unix_nanos(const FILETIME &time);

// Writes all bytes to a file or pipe handle, in pieces WriteFile can take; false on failure.
bool write_all(HANDLE handle, std::string_view bytes);

} // namespace vft::platform::win

// Small helpers shared by the Win32 implementation of the platform interface: UTF-8 and
// UTF-16 conversion, the system's error texts, and a handle closed on every path.
#pragma once

#include "platform/platform.hpp"
#include "platform/waits.hpp"

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

// Other programs open the files in a user's folders for a moment: virus scanners, the search
// indexer, backup and sync tools, an editor. Many share neither writing nor deletion, and while
// they hold a file, replacing, deleting or opening it fails as if access were denied. Whether
// an error may come from such a hold: a sharing or lock violation, a mapped file, or access
// denied to path while it is neither a folder nor read-only (those are denied for good).
bool may_be_held(DWORD error, const std::wstring &path);

// The waits between attempts at an operation that met a hold: short at first, growing, within
// limits::kHoldBound in all.
inline GrowingWaits hold_waits(const Waiter &waiter) {
  return GrowingWaits(waiter, limits::kFirstHoldWait, limits::kLongestHoldWait, limits::kHoldBound);
}

// Runs attempt (which returns ERROR_SUCCESS or the error it met) again while it fails in a way
// a brief hold on path gives, within the hold waits' bound; the last result.
template <typename Attempt>
DWORD retry_while_held(const std::wstring &path, Attempt attempt, const Waiter &waiter = Waiter()) {
  GrowingWaits wait = hold_waits(waiter);
  for (;;) {
    const DWORD error = attempt();
    if (error == ERROR_SUCCESS || !may_be_held(error, path) || !wait.next()) return error;
  }
}

// Writes all bytes to a file or pipe handle, in pieces WriteFile can take; false on failure.
bool write_all(HANDLE handle, std::string_view bytes);

} // namespace vft::platform::win

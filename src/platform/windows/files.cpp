// Files, folders, the lock file and links on Windows.
#include "platform/reading_file.hpp"
#include "platform/windows/win.hpp"

#include <algorithm>
#include <memory>

namespace vft::platform {

namespace {

using win::Handle;

// ReadFile and WriteFile take DWORD sizes; stay well inside them.

bool is_missing_error(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

} // namespace

Result<void> create_directories(const std::string &path) {
  if (path.empty()) return win::system_error(ERROR_PATH_NOT_FOUND);
  const std::wstring wide = win::wide_path(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return {};
    return win::system_error(ERROR_ALREADY_EXISTS); // a file is in the way
  }
  if (const DWORD error = ::GetLastError(); !is_missing_error(error)) {
    return win::system_error(error);
  }
  if (auto parent = parent_path(path); parent && *parent != path) {
    if (auto made = create_directories(*parent); !made) return made;
  }
  SECURITY_ATTRIBUTES security = win::not_inherited();
  if (!::CreateDirectoryW(wide.c_str(), &security)) {
    const DWORD error = ::GetLastError();
    // Another process may have made it meanwhile.
    if (error == ERROR_ALREADY_EXISTS) {
      const DWORD now = ::GetFileAttributesW(wide.c_str());
      if (now != INVALID_FILE_ATTRIBUTES && (now & FILE_ATTRIBUTE_DIRECTORY)) return {};
    }
    return win::system_error(error);
  }
  return {};
}

Result<std::vector<std::string>> folder_entries(const std::string &path) {
  WIN32_FIND_DATAW found{};
  const std::wstring pattern = win::wide_path(join_path(path, "*"));
  HANDLE search = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return win::last_error();
  std::unique_ptr<void, BOOL(WINAPI *)(HANDLE)> closer(search, &::FindClose);
  std::vector<std::string> names;
  do {
    const std::wstring_view name(found.cFileName);
    if (name != L"." && name != L"..") names.push_back(win::narrow(name));
  } while (::FindNextFileW(search, &found));
  if (const DWORD error = ::GetLastError(); error != ERROR_NO_MORE_FILES) {
    return win::system_error(error);
  }
  return names;
}

Result<Existence> file_existence(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (::GetFileAttributesExW(win::wide_path(path).c_str(), GetFileExInfoStandard, &data)) {
    return Existence::present;
  }
  const DWORD error = ::GetLastError();
  if (is_missing_error(error)) return Existence::missing;
  // Access denied, a sharing violation, a device error...: the file may well be there.
  return win::system_error(error);
}

// Only files on a disk are read: a pipe or a console device could keep the call (and its
// lock) waiting for input. Another program's brief exclusive hold is waited out.
Result<ReadingFile> ReadingFile::open(const std::string &path) {
  SECURITY_ATTRIBUTES security = win::not_inherited();
  const std::wstring wide = win::wide_path(path);
  HANDLE opened = INVALID_HANDLE_VALUE;
  const DWORD error = win::retry_while_held(wide, [&] {
    opened = ::CreateFileW(
        wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        &security, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return opened != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : ::GetLastError();
  });
  Handle file(opened);
  if (error != ERROR_SUCCESS) return win::system_error(error);
  if (::GetFileType(file.get()) != FILE_TYPE_DISK)
    return win::system_error(ERROR_INVALID_PARAMETER);
  LARGE_INTEGER length{};
  if (!::GetFileSizeEx(file.get(), &length)) return win::last_error();
  return ReadingFile(reinterpret_cast<std::intptr_t>(file.release()),
                     static_cast<std::uint64_t>(length.QuadPart));
}

ReadingFile::~ReadingFile() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

Result<std::size_t> ReadingFile::read_some(char *buffer, std::size_t wanted) {
  DWORD read = 0;
  const auto chunk = static_cast<DWORD>(std::min<std::size_t>(wanted, 1U << 30));
  if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, chunk, &read, nullptr)) {
    return win::last_error();
  }
  return static_cast<std::size_t>(read);
}

// The write-through rename reports its own durability: nothing to give back afterwards.
// Another program's brief hold on the destination is waited out.
Result<void> replace_file(const std::string &from, const std::string &to, const std::string &) {
  const std::wstring source = win::wide_path(from);
  const std::wstring target = win::wide_path(to);
  // Windows refuses to replace a file marked read-only, and so does this program wherever the
  // system would not (Wine): the user's mark says the file is not to be changed.
  if (const DWORD attributes = ::GetFileAttributesW(target.c_str());
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return win::system_error(ERROR_ACCESS_DENIED);
  }
  const DWORD error = win::retry_while_held(target, [&] {
    return ::MoveFileExW(source.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? ERROR_SUCCESS
               : ::GetLastError();
  });
  if (error != ERROR_SUCCESS) return win::system_error(error);
  return {};
}

namespace {

DWORD delete_file(const std::wstring &path) {
  return ::DeleteFileW(path.c_str()) ? ERROR_SUCCESS : ::GetLastError();
}

} // namespace

void remove_file_quietly(const std::string &path) {
  const std::wstring wide = win::wide_path(path);
  (void)win::retry_while_held(wide, [&] { return delete_file(wide); });
}

void remove_leftover_quietly(const std::string &path) { remove_tree_quietly(path); }

FileLock &FileLock::operator=(FileLock &&other) noexcept {
  if (this != &other) {
    if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

FileLock::~FileLock() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

Result<std::optional<FileLock>> try_lock_file(const std::string &path) {
  SECURITY_ATTRIBUTES security = win::not_inherited();
  // No sharing at all: while this handle is open every other open of the file fails.
  Handle file(::CreateFileW(win::wide_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                            &security, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION) return std::optional<FileLock>();
    return win::system_error(error);
  }
  return std::optional<FileLock>(FileLock(reinterpret_cast<std::intptr_t>(file.release())));
}

Result<std::string> canonical_path(const std::string &path) {
  SECURITY_ATTRIBUTES security = win::not_inherited();
  const std::wstring wide = win::wide_path(path);
  // No access rights are needed to learn the name; folders open only with backup semantics.
  HANDLE opened = INVALID_HANDLE_VALUE;
  const DWORD error = win::retry_while_held(wide, [&] {
    opened = ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           &security, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return opened != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : ::GetLastError();
  });
  Handle file(opened);
  if (error != ERROR_SUCCESS) return win::system_error(error);
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetFinalPathNameByHandleW(file.get(), name.data(), static_cast<DWORD>(name.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return win::last_error();
    if (length < name.size()) {
      name.resize(length);
      // The \\?\ form is the canonical one; callers keep it.
      return win::narrow(name);
    }
    name.assign(length, L'\0'); // length counts the terminating NUL here
  }
}

Result<FileInfo> file_info(const std::string &path) {
  // The attributes of the entry itself: a symbolic link or junction is not followed.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(win::wide_path(path).c_str(), GetFileExInfoStandard, &data)) {
    return win::last_error();
  }
  FileInfo info;
  info.regular = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                           FILE_ATTRIBUTE_DEVICE)) == 0;
  info.directory =
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
      FILE_ATTRIBUTE_DIRECTORY;
  info.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  info.modified_nanos = win::filetime_to_unix_nanos(data.ftLastWriteTime);
  return info;
}

// Another program's brief hold on the existing file is waited out.
Result<void> hard_link(const std::string &existing, const std::string &new_name) {
  const std::wstring source = win::wide_path(existing);
  const std::wstring link = win::wide_path(new_name);
  const DWORD error = win::retry_while_held(source, [&] {
    return ::CreateHardLinkW(link.c_str(), source.c_str(), nullptr) ? ERROR_SUCCESS
                                                                    : ::GetLastError();
  });
  if (error != ERROR_SUCCESS) return win::system_error(error);
  return {};
}

} // namespace vft::platform

// Files created new at paths the user names, on Windows.
#include "platform/windows/win.hpp"

#include <algorithm>

namespace vft::platform {

namespace {

// Marks the open file for deletion when its handle closes: the handle names exactly the
// file we created, whatever has happened to its name meanwhile.
bool delete_on_close(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

} // namespace

Result<void> create_new_file(const std::string &path, std::string_view bytes) {
  const std::wstring wide = win::wide_path(path);
  SECURITY_ATTRIBUTES attributes = win::not_inherited();
  // CREATE_NEW fails when anything, a link included, already has the name. DELETE access
  // lets us take the file back if writing it fails.
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, &attributes,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return win::last_error();

  DWORD code = ERROR_SUCCESS;
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1U << 30));
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) {
      code = ::GetLastError();
      break;
    }
    bytes.remove_prefix(written);
  }
  if (code == ERROR_SUCCESS && !::FlushFileBuffers(file)) code = ::GetLastError();
  if (code != ERROR_SUCCESS) {
    const bool marked = delete_on_close(file);
    ::CloseHandle(file);
    if (!marked) remove_file_quietly(path);
    return win::system_error(code);
  }
  if (!::CloseHandle(file)) {
    code = ::GetLastError();
    remove_file_quietly(path);
    return win::system_error(code);
  }
  return {};
}

} // namespace vft::platform

// Files created new, on Windows.
#include "platform/windows/win.hpp"

#include <filesystem>

namespace vft::platform {

Result<NewFile> NewFile::write(const std::string &path, std::string_view bytes, bool) {
  const std::wstring wide = win::wide_path(path);
  SECURITY_ATTRIBUTES attributes = win::not_inherited();
  // CREATE_NEW fails when anything, a link included, already has the name. The file inherits
  // the folder's access rules, which keep a user's data folder private.
  HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &attributes,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return win::last_error();
  // Before the handle: it is closed first, so that the removal finds the file free. Until
  // its identity is known the name is ours alone (empty, created an instant ago).
  NewFile file(path);
  win::Handle open(handle);
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(open.get(), &info)) return win::last_error();
  file.identity_ =
      FileIdentity{info.dwVolumeSerialNumber,
                   (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 1};
  if (!win::write_all(open.get(), bytes)) return win::last_error();
  if (!::FlushFileBuffers(open.get())) return win::last_error();
  // A rename's write-through, or the closed handle, makes the name durable on Windows.
  if (!::CloseHandle(open.release())) return win::last_error();
  return file;
}

void remove_tree_quietly(const std::string &path) {
  std::error_code ignored;
  // Links and junctions are removed, never followed.
  std::filesystem::remove_all(std::filesystem::path(win::widen(path)), ignored);
}

} // namespace vft::platform

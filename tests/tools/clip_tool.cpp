// The other program on the Windows clipboard for the black-box tests under Wine, written
// against Win32 directly so that it shares nothing with the program under test.
//
// Usage: clip_tool empty
//        clip_tool copy text|png|bmp   (the bytes on standard input: UTF-8, PNG, a BMP file)
//        clip_tool paste text|png|bmp  (bmp: the CF_DIB behind a 14-byte BMP file header)
//        clip_tool hold                (keeps the clipboard open until standard input ends,
//                                       after writing "held" and a line feed)
#ifdef _WIN32
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

namespace {

std::string read_stdin() {
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

UINT format_of(const std::string &kind) {
  if (kind == "text") return CF_UNICODETEXT;
  if (kind == "png") return ::RegisterClipboardFormatW(L"PNG");
  return CF_DIB;
}

bool put(UINT format, const std::string &bytes) {
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  if (block == nullptr) return false;
  std::memcpy(::GlobalLock(block), bytes.data(), bytes.size());
  ::GlobalUnlock(block);
  if (::SetClipboardData(format, block) != nullptr) return true;
  ::GlobalFree(block);
  return false;
}

int run(const std::string &command, const std::string &kind, HWND owner) {
  if (command == "empty") return ::EmptyClipboard() ? 0 : 1;
  if (command == "copy") {
    std::string data = read_stdin();
    if (!::EmptyClipboard()) return 1;
    if (kind == "text") {
      const int length =
          ::MultiByteToWideChar(CP_UTF8, 0, data.data(), static_cast<int>(data.size()), nullptr, 0);
      std::wstring wide(static_cast<std::size_t>(length) + 1, L'\0');
      ::MultiByteToWideChar(CP_UTF8, 0, data.data(), static_cast<int>(data.size()), wide.data(),
                            length);
      data.assign(reinterpret_cast<const char *>(wide.data()), wide.size() * 2);
    } else if (kind == "bmp") {
      data.erase(0, 14);
    }
    return put(format_of(kind), data) ? 0 : 1;
  }
  if (command == "paste") {
    HANDLE handle = ::GetClipboardData(format_of(kind));
    if (handle == nullptr) return 1;
    const char *memory = static_cast<const char *>(::GlobalLock(handle));
    std::string data(memory, ::GlobalSize(handle));
    ::GlobalUnlock(handle);
    if (kind == "text") {
      std::wstring wide(reinterpret_cast<const wchar_t *>(data.data()), data.size() / 2);
      wide.resize(std::wcslen(wide.c_str()));
      const int length = ::WideCharToMultiByte(
          CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
      data.assign(static_cast<std::size_t>(length), '\0');
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), data.data(),
                            length, nullptr, nullptr);
    } else if (kind == "bmp") {
      data.insert(0, std::string("BM") + std::string(12, '\0'));
    }
    std::fwrite(data.data(), 1, data.size(), stdout);
    return 0;
  }
  if (command == "hold") {
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    read_stdin();
    return 0;
  }
  (void)owner;
  return 2;
}

} // namespace

int main(int argc, char **argv) {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) return 2;
  HWND owner = ::CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
  if (owner == nullptr || !::OpenClipboard(owner)) return 1;
  const int status = run(argv[1], argc > 2 ? argv[2] : "", owner);
  ::CloseClipboard();
  ::DestroyWindow(owner);
  return status;
}
#else
// The Linux tests use xclip instead.
int main() { return 2; }
#endif

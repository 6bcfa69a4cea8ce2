// Holds a file open the way another program (a virus scanner, the search indexer, an editor)
// does for a moment, for the black-box tests under Wine. Opens FILE for reading with the given
// sharing ("none", or letters among r, w and d for read, write and delete), writes "held" and a
// line feed to standard output, then keeps it open for MILLISECONDS. With WHEN (a name pattern
// such as C:\data\.write-*), the time counts from when a name matching it first appears, so a
// test can be sure that the hold covers the step that makes that name; it gives up with status
// 3 when none appears within a minute.
//
// Usage: hold_file FILE SHARING MILLISECONDS [WHEN]
#include "platform/platform.hpp"
#include "platform/windows/win.hpp"

#include <string>

namespace {

using namespace vft;

bool parse_sharing(const std::string &text, DWORD &sharing) {
  sharing = 0;
  if (text == "none") return true;
  for (const char c : text) {
    if (c == 'r') {
      sharing |= FILE_SHARE_READ;
    } else if (c == 'w') {
      sharing |= FILE_SHARE_WRITE;
    } else if (c == 'd') {
      sharing |= FILE_SHARE_DELETE;
    } else {
      return false;
    }
  }
  return !text.empty();
}

bool appeared(const std::wstring &pattern) {
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  ::FindClose(search);
  return true;
}

} // namespace

int main(int argc, char **argv) {
  platform::prepare_stdio();
  const std::vector<std::string> args = platform::command_line(argc, argv);
  DWORD sharing = 0;
  if ((args.size() != 4 && args.size() != 5) || !parse_sharing(args[2], sharing) ||
      args[3].empty() || args[3].find_first_not_of("0123456789") != std::string::npos) {
    platform::write_stderr("usage: hold_file FILE none|[rwd] MILLISECONDS [WHEN]\n");
    return 2;
  }
  const DWORD milliseconds = static_cast<DWORD>(std::stoul(args[3]));
  SECURITY_ATTRIBUTES security = platform::win::not_inherited();
  platform::win::Handle file(::CreateFileW(platform::win::widen(args[1]).c_str(), GENERIC_READ,
                                           sharing, &security, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    platform::write_stderr(platform::win::error_text(::GetLastError()) + "\n");
    return 1;
  }
  if (!platform::write_stdout("held\n")) return 1;
  platform::flush_stdout();
  if (args.size() == 5) {
    const std::wstring pattern = platform::win::widen(args[4]);
    const ULONGLONG deadline = ::GetTickCount64() + 60'000;
    while (!appeared(pattern)) {
      if (::GetTickCount64() > deadline) {
        platform::write_stderr("nothing named " + args[4] + " appeared\n");
        return 3;
      }
      ::Sleep(1);
    }
  }
  ::Sleep(milliseconds);
  return 0;
}

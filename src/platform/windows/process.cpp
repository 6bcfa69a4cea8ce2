// Child processes, the executable's folder and empty files on Windows.
#include "platform/windows/win.hpp"

#include <array>
#include <memory>

namespace vft::platform {

namespace {

using win::Handle;

// One argument quoted the way the C runtime's command-line parser reads it back.
void append_quoted(std::wstring &line, const std::wstring &arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote itself escaped.
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  // Backslashes before the closing quote are doubled.
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

// An inheritable handle: only these three are handed to the child, through the handle list.
HANDLE open_for_child(const std::wstring &path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherited{};
  inherited.nLength = sizeof inherited;
  inherited.bInheritHandle = TRUE;
  return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       &inherited, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

struct AttributeListDeleter {
  void operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const {
    ::DeleteProcThreadAttributeList(list);
    ::HeapFree(::GetProcessHeap(), 0, list);
  }
};
using AttributeList = std::unique_ptr<_PROC_THREAD_ATTRIBUTE_LIST, AttributeListDeleter>;

// A job that ends every process in it when its last handle closes, so that the child and
// whatever it starts cannot outlive us; none where the system refuses one.
HANDLE kill_on_close_job() {
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    ::CloseHandle(job);
    return nullptr;
  }
  return job;
}

} // namespace

Result<void> create_empty_file(const std::string &path) {
  SECURITY_ATTRIBUTES security = win::not_inherited();
  Handle file(::CreateFileW(win::wide_path(path).c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return win::last_error();
  return {};
}

Result<void> append_to_file(const std::string &path, std::string_view bytes) {
  SECURITY_ATTRIBUTES security = win::not_inherited();
  Handle file(::CreateFileW(win::wide_path(path).c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr));
  if (!file.valid()) return win::last_error();
  if (!win::write_all(file.get(), bytes)) return win::last_error();
  return {};
}

Result<FileIdentity> regular_file_identity(const std::string &path) {
  SECURITY_ATTRIBUTES security = win::not_inherited();
  Handle file(::CreateFileW(win::wide_path(path).c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security,
                            OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) return win::last_error();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) return win::last_error();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    return win::system_error(ERROR_DIRECTORY);
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return win::system_error(ERROR_CANT_ACCESS_FILE);
  }
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return win::system_error(ERROR_INVALID_FUNCTION);
  return FileIdentity{info.dwVolumeSerialNumber,
                      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                      info.nNumberOfLinks};
}

bool process_running(std::uint64_t id) {
  if (id > 0xFFFFFFFFULL) return false;
  Handle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                               static_cast<DWORD>(id)));
  // There but not ours to open.
  if (!process.valid()) return ::GetLastError() == ERROR_ACCESS_DENIED;
  return ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

Result<std::string> executable_folder() {
  std::wstring buffer(512, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return win::last_error();
    if (n < buffer.size()) {
      buffer.resize(n);
      break;
    }
    if (buffer.size() >= 32768) return win::system_error(ERROR_INSUFFICIENT_BUFFER);
    buffer.resize(buffer.size() * 2);
  }
  auto folder = parent_path(win::narrow(buffer));
  if (!folder) return win::system_error(ERROR_PATH_NOT_FOUND);
  return *folder;
}

void ChildProcess::release() {
  if (process_ != -1) {
    // Still running or not yet seen to end: end it and wait.
    const auto process = reinterpret_cast<HANDLE>(process_);
    if (::WaitForSingleObject(process, 0) != WAIT_OBJECT_0) kill();
    if (process_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(process_));
    process_ = -1;
  }
  if (group_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(group_));
  group_ = -1;
}

Result<std::optional<int>> ChildProcess::poll_exit() {
  if (process_ == -1) return win::system_error(ERROR_INVALID_HANDLE);
  const auto process = reinterpret_cast<HANDLE>(process_);
  const DWORD state = ::WaitForSingleObject(process, 0);
  if (state == WAIT_TIMEOUT) return std::optional<int>();
  if (state != WAIT_OBJECT_0) return win::last_error();
  DWORD code = 0;
  if (!::GetExitCodeProcess(process, &code)) return win::last_error();
  return std::optional<int>(static_cast<int>(code));
}

void ChildProcess::kill() {
  if (process_ == -1) return;
  const auto process = reinterpret_cast<HANDLE>(process_);
  if (group_ != -1) (void)::TerminateJobObject(reinterpret_cast<HANDLE>(group_), 1);
  (void)::TerminateProcess(process, 1);
  (void)::WaitForSingleObject(process, INFINITE);
}

namespace {

// Starts the program with standard input on the null device and the given inheritable
// output and error handles (the caller keeps and closes them).
Result<ChildProcess> spawn(const std::string &program, const std::vector<std::string> &args,
                           HANDLE output, HANDLE error) {
  Handle input(open_for_child(L"NUL", GENERIC_READ, OPEN_EXISTING));
  if (!input.valid()) return win::last_error();

  SIZE_T size = 0;
  (void)::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  auto *raw = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(::HeapAlloc(::GetProcessHeap(), 0, size));
  if (raw == nullptr) return win::system_error(ERROR_NOT_ENOUGH_MEMORY);
  if (!::InitializeProcThreadAttributeList(raw, 1, 0, &size)) {
    const DWORD code = ::GetLastError();
    ::HeapFree(::GetProcessHeap(), 0, raw);
    return win::system_error(code);
  }
  AttributeList attributes(raw);
  std::array<HANDLE, 3> handles{input.get(), output, error};
  if (!::UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                   handles.data(), sizeof handles, nullptr, nullptr)) {
    return win::last_error();
  }

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input.get();
  startup.StartupInfo.hStdOutput = output;
  startup.StartupInfo.hStdError = error;
  startup.lpAttributeList = attributes.get();

  std::wstring line;
  append_quoted(line, win::widen(program));
  for (const std::string &arg : args) {
    line += L' ';
    append_quoted(line, win::widen(arg));
  }
  Handle job(kill_on_close_job());
  PROCESS_INFORMATION info{};
  // Suspended until it is in the job, so that nothing it starts escapes the job.
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT |
                            CREATE_UNICODE_ENVIRONMENT,
                        nullptr, nullptr, &startup.StartupInfo, &info)) {
    return win::last_error();
  }
  Handle thread(info.hThread);
  // Without a job (a system that refuses nested jobs, say) the time-out still ends the child.
  const bool in_job = job.valid() && ::AssignProcessToJobObject(job.get(), info.hProcess);
  ChildProcess child(reinterpret_cast<std::intptr_t>(info.hProcess),
                     in_job ? reinterpret_cast<std::intptr_t>(job.release()) : -1);
  if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    const DWORD code = ::GetLastError();
    child.kill();
    return win::system_error(code);
  }
  return child;
}

} // namespace

Result<ChildProcess> start_child(const std::string &program, const std::vector<std::string> &args,
                                 const std::string &stderr_path) {
  Handle output(open_for_child(L"NUL", GENERIC_WRITE, OPEN_EXISTING));
  if (!output.valid()) return win::last_error();
  Handle error(open_for_child(win::wide_path(stderr_path), FILE_APPEND_DATA, OPEN_EXISTING));
  if (!error.valid()) return win::last_error();
  return spawn(program, args, output.get(), error.get());
}

Result<ChildWithOutput> start_child_with_output(const std::string &program,
                                                const std::vector<std::string> &args) {
  Handle error(open_for_child(L"NUL", GENERIC_WRITE, OPEN_EXISTING));
  if (!error.valid()) return win::last_error();
  SECURITY_ATTRIBUTES inherited{};
  inherited.nLength = sizeof inherited;
  inherited.bInheritHandle = TRUE;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherited, 0)) return win::last_error();
  ChildOutput output(reinterpret_cast<std::intptr_t>(read_end));
  // Only the child's end is handed over; ours closes here once the child has its copy, so
  // that the child's exit ends the output.
  Handle writer(write_end);
  if (!::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0)) return win::last_error();
  VFT_TRY(auto process, spawn(program, args, writer.get(), error.get()));
  return ChildWithOutput{std::move(process), std::move(output)};
}

void ChildOutput::close() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

Result<bool> ChildOutput::read(std::string &into, unsigned wait_ms) {
  if (handle_ == -1) return win::system_error(ERROR_INVALID_HANDLE);
  const auto pipe = reinterpret_cast<HANDLE>(handle_);
  // An anonymous pipe cannot be waited on: look at it every few milliseconds.
  const ULONGLONG until = ::GetTickCount64() + wait_ms;
  for (;;) {
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
      const DWORD code = ::GetLastError();
      if (code == ERROR_BROKEN_PIPE) return false;
      return win::system_error(code);
    }
    if (available > 0) {
      char buffer[65536];
      DWORD n = 0;
      const DWORD wanted = available < sizeof buffer ? available : DWORD{sizeof buffer};
      if (!::ReadFile(pipe, buffer, wanted, &n, nullptr)) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_BROKEN_PIPE) return false;
        return win::system_error(code);
      }
      into.append(buffer, n);
      return true;
    }
    const ULONGLONG now = ::GetTickCount64();
    if (now >= until) return true;
    ::Sleep(static_cast<DWORD>(until - now < 5 ? until - now : 5));
  }
}

} // namespace vft::platform

// The operating-system services the rest of the program uses. Everything that differs
// between Linux and Windows lives behind these declarations; posix/ and windows/ hold the
// two implementations and CMake picks one. Paths are UTF-8 text on both platforms.
#pragma once

#include "../result.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vft::platform {

// ---- process and console -------------------------------------------------------------

// The command-line arguments as UTF-8, argument 0 first.
std::vector<std::string> command_line(int argc, char **argv);

// The value of an environment variable, or none when it is not present (an empty value is
// present).
std::optional<std::string> environment(const std::string &name);

// Nanoseconds since 1970-01-01 UTC from the most precise wall clock; 0 before 1970.
std::uint64_t now_nanos();
std::uint64_t process_id();
void sleep_ms(unsigned milliseconds);
// Whether a process of that id is running (one that exists but is not ours to signal counts
// as running).
bool process_running(std::uint64_t id);

// Binary standard streams, and no death by SIGPIPE when the reader goes away.
void prepare_stdio();
// Reads at most size bytes from standard input: the count, 0 at end of input, -1 on failure.
long long read_stdin(char *buffer, std::size_t size);
// Writes all bytes; false when the stream is gone.
bool write_stdout(std::string_view bytes);
void flush_stdout();
void write_stderr(std::string_view bytes);

// ---- requests to stop the process ------------------------------------------------------

// Hears the requests to end the process (SIGTERM, SIGINT and SIGHUP; on Windows the console's
// Ctrl+C, Ctrl+Break, close, log-off and shut-down events) in place of their default action,
// which ended the process on the spot and left a running call's children and files behind,
// and, where the system tells, that nobody reads standard output any more. Each is reported
// once, from a thread of the watch's own.
class StopWatch {
public:
  enum class Event { stop, output_gone };
  using Report = std::function<void(Event)>;

  // Start it before any other thread: on POSIX they inherit the blocked signals it reads.
  static Result<std::unique_ptr<StopWatch>> start(Report report, bool watch_output);
  StopWatch(const StopWatch &) = delete;
  StopWatch &operator=(const StopWatch &) = delete;
  ~StopWatch();

  // Ends the process as the stop request it reported would have ended it by default.
  [[noreturn]] void end_process();

  struct State;

private:
  explicit StopWatch(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// ---- paths -----------------------------------------------------------------------------

std::string join_path(std::string_view folder, std::string_view name);
// The folder part of a path, or none when it has none.
std::optional<std::string> parent_path(std::string_view path);
bool is_absolute_path(std::string_view path);
// The last component of a path (everything after its last separator).
std::string_view file_name(std::string_view path);

// ---- files and folders -----------------------------------------------------------------

// Creates the folder and any missing parents (private to the user), each new name flushed
// into its parent folder.
Result<void> create_directories(const std::string &path);

// The names in a folder (without "." and "..").
Result<std::vector<std::string>> folder_entries(const std::string &path);

enum class Existence { missing, present };
// Whether a file is there. A failure means it could not be established either way, which
// callers must never take for "missing".
Result<Existence> file_existence(const std::string &path);

// What a whole-file read found: the bytes, or none when there were more than the limit or
// (with known bytes to compare against) the file holds exactly those.
struct WholeFile {
  std::optional<std::string> bytes;
  bool same_as_known = false;
};

// The whole file, except that a file holding exactly the bytes known (when given) is only
// compared with them, block by block, and the answer says so without the bytes. Failures carry
// the system's text.
Result<WholeFile> read_file_unless_known(const std::string &path, std::uint64_t max_bytes,
                                         std::optional<std::string_view> known);

// The SHA-256 of a file's bytes (32 raw bytes), read a block at a time so that no more than
// a block is ever held; none when it holds more than max_bytes. Failures carry the system's
// text.
Result<std::optional<std::string>> sha256_of_file(const std::string &path, std::uint64_t max_bytes);

// The whole file, or none when it holds more than max_bytes.
inline Result<std::optional<std::string>> read_file_up_to(const std::string &path,
                                                          std::uint64_t max_bytes) {
  VFT_TRY(auto whole, read_file_unless_known(path, max_bytes, std::nullopt));
  return std::move(whole.bytes);
}

// Renames from onto to, replacing to, with write-through; the folder entry is made durable.
// On a failure to make it durable, to is given back its previous content (or removed when it
// had none) and the failure is returned. spare is an unused name beside to that the
// implementation may use to keep the previous content meanwhile; it is gone afterwards.
Result<void> replace_file(const std::string &from, const std::string &to, const std::string &spare);

// Deletes a file, ignoring any failure. On Windows another program's brief hold on it is
// waited out first.
void remove_file_quietly(const std::string &path);
// Deletes what an earlier call left behind (a file, or a link or folder that a program it
// started made), ignoring any failure, without waiting: what is held now is tried again by
// the next call.
void remove_leftover_quietly(const std::string &path);

// Removes whatever is at the name: a file, a link (never what it leads to) or a folder with
// everything in it; failures are ignored.
void remove_tree_quietly(const std::string &path);

// An exclusively held lock file; released when the object is destroyed.
class FileLock {
public:
  FileLock() = default;
  explicit FileLock(std::intptr_t handle) : handle_(handle) {}
  FileLock(FileLock &&other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
  FileLock &operator=(FileLock &&other) noexcept;
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;
  ~FileLock();

private:
  std::intptr_t handle_ = -1;
};

// One attempt to take the lock file (created if absent, never truncated). None means that
// another holder has it, or that the file was replaced or removed meanwhile: try again. A
// failure is any other reason, with the system's text.
Result<std::optional<FileLock>> try_lock_file(const std::string &path);

// The fully resolved path of an existing file (links, . and .. resolved).
Result<std::string> canonical_path(const std::string &path);

struct FileInfo {
  bool regular = false;   // a regular file and not a link
  bool directory = false; // a folder and not a link
  std::uint64_t size = 0;
  std::int64_t modified_nanos = 0;
};
// Metadata of the entry itself (a link is not followed).
Result<FileInfo> file_info(const std::string &path);

// Makes a second name for an existing file; fails if the new name exists.
Result<void> hard_link(const std::string &existing, const std::string &new_name);

// Creates the file, or empties it when it is there; private to the user.
Result<void> create_empty_file(const std::string &path);

// Adds bytes at the end of an existing file, never through a link at its name.
Result<void> append_to_file(const std::string &path, std::string_view bytes);

// One file whatever its names: equal identities are the same file.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t names = 0; // how many hard links it has
  bool operator==(const FileIdentity &other) const {
    return volume == other.volume && index == other.index;
  }
};
// The identity of the regular file at path, opened without following a symbolic link (or
// any reparse point) at its name. Anything else there fails with the system's text.
Result<FileIdentity> regular_file_identity(const std::string &path);

// A file, or a name, that a call makes and owns until its work is kept: every way out that
// does not keep it removes it again, failures and cancels included, so no failure path
// removes a partial file by hand.
class NewFile {
public:
  // Creates the file new at path (failing when anything has the name, a link included),
  // private to the user, writes all bytes, flushes them to the disk and closes it; with
  // durable_name the folder's entry too (a name that a rename replaces needs no flush of its
  // own). On a failure nothing is left at the name. Removal later takes only this file: when
  // the name leads elsewhere by then, that is someone else's.
  static Result<NewFile> write(const std::string &path, std::string_view bytes, bool durable_name);
  // A name that a program this call starts will fill: whatever it leaves there (a file, a
  // link or a folder) is ours, and removed unless kept.
  static NewFile claim(std::string path);

  NewFile(NewFile &&other) noexcept;
  NewFile &operator=(NewFile &&) = delete;
  NewFile(const NewFile &) = delete;
  ~NewFile();

  const std::string &path() const { return path_; }
  // The work is kept (under this name or one it was moved to): nothing is removed.
  void keep() { kept_ = true; }

private:
  explicit NewFile(std::string path) : path_(std::move(path)) {}
  std::string path_;
  std::optional<FileIdentity> identity_; // set for a file made by write()
  bool kept_ = false;
};

// The folder that holds the running executable.
Result<std::string> executable_folder();

// ---- child processes -------------------------------------------------------------------

// A started child process. While it runs, it and whatever it started can be ended; an
// object destroyed before its child has been seen to end kills and reaps it, so that no path
// leaves a process running or unreaped.
class ChildProcess {
public:
  ChildProcess() = default;
  ChildProcess(std::intptr_t process, std::intptr_t group) : process_(process), group_(group) {}
  ChildProcess(ChildProcess &&other) noexcept
      : process_(std::exchange(other.process_, -1)), group_(std::exchange(other.group_, -1)) {}
  ChildProcess &operator=(ChildProcess &&other) noexcept {
    if (this != &other) {
      release();
      process_ = std::exchange(other.process_, -1);
      group_ = std::exchange(other.group_, -1);
    }
    return *this;
  }
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;
  ~ChildProcess() { release(); }

  // Asks without waiting: the exit code once it has ended (a death by signal counts as a
  // non-zero code), none while it runs. A failure carries the system's text.
  Result<std::optional<int>> poll_exit();
  // Ends the child and what it started, then waits without limit for it; errors ignored.
  void kill();

private:
  void release();

  std::intptr_t process_ = -1; // process id (POSIX) or process handle (Windows)
  std::intptr_t group_ = -1;   // process group (POSIX) or job object (Windows), -1 if none
};

// Starts a program (searched for the way the system's shell would when the name has no
// folder) with separate arguments, without a console window, standard input and output on
// the null device and standard error appended to an existing file. It inherits nothing else.
Result<ChildProcess> start_child(const std::string &program, const std::vector<std::string> &args,
                                 const std::string &stderr_path);

// The reading end of a pipe from a child's standard output; closed with the object.
class ChildOutput {
public:
  ChildOutput() = default;
  explicit ChildOutput(std::intptr_t handle) : handle_(handle) {}
  ChildOutput(ChildOutput &&other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
  ChildOutput &operator=(ChildOutput &&other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, -1);
    }
    return *this;
  }
  ChildOutput(const ChildOutput &) = delete;
  ChildOutput &operator=(const ChildOutput &) = delete;
  ~ChildOutput() { close(); }

  // Waits at most wait_ms for bytes and appends those that came (possibly none). False once
  // every writer has closed its end and everything was read. A failure carries the system's
  // text.
  Result<bool> read(std::string &into, unsigned wait_ms);

private:
  void close();

  std::intptr_t handle_ = -1; // descriptor (POSIX) or pipe handle (Windows)
};

struct ChildWithOutput {
  ChildProcess process;
  ChildOutput output;
};

// As start_child, but with standard output on a pipe that this process reads through
// `output`, and standard error on the null device: the child is given no file to write.
Result<ChildWithOutput> start_child_with_output(const std::string &program,
                                                const std::vector<std::string> &args);

// ---- cryptography ----------------------------------------------------------------------

// SHA-256 over bytes given piece by piece (a file too large to hold, a block at a time).
class Sha256 {
public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256 &) = delete;
  Sha256 &operator=(const Sha256 &) = delete;
  void add(std::string_view bytes);
  // The digest of all the bytes added: 32 raw bytes. Once only.
  std::string finish();

private:
  struct State;
  std::unique_ptr<State> state_;
};

// SHA-256 of the bytes: 32 raw bytes.
inline std::string sha256(std::string_view bytes) {
  Sha256 hash;
  hash.add(bytes);
  return hash.finish();
}

// The platform's protection for the current user, bound to the entropy. Inputs are already
// within the size limit. A failure's text is empty, or a reason the user can act on (such as
// a key file that others can read), which the caller adds to its own message.
// With key_state given, it is set to what the result depended on besides the bytes and the
// entropy (on Linux, a digest of the user key; empty where the platform cannot tell): bytes
// sealed or opened under one state open alike whenever protection_state() gives it again.
Result<std::string> protect_for_user(std::string_view bytes, std::string_view entropy,
                                     std::string *key_state = nullptr);
Result<std::string> unprotect_for_user(std::string_view bytes, std::string_view entropy,
                                       std::string *key_state = nullptr);

// That state now, after the checks opening makes (failing as opening would); empty where the
// platform cannot tell without opening.
Result<std::string> protection_state();

} // namespace vft::platform

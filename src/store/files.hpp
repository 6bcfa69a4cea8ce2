// Where an app keeps its data, the lock that serialises its tool calls, stamped names, the
// atomic replacement of files, and the protection of bytes for the current user.
#pragma once

#include "cancel.hpp"
#include "platform/platform.hpp"
#include "result.hpp"
#include "json/json.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vft::store {

inline constexpr const char *kNoDataHome = "LOCALAPPDATA is unavailable";
inline constexpr const char *kRelativeDataHome =
    "VEYMORA_DATA_HOME must be an absolute folder path (leave it empty for the default)";
inline constexpr const char *kLockHeld = "Another operation still owns the record lock; retry";
inline constexpr const char *kNoParent = "Destination has no parent";
inline constexpr const char *kPayloadTooLarge = "Encrypted payload exceeds 80 MiB";

inline constexpr int kLockAttempts = 100;
inline constexpr unsigned kLockWaitMs = 20;
inline constexpr std::uint64_t kMaxProtectedInput = 83'886'080;

// Hands out stamped names PREFIX-NANOS-PID that strictly increase within the process, and
// the current time in whole seconds. One lives for the whole process.
class Stamper {
public:
  std::string name(std::string_view prefix);
  static std::uint64_t now_seconds();

private:
  std::uint64_t last_nanos_ = 0;
};

// A setting taken from the environment: none when the variable is absent, empty, or still
// the placeholder `${...}` a host passes for a setting the user left empty.
std::optional<std::string> environment_setting(const std::string &name);

// The data folder of an app: VEYMORA_DATA_HOME/APP, else LOCALAPPDATA/Veymora/APP, else
// the platform's own user data folder where it has one. A relative VEYMORA_DATA_HOME is
// refused: it would put the records wherever the host happened to start the program.
Result<std::string> data_folder(const std::string &app);

// The three apps whose store is protected at rest.
bool is_protected_app(std::string_view app);
// The fixed entropy that binds an app's protected store to that app.
std::string_view store_entropy(std::string_view app);
// The store file name of an app: records.dpapi or records.json.
std::string_view store_file_name(std::string_view app);

// Holds the app's lock: up to 100 attempts, 20 ms apart. A cancel ends the wait at once.
Result<platform::FileLock> take_lock(const std::string &folder,
                                     const CancelToken *cancel = nullptr);

// Writes bytes to destination so that it holds either its previous content or exactly these
// bytes: a new temporary file beside it, flushed, then renamed onto it. Runs only under the
// lock of the app whose folder holds destination: it first removes the temporary files that
// killed replacements left in that folder, which no replacement still running can own.
Result<void> atomic_replace(const std::string &destination, std::string_view bytes,
                            Stamper &stamper);

// The process id of a stamped file name PREFIX-NANOS-PID followed by suffix (".tmp"), or
// none when the name is not one.
std::optional<std::uint64_t> stamped_name_owner(std::string_view name, std::string_view prefix,
                                                std::string_view suffix);
// Whether a stamped file name was made by a process that is gone, or by an earlier call of
// this one (whose calls run one at a time).
bool owner_gone(std::string_view name, std::string_view prefix, std::string_view suffix);

// Removes the regular files of a folder whose names stale picks; links and folders are never
// touched. Best effort: a file that cannot be removed stays.
void remove_stale_files(const std::string &folder,
                        const std::function<bool(std::string_view name)> &stale);

// Whether a file name is one of atomic_replace's temporary names: ".write-NANOS-PID.tmp".
bool is_replacement_temporary(std::string_view name);

// The current user's protection, with the size check made before any work.
// key_state as platform::protect_for_user gives it.
Result<std::string> protect(std::string_view bytes, std::string_view entropy,
                            std::string *key_state = nullptr);
Result<std::string> unprotect(std::string_view bytes, std::string_view entropy,
                              std::string *key_state = nullptr);
// platform::protection_state, failing with unprotect's message.
Result<std::string> protection_state();

} // namespace vft::store

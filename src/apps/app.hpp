// What an app's tools receive, and the shape of an app's operation handler.
#pragma once

#include "cancel.hpp"
#include "platform/platform.hpp"
#include "result.hpp"
#include "store/document.hpp"
#include "json/json.hpp"

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace vft::apps {

// A tool stopped on a fault of its own (never on damaged data, which has the store's messages).
inline constexpr const char *kToolFault = "Internal error in this tool: ";

// Tells whoever asked how far a long tool call has come: an amount done of an amount in all
// (seconds, say) and a short message. Empty when nobody asked.
using Progress = std::function<void(double done, double total, std::string_view message)>;

inline constexpr const char *kSavedWithoutLock = "Internal error in this tool: a save after the "
                                                 "store lock was released";

// One tool call after validation: the loaded store (writable), the validated arguments,
// the process's stamper for ids and times, where to report progress, the token that says
// whoever asked has given up (null when nobody can), and the app's store lock the call holds
// (null when the caller holds none of its own).
struct ToolCall {
  std::string_view tool;
  const Json &args;
  store::Store &store;
  store::Stamper &stamper;
  const Progress *progress = nullptr;
  const CancelToken *cancel = nullptr;
  platform::FileLock *lock = nullptr;

  // For a read-only tool that has read what it needs and then waits a long time (a child
  // process): lets another call of the app take the lock meanwhile. The call must not use
  // the store after this; save() then fails.
  void release_lock() {
    if (lock != nullptr) *lock = platform::FileLock();
    lock_released = true;
  }
  bool lock_released = false;

  void report(double done, double total, std::string_view message) const {
    if (progress != nullptr && *progress) (*progress)(done, total, message);
  }
  bool cancelled() const { return cancel != nullptr && cancel->cancelled(); }

  // The records, only to read them (see Store::records).
  const Json &records() { return store.records(); }
  // The records, to change them in any way: the next save writes the whole document.
  Json &records_to_change() { return store.records_to_change(); }
  Result<void> save() {
    if (lock_released) return fail(kSavedWithoutLock);
    return store::save_store(store, stamper);
  }
};

using ToolFunction = Result<Json> (*)(ToolCall &call);

struct ToolEntry {
  std::string_view name;
  ToolFunction run;
  // count_and_add for a tool that adds a record, or reads the records first (see draft_record).
  store::RecordUse records = store::RecordUse::any;
};

// An app's dispatch over its tool names, with its own message for a name it does not know.
struct AppHandler {
  std::string_view unknown_operation;
  std::span<const ToolEntry> tools;
};

Result<Json> dispatch(const AppHandler &handler, ToolCall &call);

// The tool every app lists first: where its store lies, whether it is protected, and how many
// records it holds.
Result<Json> get_storage_info(ToolCall &call);

// How the named tool of the handler uses the records (any way for a name it does not know).
store::RecordUse record_use(const AppHandler &handler, std::string_view tool);

// The handler of one of the seven apps; nullptr for any other name.
const AppHandler *handler_for(std::string_view app);

} // namespace vft::apps

// The store document of an app: loading it under the lock and saving it back whole.
#pragma once

#include "json.hpp"
#include "store/files.hpp"

namespace vft::store {

inline constexpr const char *kStoreTooLargeToLoad = "Record store exceeds 70 MiB";
inline constexpr const char *kStoreTooLargeToSave =
    "Record store exceeds 64 MiB; archive/export unused records";
inline constexpr const char *kStoreTooDeep =
    "Record store would nest deeper than 128 levels; nothing was saved";
inline constexpr const char *kInvalidStore = "Invalid store; original preserved: ";
inline constexpr const char *kUnsupportedStore = "Unsupported record store; original preserved";

inline constexpr std::uint64_t kMaxStoreFile = 73'400'320;
inline constexpr std::uint64_t kMaxStoreDocument = 67'108'864;

// One app's store as a tool call sees it.
struct Store {
  std::string app;
  std::string folder; // the app's data folder
  Json document;

  std::string file_path() const;
};

Json empty_document(const std::string &app);

// Reads the app's store from its folder; a missing file gives the empty store. Never
// changes any file.
Result<Store> load_store(const std::string &app, const std::string &folder);

// Writes the whole document back by atomic replacement. A document that loading would
// refuse (too deep to parse) is never written.
Result<void> save_store(const Store &store, Stamper &stamper);

} // namespace vft::store

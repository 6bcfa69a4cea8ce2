// The store document of an app: loading it under the lock and saving it back whole.
#pragma once

#include "json.hpp"
#include "store/files.hpp"

#include <optional>
#include <string>
#include <vector>

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

// The text a search matches each record against (its compact form without the omitted
// members, lower-cased), made by a session's first search with a query. It belongs to one
// document: it is kept, reused and dropped with it, and dropped by any save.
struct SearchTexts {
  std::vector<std::string> omitted;
  std::string text;              // every record's text, one after another
  std::vector<std::size_t> ends; // where each record's text ends in text
};

// One app's store as a tool call sees it.
struct Store {
  std::string app;
  std::string folder; // the app's data folder
  Json document;
  // The store file's bytes (as stored: protected, for the protected apps) that document was
  // read from or last written as; none from the moment the two may differ.
  std::optional<std::string> file_bytes{};
  // For a protected store: the protection state file_bytes were opened or sealed under.
  std::string key_state{};
  // The memory of the bytes read for a store no session keeps: a save writes its text there
  // rather than into fresh memory.
  std::string spare{};
  // Only ever made while file_bytes is set.
  std::optional<SearchTexts> search_texts{};

  std::string file_path() const;
};

// The one document a session keeps between its tool calls, with the file bytes it equals.
// A call reuses it only when the file holds exactly those bytes; anything else drops it.
class KeptStore {
public:
  void forget();

private:
  friend Result<Store> load_store(const std::string &, const std::string &, KeptStore *);
  friend void keep_store(KeptStore &, Store &&, bool);

  std::string path_;
  std::string bytes_;
  std::string key_state_;
  Json document_;
  std::optional<SearchTexts> search_texts_;
  bool held_ = false;
};

Json empty_document(const std::string &app);

// Reads the app's store from its folder; a missing file gives the empty store. Never
// changes any file. With kept, the document kept there is taken instead of parsing when the
// file's bytes are exactly the ones it came from, and dropped otherwise.
Result<Store> load_store(const std::string &app, const std::string &folder,
                         KeptStore *kept = nullptr);

// Writes the whole document back by atomic replacement. A document that loading would
// refuse (too deep to parse) is never written.
Result<void> save_store(Store &store, Stamper &stamper);

// At the end of a tool call: keeps the document for the session's next call when the call
// succeeded and the document still equals the file; forgets it otherwise (a failed call
// may have changed it in memory, a failed save left the file as it was).
void keep_store(KeptStore &kept, Store &&store, bool call_succeeded);

} // namespace vft::store

// The store document of an app: loading it under the lock and saving it back whole.
#pragma once

#include "json.hpp"
#include "json_fast.hpp"
#include "store/files.hpp"
#include "store/written_form.hpp"

#include <optional>
#include <string>
#include <string_view>
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

// The records of a store loaded for a call that may only count them and add to them, left
// unread: the store's text was found to be exactly the form a save writes, so a save can copy
// their text rather than read and write every record again.
struct UnreadRecords {
  std::string text;        // the store's text (opened, for a protected store)
  ArrayPlace records;      // where the records array lies in text
  std::size_t count = 0;   // how many records it holds
  std::vector<Json> added; // records added since, in order
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
  // While set, document's `records` is an empty stand-in for these; nothing else may read or
  // change it before read_records.
  std::optional<UnreadRecords> unread{};
  // Set while file_bytes are what a save here stored for document: where the records lie in
  // the text it wrote (for a protected store, sealed_text, the text file_bytes seal). A save
  // after records were only added adds their text to that text in place.
  std::optional<ArrayPlace> written_records{};
  std::string sealed_text{};
  // Records add_record put at the end of document's since the load, and whether the call
  // took the records to change them any other way (read_records, or a tool's records()).
  std::size_t records_added = 0;
  bool records_changed = false;

  std::string file_path() const;

  // How many records the store holds, and a new one added at the end: neither needs the
  // records read.
  std::size_t record_count() const;
  void add_record(Json record);
  // Reads the records left unread into document, so that it holds the whole store; after it
  // the call may change them in any way.
  Result<void> read_records();
};

// How a call will use the records: any way (they are read at load), or only to count them and
// add to them, which a store no session keeps can leave unread.
enum class RecordUse { any, count_and_add };

// The one document a session keeps between its tool calls, with the file bytes it equals.
// A call reuses it only when the file holds exactly those bytes; anything else drops it.
class KeptStore {
public:
  void forget();

private:
  friend Result<Store> load_store(const std::string &, const std::string &, KeptStore *, RecordUse);
  friend void keep_store(KeptStore &, Store &&, bool);

  std::string path_;
  std::string bytes_;
  std::string key_state_;
  std::optional<ArrayPlace> written_records_;
  std::string sealed_text_;
  Json document_;
  std::optional<SearchTexts> search_texts_;
  bool held_ = false;
};

Json empty_document(const std::string &app);

// Reads the app's store from its folder; a missing file gives the empty store. Never
// changes any file. With kept, the document kept there is taken instead of parsing when the
// file's bytes are exactly the ones it came from, and dropped otherwise.
Result<Store> load_store(const std::string &app, const std::string &folder,
                         KeptStore *kept = nullptr, RecordUse use = RecordUse::any);

// Writes the whole document back by atomic replacement. A document that loading would
// refuse (too deep to parse) is never written.
Result<void> save_store(Store &store, Stamper &stamper);

// At the end of a tool call: keeps the document for the session's next call when the call
// succeeded and the document still equals the file; forgets it otherwise (a failed call
// may have changed it in memory, a failed save left the file as it was).
void keep_store(KeptStore &kept, Store &&store, bool call_succeeded);

} // namespace vft::store

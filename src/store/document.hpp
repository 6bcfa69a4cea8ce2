// The store document of an app: loading it under the lock and saving it back, and what a
// call knows of the store file's text in between.
#pragma once

#include "store/files.hpp"
#include "store/written_form.hpp"
#include "json/json.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <variant>
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

// What a call knows of the store file's text. Each state holds just what it needs; load_store,
// save_store and the Store functions that take the records are the only moves between them.
//
// The document was read from the whole file, and a session may keep the two together: the
// document is what the file's bytes read as. A save writes the whole document.
struct ReadWhole {
  std::string bytes;     // the file's bytes (encrypted, for a protected store)
  std::string key_state; // for a protected store: the state of the user key they opened under
};

// A one-shot call that only counts the records and adds to them, on a file whose text is
// exactly what our writer gives (written_form.hpp): the document holds every member but the
// records, and its `records` is an empty array until read_records reads them from the text.
// A save adds the new records to the text without reading the others.
struct RecordsUnread {
  std::string text;        // the file's text (decrypted, for a protected store)
  ArrayPlace records;      // where the records array lies in text
  std::size_t count = 0;   // how many records it holds
  std::vector<Json> added; // records added since, in order
};

// The file holds text, which a save here wrote for the document (a store that is not
// protected). A save after records were only added at the end writes their text into it.
struct WrittenByUs {
  std::string text;
  ArrayPlace records;    // where the records lie in text
  std::size_t added = 0; // records add_record put at the end of the document's since
};

// The same for a protected store: the file holds bytes, which are text encrypted.
struct Sealed {
  std::string bytes;
  std::string key_state; // the state of the user key bytes were sealed under
  std::string text;
  ArrayPlace records;
  std::size_t added = 0;
};

// Nothing ties the document to the file: there is no file yet, no session keeps the store, or
// the document may differ from the file. memory is the buffer of the last text read or
// written, which the next save writes into rather than into fresh memory.
struct Untracked {
  std::string memory;
};

using StoreText = std::variant<Untracked, ReadWhole, RecordsUnread, WrittenByUs, Sealed>;

// The states in which the document is what the file's bytes read as: a session may keep those.
using KeptText = std::variant<ReadWhole, WrittenByUs, Sealed>;

// How a call will use the records: any way (they are read at load), or only to count them and
// add to them, which a store no session keeps can leave as text.
enum class RecordUse { any, count_and_add };

class KeptStore;

// One app's store as a tool call sees it.
class Store {
public:
  Store(std::string app, std::string folder, Json document = Json(), StoreText text = Untracked{});

  std::string app;
  std::string folder; // the app's data folder
  // The store's members. Tools take its records through the functions below, which know
  // whether the records have been read and how the next save can write them.
  Json document;

  std::string file_path() const;
  const StoreText &text() const { return text_; }

  // How many records the store holds, and a new one added at the end: neither needs the
  // records read, and a save after records were only added writes just the new ones.
  std::size_t record_count() const;
  void add_record(Json record);

  // The records, only to read them. A call that may get them as text (RecordUse::count_and_add)
  // reads them first with read_records; should one not, they are read here, where a failure
  // can only leave the empty array, which a save never writes over them.
  const Json &records();
  // The records, to change them in any way: the next save writes the whole document.
  Json &records_to_change();
  // Reads the records a RecordsUnread store holds as text into the document, so that it holds
  // the whole store; nothing to do in the other states.
  Result<void> read_records();

  // Where a search keeps the texts it made of the records, while the document is what the
  // file's bytes read as (a session keeps them with it); nullptr otherwise.
  std::optional<SearchTexts> *search_texts();

private:
  friend Result<Store> load_store(const std::string &, const std::string &, KeptStore *, RecordUse);
  friend Result<void> save_store(Store &, Stamper &);
  friend void keep_store(KeptStore &, Store &&, bool);

  StoreText text_;
  std::optional<SearchTexts> search_texts_{};
};

// The one document a session keeps between its tool calls, with the file bytes it equals.
// A call reuses it only when the file holds exactly those bytes; anything else drops it.
class KeptStore {
public:
  void forget() { held_.reset(); }

private:
  friend Result<Store> load_store(const std::string &, const std::string &, KeptStore *, RecordUse);
  friend void keep_store(KeptStore &, Store &&, bool);

  struct Held {
    std::string path;
    Json document;
    KeptText text;
    std::optional<SearchTexts> search_texts;
  };
  std::optional<Held> held_;
};

Json empty_document(const std::string &app);

// Reads the app's store from its folder; a missing file gives the empty store. Never
// changes any file. With kept, the document kept there is taken instead of parsing when the
// file's bytes are exactly the ones it came from, and dropped otherwise. Without, a call that
// only counts and adds records gets them as text (RecordsUnread) where the file allows it.
Result<Store> load_store(const std::string &app, const std::string &folder,
                         KeptStore *kept = nullptr, RecordUse use = RecordUse::any);

// Writes the document back by atomic replacement: into the text held when only records were
// added (RecordsUnread, WrittenByUs, Sealed), else whole. A document that loading would refuse
// (too deep to parse) is never written.
Result<void> save_store(Store &store, Stamper &stamper);

// At the end of a tool call: keeps the document for the session's next call when the call
// succeeded and the document still equals the file; forgets it otherwise (a failed call
// may have changed it in memory, a failed save left the file as it was).
void keep_store(KeptStore &kept, Store &&store, bool call_succeeded);

} // namespace vft::store

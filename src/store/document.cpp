#include "store/document.hpp"

#include "json/fast.hpp"

#include <cassert>

namespace vft::store {

Store::Store(std::string app, std::string folder, Json document, StoreText text)
    : app(std::move(app)), folder(std::move(folder)), document(std::move(document)),
      text_(std::move(text)) {}

std::string Store::file_path() const { return platform::join_path(folder, store_file_name(app)); }

Json empty_document(const std::string &app) {
  return Json{{"app", app}, {"records", Json::array()}, {"schema", 1U}, {"undo", nullptr}};
}

namespace {

// Whether a document is a store of app in the one schema this version reads.
bool supported(const Json &doc, const std::string &app) {
  return doc.is_object() && doc.contains("schema") && doc["schema"].is_number_unsigned() &&
         doc["schema"].get<std::uint64_t>() == 1 && doc.contains("app") && doc["app"].is_string() &&
         doc["app"].get_ref<const std::string &>() == app && doc.contains("records") &&
         doc["records"].is_array();
}

// The document of a store's opened text, or the load's message.
Result<Json> parse_document(const std::string &app, std::string_view text) {
  auto parsed = parse_json(text);
  if (!parsed) return fail(kInvalidStore + parsed.error());
  if (!supported(parsed.value(), app)) return fail(kUnsupportedStore);
  return std::move(parsed.value());
}

// The bytes of a store file as a document, or the load's message.
Result<Json> read_document(const std::string &app, std::string_view bytes,
                           std::string *key_state = nullptr) {
  std::string plain;
  if (is_protected_app(app)) {
    VFT_TRY(plain, unprotect(bytes, store_entropy(app), key_state));
    bytes = plain;
  }
  return parse_document(app, bytes);
}

// The members but the records of a store's opened text as a document, with the records left
// as text, when the text is exactly what our writer gives; none, with text untouched, when it
// is not (the whole text is then read, and words any fault).
using AllButRecords = std::optional<std::pair<Json, RecordsUnread>>;
Result<AllButRecords> read_all_but_records(const std::string &app, std::string &text) {
  auto members = pretty_members(text);
  if (!members) return AllButRecords();
  Json document = Json::object();
  const PrettyMember *records = nullptr;
  for (const auto &member : *members) {
    if (member.key == "records" && member.value.starts_with('[')) {
      records = &member;
      document["records"] = Json::array();
      continue;
    }
    auto value = json_fast::read(member.value);
    if (!value) return AllButRecords();
    document[std::string(member.key)] = std::move(*value);
  }
  if (records == nullptr) return AllButRecords();
  if (!supported(document, app)) return fail(kUnsupportedStore);
  const auto begin = static_cast<std::size_t>(records->value.data() - text.data());
  const ArrayPlace place{begin, begin + records->value.size()};
  const std::size_t count = records->elements;
  return AllButRecords(std::in_place, std::move(document),
                       RecordsUnread{std::move(text), place, count, {}});
}

// The bytes of the file a kept text came from.
const std::string &file_bytes(const KeptText &text) {
  if (const auto *written = std::get_if<WrittenByUs>(&text)) return written->text;
  if (const auto *sealed = std::get_if<Sealed>(&text)) return sealed->bytes;
  return std::get<ReadWhole>(text).bytes;
}

// The state of the user key a protected store's kept bytes were opened or sealed under.
std::string *key_state(KeptText &text) {
  if (auto *whole = std::get_if<ReadWhole>(&text)) return &whole->key_state;
  if (auto *sealed = std::get_if<Sealed>(&text)) return &sealed->key_state;
  return nullptr;
}

StoreText to_store_text(KeptText &&text) {
  return std::visit([](auto &&state) -> StoreText { return std::move(state); }, std::move(text));
}

std::optional<KeptText> to_kept_text(StoreText &&text) {
  if (auto *whole = std::get_if<ReadWhole>(&text)) return KeptText(std::move(*whole));
  if (auto *written = std::get_if<WrittenByUs>(&text)) return KeptText(std::move(*written));
  if (auto *sealed = std::get_if<Sealed>(&text)) return KeptText(std::move(*sealed));
  return std::nullopt;
}

} // namespace

std::size_t Store::record_count() const {
  if (const auto *unread = std::get_if<RecordsUnread>(&text_)) {
    return unread->count + unread->added.size();
  }
  return document.at("records").size();
}

void Store::add_record(Json record) {
  if (auto *unread = std::get_if<RecordsUnread>(&text_)) {
    unread->added.push_back(std::move(record));
    return;
  }
  document["records"].push_back(std::move(record));
  if (auto *written = std::get_if<WrittenByUs>(&text_)) ++written->added;
  if (auto *sealed = std::get_if<Sealed>(&text_)) ++sealed->added;
}

Result<void> Store::read_records() {
  auto *unread = std::get_if<RecordsUnread>(&text_);
  if (unread == nullptr) return {};
  // The text was checked to be exactly what our writer gives, so it reads; a failure here is a
  // fault of that check, which must not turn into an empty store.
  const std::string_view text = unread->text;
  auto records =
      parse_json(text.substr(unread->records.begin, unread->records.end - unread->records.begin));
  if (!records || !records->is_array()) return fail(kUnsupportedStore);
  for (Json &record : unread->added) {
    records->push_back(std::move(record));
  }
  document["records"] = std::move(records.value());
  // No session keeps this store: the text is only memory for the save to write into.
  text_ = Untracked{std::move(unread->text)};
  return {};
}

const Json &Store::records() {
  assert(!std::holds_alternative<RecordsUnread>(text_));
  // Should the reading fail, the empty array stays in the document and the records' text in
  // RecordsUnread, from which a save writes them as they were: the failure can be dropped.
  ignore_failure(read_records());
  return document.at("records");
}

Json &Store::records_to_change() {
  records();
  // The next save cannot add to the text written: it writes the whole document, which the
  // file's bytes still read as until the records change.
  if (auto *written = std::get_if<WrittenByUs>(&text_)) {
    text_ = ReadWhole{std::move(written->text), {}};
  } else if (auto *sealed = std::get_if<Sealed>(&text_)) {
    text_ = ReadWhole{std::move(sealed->bytes), std::move(sealed->key_state)};
  }
  return document["records"];
}

std::optional<SearchTexts> *Store::search_texts() {
  const bool tied = std::holds_alternative<ReadWhole>(text_) ||
                    std::holds_alternative<WrittenByUs>(text_) ||
                    std::holds_alternative<Sealed>(text_);
  return tied ? &search_texts_ : nullptr;
}

Result<Store> load_store(const std::string &app, const std::string &folder, KeptStore *kept,
                         RecordUse use) {
  Store store{app, folder};
  const std::string path = store.file_path();
  // Whatever happens below, what is kept is either handed over or out of date.
  KeptStore unused;
  KeptStore &memory = kept ? *kept : unused;
  std::optional<KeptStore::Held> held = std::move(memory.held_);
  memory.forget();
  // A file whose presence cannot be established is an error, never an empty store that a
  // later save would write over it.
  VFT_TRY(auto exists, platform::file_existence(path));
  if (exists == platform::Existence::missing) {
    store.document = empty_document(app);
    return store;
  }
  // Exactly the bytes the kept document came from: it is what parsing them would give.
  if (held && held->path != path) held.reset();
  VFT_TRY(auto read,
          platform::read_file_unless_known(
              path, kMaxStoreFile,
              held ? std::optional<std::string_view>(file_bytes(held->text)) : std::nullopt));
  if (read.same_as_known) {
    // Whether a protected store still opens for this user (its key replaced, or left open
    // to others) is part of what loading afresh finds. The same bytes under the same key
    // open as they did; otherwise, or where the platform cannot tell, they are opened again.
    if (is_protected_app(app)) {
      std::string *key = key_state(held->text);
      VFT_TRY(auto state, protection_state());
      if (key == nullptr || state.empty() || state != *key) {
        VFT_TRY_VOID(unprotect(file_bytes(held->text), store_entropy(app), key));
      }
    }
    store.document = std::move(held->document);
    store.text_ = to_store_text(std::move(held->text));
    store.search_texts_ = std::move(held->search_texts);
    return store;
  }
  if (!read.bytes) return fail(kStoreTooLargeToLoad);
  std::string &bytes = *read.bytes;
  if (use == RecordUse::count_and_add && kept == nullptr) {
    if (is_protected_app(app)) {
      VFT_TRY(bytes, unprotect(bytes, store_entropy(app)));
    }
    VFT_TRY(auto unread, read_all_but_records(app, bytes));
    if (unread) {
      store.document = std::move((unread)->first);
      store.text_ = std::move((unread)->second);
      return store;
    }
    VFT_TRY(store.document, parse_document(app, bytes));
    store.text_ = Untracked{std::move(bytes)};
    return store;
  }
  std::string key;
  VFT_TRY(store.document, read_document(app, bytes, &key));
  if (kept) {
    store.text_ = ReadWhole{std::move(bytes), std::move(key)};
  } else {
    store.text_ = Untracked{std::move(bytes)};
  }
  return store;
}

namespace {

// The last steps of every save: the size limit, protection, the atomic replacement. Gives the
// bytes stored for a protected store, with the state of the user key they were sealed under;
// nothing for another store, whose bytes are text itself.
struct StoredBytes {
  std::string sealed;
  std::string key_state;
};

Result<StoredBytes> store_text(const Store &store, const std::string &text, Stamper &stamper) {
  if (text.size() > kMaxStoreDocument) return fail(kStoreTooLargeToSave);
  StoredBytes stored;
  const bool is_protected = is_protected_app(store.app);
  if (is_protected) {
    VFT_TRY(stored.sealed, protect(text, store_entropy(store.app), &stored.key_state));
  }
  VFT_TRY_VOID(atomic_replace(store.file_path(), is_protected ? stored.sealed : text, stamper));
  return stored;
}

// The text a save last wrote or a load read, taken out of the state it was held in: from here
// on the document may differ from the file. With where the records lie in it and how many
// the call added, when it is the text a save here wrote.
struct TakenText {
  std::string text;
  std::optional<ArrayPlace> records;
  std::size_t added = 0;
};

TakenText take_text(StoreText &state) {
  TakenText taken;
  if (auto *whole = std::get_if<ReadWhole>(&state)) {
    taken.text = std::move(whole->bytes);
  } else if (auto *written = std::get_if<WrittenByUs>(&state)) {
    taken = {std::move(written->text), written->records, written->added};
  } else if (auto *sealed = std::get_if<Sealed>(&state)) {
    taken = {std::move(sealed->text), sealed->records, sealed->added};
  } else if (auto *untracked = std::get_if<Untracked>(&state)) {
    taken.text = std::move(untracked->memory);
  }
  state = Untracked{};
  return taken;
}

bool has_records_array(const Json &document) {
  const auto records = document.find("records");
  return records != document.end() && records->is_array();
}

} // namespace

Result<void> save_store(Store &store, Stamper &stamper) {
  const std::size_t max_levels = static_cast<std::size_t>(kMaxJsonDepth);
  // Made of the document as it was: any save drops them.
  store.search_texts_.reset();
  if (auto *unread = std::get_if<RecordsUnread>(&store.text_)) {
    // A one-shot call that added records to the text it read: no session keeps the store, so
    // it stays as it is, with the new records in its text.
    auto added = append_in_place(store.document, "records", unread->count, unread->added,
                                 max_levels, unread->text, unread->records);
    if (!added) {
      // The call changed the members before the records: the whole document is written.
      if (auto read = store.read_records(); !read) return read;
      return save_store(store, stamper);
    }
    if (!added->within_levels) return fail(kStoreTooDeep);
    unread->count += unread->added.size();
    unread->added.clear();
    VFT_TRY_VOID(store_text(store, unread->text, stamper));
    return {};
  }
  auto [buffer, written_records, added_records] = take_text(store.text_);
  const bool is_protected = is_protected_app(store.app);
  // Where the document is what text reads back as (settled), with the records where they lie
  // in it, the save ties the two: WrittenByUs, or Sealed for a protected store.
  const auto finish = [&](std::string &text, bool settled, ArrayPlace place) -> Result<void> {
    VFT_TRY(auto stored, store_text(store, text, stamper));
    if (!settled) {
      store.text_ = Untracked{std::move(text)};
    } else if (is_protected) {
      store.text_ =
          Sealed{std::move(stored.sealed), std::move(stored.key_state), std::move(text), place, 0};
    } else {
      store.text_ = WrittenByUs{std::move(text), place, 0};
    }
    return {};
  };
  if (written_records && added_records > 0) {
    // The call only added records to the document last written: they are added to its text.
    const auto &records = store.document["records"].get_ref<const Json::array_t &>();
    const std::size_t before = records.size() - added_records;
    ArrayPlace place = *written_records;
    if (auto added =
            append_in_place(store.document, "records", before, std::span(records).subspan(before),
                            max_levels, buffer, place)) {
      if (!added->within_levels) return fail(kStoreTooDeep);
      return finish(buffer, added->settled || json_fast::settle(store.document), place);
    }
  }
  // The text is written where the file's previous bytes were (it is about as long).
  const std::size_t expected = buffer.size() + 65536;
  buffer.clear();
  buffer.reserve(expected);
  if (!has_records_array(store.document)) {
    bool settled = false;
    auto text = to_pretty_settled(store.document, kMaxJsonDepth, settled, std::move(buffer));
    if (!text) return fail(kStoreTooDeep);
    return finish(*text, false, {});
  }
  ArrayPlace place;
  const auto whole = write_marking(store.document, "records", max_levels, buffer, place);
  if (!whole.within_levels) return fail(kStoreTooDeep);
  return finish(buffer, whole.settled || json_fast::settle(store.document), place);
}

void keep_store(KeptStore &kept, Store &&store, bool call_succeeded) {
  kept.forget();
  if (!call_succeeded) return;
  auto text = to_kept_text(std::move(store.text_));
  if (!text) return;
#ifndef NDEBUG
  // A tool that changed the document without saving it would break the promise above. (A
  // protected store's check reads the user key, which can fail on its own: only a document
  // that reads back differently is a fault.)
  const auto again = read_document(store.app, file_bytes(*text));
  assert(!again || same_json(again.value(), store.document));
#endif
  kept.held_ = KeptStore::Held{store.file_path(), std::move(store.document), std::move(*text),
                               std::move(store.search_texts_)};
}

} // namespace vft::store

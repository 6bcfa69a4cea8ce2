#include "store/document.hpp"

#include "json_fast.hpp"
#include "store/records.hpp"

#include <cassert>

namespace vft::store {

std::string Store::file_path() const { return platform::join_path(folder, store_file_name(app)); }

void KeptStore::forget() {
  held_ = false;
  path_.clear();
  bytes_ = std::string();
  key_state_.clear();
  written_records_.reset();
  sealed_text_ = std::string();
  document_ = Json();
  search_texts_.reset();
}

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
    auto opened = unprotect(bytes, store_entropy(app), key_state);
    if (!opened) return fail(opened.error());
    plain = std::move(opened.value());
    bytes = plain;
  }
  return parse_document(app, bytes);
}

// Reads all but the records of a store's opened text into store, leaving them unread in
// store.unread, when the text is exactly the form a save writes; false, with text and store
// untouched, when it is not (the whole text is then read, and words any fault).
Result<bool> leave_records_unread(Store &store, std::string &text) {
  auto members = pretty_members(text);
  if (!members) return false;
  Json document = Json::object();
  const PrettyMember *records = nullptr;
  for (const auto &member : *members) {
    if (member.key == "records" && member.value.starts_with('[')) {
      records = &member;
      document["records"] = Json::array();
      continue;
    }
    auto value = json_fast::read(member.value);
    if (!value) return false;
    document[std::string(member.key)] = std::move(*value);
  }
  if (records == nullptr) return false;
  if (!supported(document, store.app)) return fail(kUnsupportedStore);
  const auto begin = static_cast<std::size_t>(records->value.data() - text.data());
  const ArrayPlace place{begin, begin + records->value.size()};
  const std::size_t count = records->elements;
  store.document = std::move(document);
  store.unread = UnreadRecords{std::move(text), place, count, {}};
  return true;
}

} // namespace

std::size_t Store::record_count() const {
  return unread ? unread->count + unread->added.size() : document.at("records").size();
}

void Store::add_record(Json record) {
  if (unread) {
    unread->added.push_back(std::move(record));
  } else {
    document["records"].push_back(std::move(record));
    ++records_added;
  }
}

Result<void> Store::read_records() {
  records_changed = true;
  if (!unread) return {};
  // The text was checked to be in the written form, so it reads; a failure here is a fault
  // of that check, which must not turn into an empty store.
  const std::string_view text = unread->text;
  auto records =
      parse_json(text.substr(unread->records.begin, unread->records.end - unread->records.begin));
  if (!records || !records->is_array()) return fail(kUnsupportedStore);
  for (Json &record : unread->added) {
    records->push_back(std::move(record));
  }
  document["records"] = std::move(records.value());
  unread.reset();
  return {};
}

Result<Store> load_store(const std::string &app, const std::string &folder, KeptStore *kept,
                         RecordUse use) {
  Store store{app, folder, Json()};
  const std::string path = store.file_path();
  // Whatever happens below, what is kept is either handed over or out of date.
  KeptStore unused;
  KeptStore &memory = kept ? *kept : unused;
  // A file whose presence cannot be established is an error, never an empty store that a
  // later save would write over it.
  auto exists = platform::file_existence(path);
  if (!exists) {
    memory.forget();
    return fail(exists.error());
  }
  if (exists.value() == platform::Existence::missing) {
    memory.forget();
    store.document = empty_document(app);
    return store;
  }
  // Exactly the bytes the kept document came from: it is what parsing them would give.
  auto read = platform::read_file_unless_known(path, kMaxStoreFile,
                                               memory.held_ && memory.path_ == path
                                                   ? std::optional<std::string_view>(memory.bytes_)
                                                   : std::nullopt);
  if (!read || !read->bytes) {
    if (read && read->same_as_known) {
      // Whether a protected store still opens for this user (its key replaced, or left open
      // to others) is part of what loading afresh finds. The same bytes under the same key
      // open as they did; otherwise, or where the platform cannot tell, they are opened again.
      if (is_protected_app(app)) {
        auto state = protection_state();
        Result<void> opens;
        if (!state) {
          opens = fail(state.error());
        } else if (state->empty() || *state != memory.key_state_) {
          if (auto opened = unprotect(memory.bytes_, store_entropy(app), &memory.key_state_);
              !opened) {
            opens = fail(opened.error());
          }
        }
        if (!opens) {
          memory.forget();
          return fail(opens.error());
        }
        store.key_state = std::move(memory.key_state_);
      }
      store.document = std::move(memory.document_);
      store.file_bytes = std::move(memory.bytes_);
      store.written_records = memory.written_records_;
      store.sealed_text = std::move(memory.sealed_text_);
      store.search_texts = std::move(memory.search_texts_);
      memory.forget();
      return store;
    }
    memory.forget();
    if (!read) return fail(read.error());
    return fail(kStoreTooLargeToLoad);
  }
  std::string &text = *read->bytes;
  memory.forget();
  if (use == RecordUse::count_and_add && kept == nullptr) {
    if (is_protected_app(app)) {
      auto opened = unprotect(text, store_entropy(app), &store.key_state);
      if (!opened) return fail(opened.error());
      text = std::move(opened.value());
    }
    auto unread = leave_records_unread(store, text);
    if (!unread) return fail(unread.error());
    if (unread.value()) return store;
    auto document = parse_document(app, text);
    if (!document) return fail(document.error());
    store.document = std::move(document.value());
    store.spare = std::move(text);
    return store;
  }
  auto document = read_document(app, text, &store.key_state);
  if (!document) return fail(document.error());
  store.document = std::move(document.value());
  if (kept) {
    store.file_bytes = std::move(text);
  } else {
    store.spare = std::move(text);
  }
  return store;
}

namespace {

// The last steps of every save: the size limit, protection, the atomic replacement. Where
// the document is what text reads back as (settled, and records where they lie in it), what
// was stored is kept as the bytes the document equals, with the text itself for a protected
// store.
Result<void> finish_save(Store &store, std::string &text, std::optional<ArrayPlace> settled,
                         Stamper &stamper) {
  if (text.size() > kMaxStoreDocument) return fail(kStoreTooLargeToSave);
  const bool is_protected = is_protected_app(store.app);
  std::string sealed;
  if (is_protected) {
    auto protected_bytes = protect(text, store_entropy(store.app), &store.key_state);
    if (!protected_bytes) return fail(protected_bytes.error());
    sealed = std::move(protected_bytes.value());
  }
  if (auto replaced = atomic_replace(store.file_path(), is_protected ? sealed : text, stamper);
      !replaced) {
    return replaced;
  }
  if (!settled) return {};
  store.written_records = settled;
  store.records_added = 0;
  if (is_protected) {
    store.file_bytes = std::move(sealed);
    store.sealed_text = std::move(text);
  } else {
    store.file_bytes = std::move(text);
  }
  return {};
}

// The memory of the text a save last wrote or a load read, taken from the store, which from
// here on may differ from the file; with where the records lie in it when it is the text a
// save here wrote for the document as it was then.
struct TakenText {
  std::string text;
  std::optional<ArrayPlace> records;
};

TakenText take_text(Store &store) {
  TakenText taken;
  if (store.written_records && store.file_bytes) {
    taken.records = store.written_records;
    taken.text = std::move(is_protected_app(store.app) ? store.sealed_text : *store.file_bytes);
  } else if (store.file_bytes) {
    taken.text = std::move(*store.file_bytes);
  } else {
    taken.text = std::move(store.spare);
  }
  store.file_bytes.reset();
  store.written_records.reset();
  store.sealed_text = std::string();
  store.spare = std::string();
  store.search_texts.reset();
  return taken;
}

bool has_records_array(const Json &document) {
  const auto records = document.find("records");
  return records != document.end() && records->is_array();
}

} // namespace

Result<void> save_store(Store &store, Stamper &stamper) {
  const std::size_t max_levels = static_cast<std::size_t>(kMaxJsonDepth);
  if (store.unread) {
    // A one-shot call that added records to the text it read: no session keeps the store, so
    // nothing is remembered of what was written, but the text stays that of the document.
    UnreadRecords &unread = *store.unread;
    auto added = append_in_place(store.document, "records", unread.count, unread.added, max_levels,
                                 unread.text, unread.records);
    if (!added) {
      // The call changed the members before the records: the whole document is written.
      if (auto read = store.read_records(); !read) return read;
      return save_store(store, stamper);
    }
    if (!added->within_levels) return fail(kStoreTooDeep);
    unread.count += unread.added.size();
    unread.added.clear();
    return finish_save(store, unread.text, std::nullopt, stamper);
  }
  auto [buffer, written_records] = take_text(store);
  if (written_records && !store.records_changed && store.records_added > 0) {
    // The call only added records to the document last written: they are added to its text.
    const auto &records = store.document["records"].get_ref<const Json::array_t &>();
    const std::size_t before = records.size() - store.records_added;
    ArrayPlace place = *written_records;
    if (auto added =
            append_in_place(store.document, "records", before, std::span(records).subspan(before),
                            max_levels, buffer, place)) {
      if (!added->within_levels) return fail(kStoreTooDeep);
      const bool settled = added->settled || json_fast::settle(store.document);
      return finish_save(store, buffer, settled ? std::optional(place) : std::nullopt, stamper);
    }
  }
  // The text is written where the file's previous bytes were (it is about as long): from here
  // until the file holds the new bytes, document and file may differ.
  const std::size_t expected = buffer.size() + 65536;
  buffer.clear();
  buffer.reserve(expected);
  if (!has_records_array(store.document)) {
    bool settled = false;
    auto text = to_pretty_settled(store.document, kMaxJsonDepth, settled, std::move(buffer));
    if (!text) return fail(kStoreTooDeep);
    return finish_save(store, *text, std::nullopt, stamper);
  }
  ArrayPlace place;
  const auto whole = write_marking(store.document, "records", max_levels, buffer, place);
  if (!whole.within_levels) return fail(kStoreTooDeep);
  const bool settled = whole.settled || json_fast::settle(store.document);
  return finish_save(store, buffer, settled ? std::optional(place) : std::nullopt, stamper);
}

void keep_store(KeptStore &kept, Store &&store, bool call_succeeded) {
  kept.forget();
  if (!call_succeeded || !store.file_bytes) return;
#ifndef NDEBUG
  // A tool that changed the document without saving it would break the promise above. (A
  // protected store's check reads the user key, which can fail on its own: only a document
  // that reads back differently is a fault.)
  const auto again = read_document(store.app, *store.file_bytes);
  assert(!again || same_json(again.value(), store.document));
  assert(!store.search_texts || search_texts_match(store.document, *store.search_texts));
#endif
  kept.path_ = store.file_path();
  kept.bytes_ = std::move(*store.file_bytes);
  kept.key_state_ = std::move(store.key_state);
  kept.written_records_ = store.written_records;
  kept.sealed_text_ = std::move(store.sealed_text);
  kept.document_ = std::move(store.document);
  kept.search_texts_ = std::move(store.search_texts);
  kept.held_ = true;
}

} // namespace vft::store

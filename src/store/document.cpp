#include "store/document.hpp"

#include "store/records.hpp"

#include <cassert>

namespace vft::store {

std::string Store::file_path() const { return platform::join_path(folder, store_file_name(app)); }

void KeptStore::forget() {
  held_ = false;
  path_.clear();
  bytes_ = std::string();
  key_state_.clear();
  document_ = Json();
  search_texts_.reset();
}

Json empty_document(const std::string &app) {
  return Json{{"app", app}, {"records", Json::array()}, {"schema", 1U}, {"undo", nullptr}};
}

namespace {

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
  auto parsed = parse_json(bytes);
  if (!parsed) return fail(kInvalidStore + parsed.error());
  Json &doc = parsed.value();
  if (!doc.is_object() || !doc.contains("schema") || !doc["schema"].is_number_unsigned() ||
      doc["schema"].get<std::uint64_t>() != 1 || !doc.contains("app") || !doc["app"].is_string() ||
      doc["app"].get_ref<const std::string &>() != app || !doc.contains("records") ||
      !doc["records"].is_array()) {
    return fail(kUnsupportedStore);
  }
  return std::move(doc);
}

} // namespace

Result<Store> load_store(const std::string &app, const std::string &folder, KeptStore *kept) {
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

Result<void> save_store(Store &store, Stamper &stamper) {
  // The text is written where the file's previous bytes were (it is about as long): from here
  // until the file holds the new bytes, document and file may differ.
  std::string buffer = store.file_bytes ? std::move(*store.file_bytes) : std::move(store.spare);
  store.file_bytes.reset();
  store.spare = std::string();
  store.search_texts.reset();
  // Room for what the call added, taken while the buffer is empty so nothing is copied.
  const std::size_t expected = buffer.size() + 65536;
  buffer.clear();
  buffer.reserve(expected);
  bool settled = false;
  auto written = to_pretty_settled(store.document, kMaxJsonDepth, settled, std::move(buffer));
  if (!written) return fail(kStoreTooDeep);
  std::string text = std::move(*written);
  if (text.size() > kMaxStoreDocument) return fail(kStoreTooLargeToSave);
  if (is_protected_app(store.app)) {
    auto sealed = protect(text, store_entropy(store.app), &store.key_state);
    if (!sealed) return fail(sealed.error());
    text = std::move(sealed.value());
  }
  if (auto replaced = atomic_replace(store.file_path(), text, stamper); !replaced) return replaced;
  if (settled) store.file_bytes = std::move(text);
  return {};
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
  kept.document_ = std::move(store.document);
  kept.search_texts_ = std::move(store.search_texts);
  kept.held_ = true;
}

} // namespace vft::store

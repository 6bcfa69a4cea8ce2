#include "store/document.hpp"

namespace vft::store {

std::string Store::file_path() const {
  return platform::join_path(folder, store_file_name(app));
}

Json empty_document(const std::string &app) {
  return Json{{"app", app}, {"records", Json::array()}, {"schema", 1U}, {"undo", nullptr}};
}

Result<Store> load_store(const std::string &app, const std::string &folder) {
  Store store{app, folder, Json()};
  const std::string path = store.file_path();
  // A file whose presence cannot be established is an error, never an empty store that a
  // later save would write over it.
  auto exists = platform::file_existence(path);
  if (!exists) return fail(exists.error());
  if (exists.value() == platform::Existence::missing) {
    store.document = empty_document(app);
    return store;
  }
  auto bytes = platform::read_file_up_to(path, kMaxStoreFile);
  if (!bytes) return fail(bytes.error());
  if (!bytes.value()) return fail(kStoreTooLargeToLoad);
  std::string text = std::move(*bytes.value());
  if (is_protected_app(app)) {
    auto plain = unprotect(text, store_entropy(app));
    if (!plain) return fail(plain.error());
    text = std::move(plain.value());
  }
  auto parsed = parse_json(text);
  if (!parsed) return fail(kInvalidStore + parsed.error());
  Json &doc = parsed.value();
  if (!doc.is_object() || !doc.contains("schema") || !doc["schema"].is_number_unsigned() ||
      doc["schema"].get<std::uint64_t>() != 1 || !doc.contains("app") || !doc["app"].is_string() ||
      doc["app"].get_ref<const std::string &>() != app || !doc.contains("records") ||
      !doc["records"].is_array()) {
    return fail(kUnsupportedStore);
  }
  store.document = std::move(doc);
  return store;
}

Result<void> save_store(const Store &store, Stamper &stamper) {
  if (!nests_within(store.document, kMaxJsonDepth)) return fail(kStoreTooDeep);
  std::string text = to_pretty(store.document);
  if (text.size() > kMaxStoreDocument) return fail(kStoreTooLargeToSave);
  if (is_protected_app(store.app)) {
    auto sealed = protect(text, store_entropy(store.app));
    if (!sealed) return fail(sealed.error());
    text = std::move(sealed.value());
  }
  return atomic_replace(store.file_path(), text, stamper);
}

} // namespace vft::store

// Reading and correcting document records: search, get, update, archive and restore.
#include "apps/common/record_changes.hpp"
#include "apps/wallet/wallet.hpp"

#include "apps/common/records.hpp"
#include "platform/platform.hpp"
#include "text/unicode.hpp"

#include <array>

namespace vft::apps::wallet {

namespace {

constexpr const char *kInvalidLabel = "Invalid document title or metadata";
constexpr std::size_t kMaxLabelBytes = 200;

bool only_white_space(std::string_view value) { return text::trim_white_space(value).empty(); }

} // namespace

Json document_view(const Json &record, bool with_fields) {
  Json view = record;
  if (view.is_object()) {
    view.erase("blob");
    if (!with_fields) view.erase("fields");
  }
  return view;
}

std::string documents_folder(const store::Store &store) {
  return platform::join_path(store.folder, "documents");
}

Result<Json> search_documents(ToolCall &call) {
  return apps::bounded_search(call.store, call.args, {"fields", "blob"});
}

Result<Json> get_document(ToolCall &call) {
  VFT_TRY(auto record, apps::get_by_id(call.store.document, call.args));
  const auto include = call.args.find("includeFields");
  const bool with_fields =
      include != call.args.end() && include->is_boolean() && include->get<bool>();
  return document_view(record, with_fields);
}

Result<Json> update_document(ToolCall &call) {
  VFT_TRY_VOID(apps::fields_rule(call.args));
  VFT_TRY(auto index, apps::lookup_for_change(call.store.document, call.args));
  // Changes are made on a copy, so that a failing check leaves the record as it was.
  Json record = call.records()[index];
  // A correction stores labels exactly as given, within its own bounds.
  for (const std::string_view name :
       std::array<std::string_view, 3>{"title", "issuer", "expiresOn"}) {
    const auto value = call.args.find(name);
    if (value == call.args.end()) continue;
    if (!value->is_string()) return fail(kMetadataNotText);
    const std::string &text = value->get_ref<const std::string &>();
    if (text.size() > kMaxLabelBytes) return fail(kInvalidLabel);
    if (name == "title" && only_white_space(text)) return fail(kInvalidLabel);
    if (name == "expiresOn" && !text.empty()) {
      VFT_TRY_VOID(apps::date_rule(text));
    }
    record[std::string(name)] = text;
  }
  // New fields replace the old ones as a whole; names left out are gone.
  if (const auto fields = call.args.find("fields"); fields != call.args.end()) {
    record["fields"] = *fields;
  }
  apps::touch(record);
  call.records_to_change()[index] = record;
  VFT_TRY_VOID(call.save());
  return document_view(record, false);
}

Result<Json> archive_document(ToolCall &call) { return apps::set_archived(call, true); }

Result<Json> restore_document(ToolCall &call) { return apps::set_archived(call, false); }

} // namespace vft::apps::wallet

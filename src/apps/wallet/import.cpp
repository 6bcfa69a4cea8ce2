// import_document: a selected file becomes a protected copy with a record beside it.
#include "apps/wallet/rules.hpp"
#include "apps/wallet/wallet.hpp"
#include "text/unicode.hpp"

#include "apps/common/records.hpp"
#include "platform/platform.hpp"
#include "platform/texts.hpp"
#include "store/selected_file.hpp"

#include <array>

namespace vft::apps::wallet {

namespace {

constexpr const char *kMetadataTooLong = "Metadata is too long";
constexpr std::size_t kMaxTitle = 160;
constexpr std::size_t kMaxKind = 100;
constexpr std::size_t kMaxMetadataBytes = 200;

// issuer and expiresOn: optional, stored exactly as given.
Result<void> add_metadata(const Json &args, Json &record) {
  for (const std::string_view name : std::array<std::string_view, 2>{"issuer", "expiresOn"}) {
    const auto value = args.find(name);
    if (value == args.end()) continue;
    if (!value->is_string()) return fail(kMetadataNotText);
    const std::string &text = value->get_ref<const std::string &>();
    if (text.size() > kMaxMetadataBytes) return fail(kMetadataTooLong);
    if (name == "expiresOn" && !text.empty()) {
      if (auto date = apps::date_rule(text); !date) return date;
    }
    record[std::string(name)] = text;
  }
  return {};
}

} // namespace

Result<Json> import_document(ToolCall &call) {
  const Json &args = call.args;
  VFT_TRY_VOID(apps::fields_rule(args));
  VFT_TRY(auto title, apps::required_text(args, "title", kMaxTitle));
  VFT_TRY(auto kind, apps::required_text(args, "kind", kMaxKind));
  VFT_TRY(auto path, apps::text_rule(args, "path"));
  VFT_TRY(auto selected, store::read_selected_file(path));
  const std::string &content = selected.bytes;
  // The name the caller chose promises the type; the content must keep that promise.
  VFT_TRY(auto type,
          check_document_type(text::utf8_decode_lossy(platform::file_name(path)), content));
  const std::string sha256 = store::fingerprint(content);

  Json &records = call.records_to_change();
  if (const Json *twin = apps::active_twin(records, "sha256", sha256)) {
    return Json{{"document", document_view(*twin, false)}, {"duplicate", true}};
  }
  VFT_TRY_VOID(check_capacity(records, content.size()));

  Json record = apps::record_base(call.stamper, title, "doc");
  record["kind"] = kind;
  record["mimeType"] = type.mime_type;
  record["sha256"] = sha256;
  record["bytes"] = static_cast<std::uint64_t>(content.size());
  record["extension"] = type.extension;
  record["originalFilename"] = text::utf8_decode_lossy(platform::file_name(selected.path));
  const auto fields = args.find("fields");
  record["fields"] = fields != args.end() ? *fields : Json::object();
  VFT_TRY_VOID(add_metadata(args, record));
  const std::string blob = record["id"].get<std::string>() + ".dpapi";
  record["blob"] = blob;

  // The content reaches the disk before the record that points at it; a record without
  // its content file is never saved.
  VFT_TRY(auto sealed, store::protect(content, kDocumentEntropy));
  const std::string folder = documents_folder(call.store);
  VFT_TRY_VOID(platform::create_directories(folder));
  // The name is the new record's own: nothing is there yet, and until the save the file goes
  // on every way out.
  VFT_TRY(auto content_file,
          platform::NewFile::write(platform::join_path(folder, blob), sealed, true));
  records.push_back(record);
  if (auto saved = call.save(); !saved) {
    records.erase(records.size() - 1);
    return fail(saved.error());
  }
  content_file.keep();
  return Json{{"document", document_view(record, false)},
              {"duplicate", false},
              {"encryptedAtRest", platform_texts::kProtectionLabel},
              {"sourceUnchanged", true}};
}

} // namespace vft::apps::wallet

// export_document: a document's content, decrypted and checked, written to a new file that
// the user names. The store is not changed.
#include "apps/wallet/rules.hpp"
#include "apps/wallet/wallet.hpp"

#include "apps/common/records.hpp"
#include "platform/platform.hpp"
#include "store/selected_file.hpp"

namespace vft::apps::wallet {

namespace {

constexpr const char *kRestoreFirst = "Restore the document before exporting it";
constexpr const char *kChooseDestination = "Choose an absolute destination in an existing folder";
constexpr const char *kDestinationExists = "Destination already exists; choose a new filename";
constexpr const char *kIntegrityFailed = "Document integrity check failed";
constexpr const char *kExportNote =
    "This selected export is readable outside Wallet; remove it yourself when finished.";

bool is_folder(const std::string &path) {
  auto canonical = platform::canonical_path(path);
  if (!canonical) return false;
  auto info = platform::file_info(canonical.value());
  return info && info->directory;
}

// The destination must be a new name in a folder that exists.
Result<void> check_destination(const std::string &destination) {
  if (!store::is_whole_absolute_path(destination)) return fail(kChooseDestination);
  const auto parent = platform::parent_path(destination);
  if (!parent || !is_folder(*parent)) return fail(kChooseDestination);
  VFT_TRY(auto exists, platform::file_existence(destination));
  // A link that leads nowhere is still something at that name.
  if (exists == platform::Existence::present || platform::file_info(destination)) {
    return fail(kDestinationExists);
  }
  return {};
}

// The decrypted content of the record's file, as it was at import.
Result<std::string> read_content(const store::Store &store, const Json &record) {
  VFT_TRY(auto name, content_file_name(record));
  const std::string path = platform::join_path(documents_folder(store), name);
  VFT_TRY(auto sealed, platform::read_file_up_to(path, store::kMaxProtectedInput));
  if (!sealed) return fail(store::kPayloadTooLarge);
  VFT_TRY(auto content, store::unprotect(*sealed, kDocumentEntropy));
  const auto digest = record.find("sha256");
  if (digest == record.end() || !digest->is_string() ||
      digest->get_ref<const std::string &>() != store::fingerprint(content)) {
    return fail(kIntegrityFailed);
  }
  return content;
}

} // namespace

Result<Json> export_document(ToolCall &call) {
  VFT_TRY(auto index, apps::lookup_by_id(call.store.document, call.args));
  const Json &record = call.records()[index];
  if (apps::is_archived(record)) return fail(kRestoreFirst);
  VFT_TRY(auto destination, apps::text_rule(call.args, "destinationPath"));
  // Everything about the destination is settled before the content is read, and the
  // content is checked before the destination is created.
  VFT_TRY_VOID(check_destination(destination));
  VFT_TRY(auto content, read_content(call.store, record));
  // A copy cut short is never left for the user to mistake for a whole one.
  VFT_TRY(auto copy, platform::NewFile::write(destination, content, true));
  copy.keep();
  return Json{{"bytes", static_cast<std::uint64_t>(content.size())},
              {"note", kExportNote},
              {"path", destination},
              {"plaintextExport", true},
              {"sha256", record["sha256"]}};
}

} // namespace vft::apps::wallet

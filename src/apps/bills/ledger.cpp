#include "apps/bills/ledger.hpp"

#include "apps/bills/money.hpp"
#include "apps/common/records.hpp"
#include "store/selected_file.hpp"
#include "text/unicode.hpp"

#include <array>

namespace vft::apps::bills {

namespace {

// Checked in this order; the first match accepts the file.
constexpr std::array<std::string_view, 5> kEvidenceExtensions = {"pdf", "png", "jpg", "jpeg",
                                                                 "txt"};

} // namespace

bool is_evidence_extension(std::string_view extension) {
  const std::string lowered = text::to_lower(extension);
  for (const std::string_view accepted : kEvidenceExtensions) {
    if (lowered == accepted) return true;
  }
  return false;
}

Result<Json> evidence_step(std::string_view path) {
  VFT_TRY(auto file, store::read_selected_file(path));
  const auto extension = store::file_extension(path);
  if (!extension || !is_evidence_extension(*extension)) return fail(kSelectEvidence);
  return Json{{"bytes", static_cast<std::uint64_t>(file.bytes.size())},
              {"meaning", kEvidenceMeaning},
              {"observedAt", store::Stamper::now_seconds()},
              {"path", text::utf8_decode_lossy(file.path)},
              {"sha256", store::fingerprint(file.bytes)}};
}

Result<std::string> read_currency(const Json &args) {
  VFT_TRY(auto given, apps::required_text(args, "currency", kMaxCurrency));
  std::string code = text::to_upper(given);
  bool letters = code.size() == 3;
  for (const char c : code)
    letters = letters && c >= 'A' && c <= 'Z';
  if (!letters) return fail(kCurrencyCode);
  return code;
}

std::string billing_key(std::string_view provider, std::string_view account_label,
                        std::string_view period_start, std::string_view period_end) {
  std::string key = text::to_lower(provider);
  key += '|';
  key += text::to_lower(account_label);
  key += '|';
  key += period_start;
  key += '|';
  key += period_end;
  return key;
}

Json &array_member(Json &record, const char *name) {
  Json &member = record[name];
  if (!member.is_array()) member = Json::array();
  return member;
}

bool has_text(const Json &record, std::string_view name, std::string_view value) {
  if (!record.is_object()) return false;
  const auto member = record.find(name);
  return member != record.end() && member->is_string() &&
         member->get_ref<const std::string &>() == value;
}

Result<std::size_t> open_bill_for_change(ToolCall &call, const char *archived_message) {
  VFT_TRY(auto index, apps::lookup_for_change(call.store.document, call.args));
  if (apps::is_archived(call.records()[index])) return fail(archived_message);
  return index;
}

Result<Json> commit_bill(ToolCall &call, Json record, std::optional<std::size_t> index) {
  VFT_TRY_VOID(apply_payment_state(record));
  if (index) {
    apps::touch(record);
    call.records_to_change()[*index] = record;
  } else {
    call.store.add_record(record);
  }
  VFT_TRY_VOID(call.save());
  return record;
}

} // namespace vft::apps::bills

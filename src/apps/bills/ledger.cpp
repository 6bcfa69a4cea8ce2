#include "apps/bills/ledger.hpp"

#include "apps/bills/money.hpp"
#include "store/records.hpp"
#include "store/selected_file.hpp"
#include "text/unicode.hpp"

#include <array>

namespace vft::bills {

namespace {

#ifdef _WIN32
constexpr std::string_view kPathSeparators = "\\/";
#else
constexpr std::string_view kPathSeparators = "/";
#endif

// Checked in this order; the first match accepts the file.
constexpr std::array<std::string_view, 5> kEvidenceExtensions = {"pdf", "png", "jpg", "jpeg",
                                                                 "txt"};

// Length of the valid UTF-8 sequence at i, or 0 when the bytes there are not one.
std::size_t valid_sequence_length(std::string_view s, std::size_t i) {
  for (std::size_t length = 1; length <= 4 && i + length <= s.size(); ++length) {
    if (text::is_valid_utf8(s.substr(i, length))) return length;
  }
  return 0;
}

} // namespace

std::optional<std::string_view> file_extension(std::string_view path) {
  const auto separator = path.find_last_of(kPathSeparators);
  const std::string_view name =
      separator == std::string_view::npos ? path : path.substr(separator + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return name.substr(dot + 1);
}

bool is_evidence_extension(std::string_view extension) {
  const std::string lowered = text::to_lower(extension);
  for (const std::string_view accepted : kEvidenceExtensions) {
    if (lowered == accepted) return true;
  }
  return false;
}

std::string to_valid_text(std::string_view bytes) {
  if (text::is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = valid_sequence_length(bytes, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes.substr(i, length));
      i += length;
    }
  }
  return out;
}

Result<Json> evidence_step(std::string_view path) {
  auto file = store::read_selected_file(path);
  if (!file) return fail(file.error());
  const auto extension = file_extension(path);
  if (!extension || !is_evidence_extension(*extension)) return fail(kSelectEvidence);
  return Json{{"bytes", static_cast<std::uint64_t>(file->bytes.size())},
              {"meaning", kEvidenceMeaning},
              {"observedAt", store::Stamper::now_seconds()},
              {"path", to_valid_text(file->path)},
              {"sha256", store::fingerprint(file->bytes)}};
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

bool is_archived(const Json &record) {
  if (!record.is_object()) return false;
  const auto archived = record.find("archived");
  return archived != record.end() && archived->is_boolean() && archived->get<bool>();
}

bool has_text(const Json &record, std::string_view name, std::string_view value) {
  if (!record.is_object()) return false;
  const auto member = record.find(name);
  return member != record.end() && member->is_string() &&
         member->get_ref<const std::string &>() == value;
}

Result<std::size_t> open_bill_for_change(apps::ToolCall &call, const char *archived_message) {
  auto index = store::lookup_by_id(call.store.document, call.args);
  if (!index) return fail(index.error());
  const Json &record = call.records()[index.value()];
  if (auto checked = store::version_check(record, call.args); !checked) {
    return fail(checked.error());
  }
  if (is_archived(record)) return fail(archived_message);
  return index.value();
}

Result<Json> commit_bill(apps::ToolCall &call, Json record) {
  if (auto derived = apply_payment_state(record); !derived) return fail(derived.error());
  Json &records = call.records();
  if (call.args.contains("id")) {
    auto index = store::lookup_by_id(call.store.document, call.args);
    if (!index) return fail(index.error());
    store::touch(record);
    records[index.value()] = record;
  } else {
    records.push_back(record);
  }
  if (auto saved = call.save(); !saved) return fail(saved.error());
  return record;
}

} // namespace vft::bills

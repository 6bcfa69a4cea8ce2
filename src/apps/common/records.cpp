#include "apps/common/records.hpp"

#include "text/unicode.hpp"
#include "json/fast.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vft::apps {

using store::SearchTexts;
using store::Stamper;
using store::Store;

namespace {

// The EN DASH of the required-text message, as UTF-8.
constexpr const char *kRequiredTextStart = " must be 1\xE2\x80\x93";
constexpr const char *kRequiredTextEnd = " characters without NUL";

constexpr std::size_t kMaxFields = 40;
constexpr std::size_t kMaxFieldName = 80;
constexpr std::size_t kMaxFieldValue = 2000;

// Field names that would hold secrets, after lower-casing and removing '_', '-' and ' '.
constexpr std::array<std::string_view, 10> kSecretWords{
    "password", "accesstoken", "refreshtoken", "apikey",     "secret",
    "pin",      "cvv",         "ssn",          "privatekey", "socialsecuritynumber"};

constexpr std::uint64_t kDefaultLimit = 30;
constexpr std::uint64_t kMaxLimit = 100;

// A non-negative integer of any of the integer classes (values built in memory may be
// signed); floating-point numbers are another kind.
std::optional<std::uint64_t> non_negative_integer(const Json *value) {
  if (value == nullptr) return std::nullopt;
  if (value->is_number_unsigned()) return value->get<std::uint64_t>();
  if (value->is_number_integer()) {
    const auto signed_value = value->get<std::int64_t>();
    if (signed_value >= 0) return static_cast<std::uint64_t>(signed_value);
  }
  return std::nullopt;
}

const Json &records_of(const Json &document) {
  static const Json kNoRecords = Json::array();
  const Json *records = find_member(document, "records");
  return records != nullptr && records->is_array() ? *records : kNoRecords;
}

// Reads a date part of ASCII digits only; a sign or any other byte makes it unreadable.
std::optional<unsigned> read_digits(std::string_view part) {
  unsigned value = 0;
  for (const char c : part) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

bool is_leap_year(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned days_in_month(unsigned year, unsigned month) {
  switch (month) {
  case 4:
  case 6:
  case 9:
  case 11:
    return 30;
  case 2:
    return is_leap_year(year) ? 29 : 28;
  default:
    return 31;
  }
}

std::string normalized_field_name(std::string_view name) {
  std::string lower = text::to_lower(name);
  std::string out;
  out.reserve(lower.size());
  for (const char c : lower) {
    if (c != '_' && c != '-' && c != ' ') out += c;
  }
  return out;
}

} // namespace

Json record_base(Stamper &stamper, std::string_view title, std::string_view prefix) {
  Json record = Json::object();
  record["id"] = stamper.name(prefix);
  record["title"] = std::string(title);
  record["version"] = std::uint64_t{1};
  record["createdAt"] = Stamper::now_seconds();
  // Read again: on a second boundary updatedAt may be one greater than createdAt.
  record["updatedAt"] = Stamper::now_seconds();
  record["archived"] = false;
  return record;
}

void touch(Json &record) {
  const auto current = non_negative_integer(find_member(record, "version"));
  record["version"] = current ? *current + 1 : std::uint64_t{1};
  record["updatedAt"] = Stamper::now_seconds();
}

Result<std::string> text_rule(const Json &args, std::string_view name) {
  const Json *value = find_member(args, name);
  if (value == nullptr || !value->is_string()) return fail(std::string(name) + kMustBeText);
  return value->get<std::string>();
}

Result<std::optional<std::string>> optional_text(const Json &args, std::string_view name,
                                                 std::size_t max_bytes) {
  if (find_member(args, name) == nullptr) return std::optional<std::string>();
  VFT_TRY(auto value, text_rule(args, name));
  if (value.size() > max_bytes) return fail(std::string(name) + kTooLong);
  return std::optional<std::string>(std::move(value));
}

std::string required_text_message(std::string_view name, std::size_t max) {
  return std::string(name) + kRequiredTextStart + std::to_string(max) + kRequiredTextEnd;
}

Result<std::string> required_text(const Json &args, std::string_view name, std::size_t max) {
  auto raw = text_rule(args, name);
  if (!raw) return raw;
  const std::string_view trimmed = text::trim_white_space(raw.value());
  if (trimmed.empty() || trimmed.find('\0') != std::string_view::npos ||
      text::scalar_count(trimmed) > max) {
    return fail(required_text_message(name, max));
  }
  return std::string(trimmed);
}

Result<void> date_rule(std::string_view text) {
  std::array<std::string_view, 3> parts;
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t hyphen = text.find('-', start);
    const std::string_view part = text.substr(
        start, hyphen == std::string_view::npos ? std::string_view::npos : hyphen - start);
    if (count == parts.size()) return fail(kDateShape);
    parts[count++] = part;
    if (hyphen == std::string_view::npos) break;
    start = hyphen + 1;
  }
  if (count != 3 || parts[0].size() != 4 || parts[1].size() != 2 || parts[2].size() != 2) {
    return fail(kDateShape);
  }
  // Only digits: a sign would let "2024-+1-01" through and break comparing dates as text.
  const auto year = read_digits(parts[0]);
  const auto month = read_digits(parts[1]);
  const auto day = read_digits(parts[2]);
  if (!year || !month || !day) return fail(kInvalidDate);
  if (*year < 1900 || *year > 2300 || *month < 1 || *month > 12 || *day < 1 ||
      *day > days_in_month(*year, *month)) {
    return fail(kInvalidDate);
  }
  return {};
}

Result<void> fields_rule(const Json &args) {
  const Json *fields = find_member(args, "fields");
  if (fields == nullptr) return {};
  if (!fields->is_object()) return fail(kFieldsNotObject);
  if (fields->size() > kMaxFields) return fail(kTooManyFields);
  for (const auto &[name, value] : fields->items()) {
    const std::string normalized = normalized_field_name(name);
    for (const std::string_view word : kSecretWords) {
      if (normalized.find(word) != std::string::npos) return fail(kSecretField);
    }
    if (name.empty() || name.size() > kMaxFieldName || !value.is_string() ||
        value.get_ref<const std::string &>().size() > kMaxFieldValue) {
      return fail(kFieldShape);
    }
  }
  return {};
}

const Json *active_twin(const Json &records, std::string_view digest, std::string_view sha256) {
  for (const Json &record : records) {
    if (is_archived(record)) continue;
    const Json *found = find_member(record, digest);
    if (found != nullptr && found->is_string() && found->get_ref<const std::string &>() == sha256) {
      return &record;
    }
  }
  return nullptr;
}

bool is_archived(const Json &record) {
  const Json *flag = find_member(record, "archived");
  return flag != nullptr && flag->is_boolean() && flag->get<bool>();
}

Result<std::size_t> lookup_by_id(const Json &document, const Json &args) {
  VFT_TRY(auto id, text_rule(args, "id"));
  const Json &records = records_of(document);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Json *record_id = find_member(records[i], "id");
    if (record_id != nullptr && record_id->is_string() &&
        record_id->get_ref<const std::string &>() == id) {
      return i;
    }
  }
  return fail(kRecordNotFound);
}

Result<Json> get_by_id(const Json &document, const Json &args) {
  VFT_TRY(auto index, lookup_by_id(document, args));
  return records_of(document)[index];
}

Result<void> version_check(const Json &record, const Json &args) {
  const Json *stored = find_member(record, "version");
  const auto expected = non_negative_integer(find_member(args, "expectedVersion"));
  const auto current = non_negative_integer(stored);
  if (expected == current) return {};
  return fail(kVersionConflict + (stored == nullptr ? std::string("null") : to_compact(*stored)));
}

Result<std::size_t> lookup_for_change(const Json &document, const Json &args) {
  VFT_TRY(auto index, lookup_by_id(document, args));
  const Json &record = records_of(document)[index];
  VFT_TRY_VOID(version_check(record, args));
  // The next version would wrap to 0 and look older than every earlier one.
  if (non_negative_integer(find_member(record, "version")) ==
      std::numeric_limits<std::uint64_t>::max()) {
    return fail(kVersionExhausted);
  }
  return index;
}

namespace {

// The text a search matches record against, in out.
void write_search_text(const Json &record, std::span<const std::string_view> omitted,
                       std::string &out) {
  out.clear();
  json_fast::write_compact_except(record, omitted, out);
  text::lower_in_place(out);
}

SearchTexts make_search_texts(const Json &records, std::span<const std::string_view> omitted) {
  SearchTexts texts{{omitted.begin(), omitted.end()}, {}, {}};
  std::string one;
  for (const Json &record : records) {
    write_search_text(record, omitted, one);
    texts.text += one;
    texts.ends.push_back(texts.text.size());
  }
  return texts;
}

bool same_names(const std::vector<std::string> &names, std::span<const std::string_view> omitted) {
  return std::equal(names.begin(), names.end(), omitted.begin(), omitted.end());
}

Json search(const Json &document, const Json &args, std::span<const std::string_view> omitted,
            std::optional<SearchTexts> *kept) {
  const Json *query_argument = find_member(args, "query");
  const std::string query = query_argument != nullptr && query_argument->is_string()
                                ? text::to_lower(query_argument->get_ref<const std::string &>())
                                : std::string();
  const Json *include_argument = find_member(args, "includeArchived");
  const bool include_archived = include_argument != nullptr && include_argument->is_boolean() &&
                                include_argument->get<bool>();
  std::uint64_t limit = non_negative_integer(find_member(args, "limit")).value_or(kDefaultLimit);
  if (limit == 0) limit = 1;
  if (limit > kMaxLimit) limit = kMaxLimit;

  std::vector<std::pair<std::string_view, const std::string *>> filters;
  for (const std::string_view filter : {"folder", "category", "kind"}) {
    const Json *wanted = find_member(args, filter);
    if (wanted != nullptr && wanted->is_string()) {
      filters.emplace_back(filter, &wanted->get_ref<const std::string &>());
    }
  }

  const Json &records = records_of(document);
  // A session's first search with a query writes every record's text once; later searches
  // of the same document only scan it.
  const SearchTexts *texts = nullptr;
  if (kept != nullptr && !query.empty()) {
    if (!*kept || !same_names((*kept)->omitted, omitted) ||
        (*kept)->ends.size() != records.size()) {
      *kept = make_search_texts(records, omitted);
    }
    // Texts kept from an earlier call must be what this document gives.
    assert(search_texts_match(document, **kept));
    texts = &**kept;
  }

  Json kept_records = Json::array();
  std::uint64_t total = 0;
  std::string matched;
  for (std::size_t i = records.size(); i-- > 0;) {
    const Json &record = records[i];
    if (!include_archived && is_archived(record)) continue;
    bool filtered_out = false;
    for (const auto &[name, wanted] : filters) {
      const Json *own = find_member(record, name);
      if (own == nullptr || !own->is_string() || own->get_ref<const std::string &>() != *wanted) {
        filtered_out = true;
        break;
      }
    }
    if (filtered_out) continue;
    if (!query.empty()) {
      std::string_view haystack;
      if (texts != nullptr) {
        const std::size_t begin = i == 0 ? 0 : texts->ends[i - 1];
        haystack = std::string_view(texts->text).substr(begin, texts->ends[i] - begin);
      } else {
        write_search_text(record, omitted, matched);
        haystack = matched;
      }
      if (haystack.find(query) == std::string_view::npos) continue;
    }
    ++total;
    if (kept_records.size() >= limit) continue;
    Json copy = record;
    if (copy.is_object()) {
      for (const std::string_view name : omitted) {
        if (auto found = copy.find(name); found != copy.end()) copy.erase(found);
      }
    }
    kept_records.push_back(std::move(copy));
  }
  return Json{{"limit", limit}, {"records", std::move(kept_records)}, {"total", total}};
}

} // namespace

Json bounded_search(const Json &document, const Json &args,
                    std::initializer_list<std::string_view> omitted) {
  return search(document, args, {omitted.begin(), omitted.size()}, nullptr);
}

Json bounded_search(Store &store, const Json &args,
                    std::initializer_list<std::string_view> omitted) {
  // Texts are kept only with a document a session may keep (one the file's bytes read as).
  return search(store.document, args, {omitted.begin(), omitted.size()}, store.search_texts());
}

bool search_texts_match(const Json &document, const SearchTexts &texts) {
  const std::vector<std::string_view> omitted(texts.omitted.begin(), texts.omitted.end());
  const SearchTexts fresh = make_search_texts(records_of(document), omitted);
  return fresh.text == texts.text && fresh.ends == texts.ends;
}

} // namespace vft::apps

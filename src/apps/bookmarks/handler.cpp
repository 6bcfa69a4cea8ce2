// The bookmarks app: saved http(s) destinations with folder, tags and note. Nothing that
// carries credentials is ever stored, and the stored address is the parser's normal form.
#include "apps/common/record_changes.hpp"
#include "apps/common/records.hpp"
#include "apps/handlers.hpp"
#include "text/unicode.hpp"
#include "text/url.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace vft::apps {

namespace {

constexpr const char *kUnknownOperation = "Unknown bookmark operation";
constexpr const char *kNotAUrl = "Use a complete http or https URL";
constexpr const char *kNotPlainHttp = "Use an http(s) URL without embedded credentials";
constexpr const char *kCredentialParameter =
    "Remove credential-bearing URL parameters before bookmarking";
constexpr const char *kLimitReached = "Bookmark limit reached (5000)";
constexpr const char *kTagsNotArray = "tags must be an array";
constexpr const char *kBadTags = "At most 20 short text tags";

constexpr std::string_view kPrefix = "bookmark";
constexpr std::size_t kMaxRecords = 5000;
constexpr std::size_t kMaxTitle = 160;
constexpr std::size_t kMaxUrl = 4096;
constexpr std::size_t kMaxFolderBytes = 100;
constexpr std::size_t kMaxNoteBytes = 4000;
constexpr std::size_t kMaxTags = 20;
constexpr std::size_t kMaxTagBytes = 80;

// Checked in this order.
constexpr std::array<std::string_view, 2> kSchemes{"https", "http"};

// Query parameter names that carry secrets, compared after lower-casing the decoded name.
constexpr std::array<std::string_view, 7> kCredentialNames{
    "token", "access_token", "refresh_token", "password", "secret", "api_key", "authorization"};

bool accepted_scheme(std::string_view scheme) {
  for (const std::string_view accepted : kSchemes) {
    if (scheme == accepted) return true;
  }
  return false;
}

bool is_credential_name(std::string_view decoded_name) {
  const std::string lower = text::to_lower(decoded_name);
  for (const std::string_view name : kCredentialNames) {
    if (lower == name) return true;
  }
  return false;
}

// The normalised address to store, or why it is refused.
Result<std::string> checked_address(std::string_view trimmed) {
  auto url = text::parse_url(trimmed);
  if (!url) return fail(kNotAUrl);
  if (!accepted_scheme(url->scheme)) return fail(kNotPlainHttp);
  if (!url->has_host() || !url->username.empty() || !url->password.empty()) {
    return fail(kNotPlainHttp);
  }
  // The fragment is never sent to a server, so only the query is examined.
  for (const auto &[name, value] : text::parse_urlencoded(url->query)) {
    if (is_credential_name(name)) return fail(kCredentialParameter);
  }
  return url->href();
}

// folder and note: a string of at most max_bytes UTF-8 bytes, stored as given.
Result<void> apply_bounded_text(const Json &args, std::string_view name, std::size_t max_bytes,
                                Json &record) {
  VFT_TRY(auto value, apps::optional_text(args, name, max_bytes));
  if (value) record[std::string(name)] = std::move(*value);
  return {};
}

Result<void> apply_tags(const Json &args, Json &record) {
  const Json *tags = find_member(args, "tags");
  if (tags == nullptr) return {};
  if (!tags->is_array()) return fail(kTagsNotArray);
  if (tags->size() > kMaxTags) return fail(kBadTags);
  for (const Json &tag : *tags) {
    if (!tag.is_string() || tag.get_ref<const std::string &>().size() > kMaxTagBytes) {
      return fail(kBadTags);
    }
  }
  record["tags"] = *tags;
  return {};
}

Result<Json> search_bookmarks(ToolCall &call) {
  return apps::bounded_search(call.store, call.args, {});
}

Result<Json> get_bookmark(ToolCall &call) {
  return apps::get_by_id(call.store.document, call.args);
}

Result<Json> save_bookmark(ToolCall &call) {
  VFT_TRY(auto title, apps::required_text(call.args, "title", kMaxTitle));
  VFT_TRY(auto raw_url, apps::required_text(call.args, "url", kMaxUrl));
  VFT_TRY(auto address, checked_address(raw_url));

  // Archived bookmarks can be corrected and stay archived.
  VFT_TRY(auto draft, apps::draft_record(call, title, kPrefix, kMaxRecords, kLimitReached));
  Json &record = draft.record;
  record["title"] = title;
  record["url"] = address;
  VFT_TRY_VOID(apply_bounded_text(call.args, "folder", kMaxFolderBytes, record));
  VFT_TRY_VOID(apply_bounded_text(call.args, "note", kMaxNoteBytes, record));
  VFT_TRY_VOID(apply_tags(call.args, record));
  VFT_TRY_VOID(apps::save_draft(call, draft));
  return record;
}

Result<Json> archive_bookmark(ToolCall &call) { return apps::set_archived(call, true); }

Result<Json> restore_bookmark(ToolCall &call) { return apps::set_archived(call, false); }

} // namespace

const AppHandler &bookmarks_handler() {
  static constexpr ToolEntry kTools[] = {
      {"get_storage_info", get_storage_info},
      {"search_bookmarks", search_bookmarks},
      {"get_bookmark", get_bookmark},
      {"save_bookmark", save_bookmark, store::RecordUse::count_and_add},
      {"archive_bookmark", archive_bookmark},
      {"restore_bookmark", restore_bookmark},
  };
  static constexpr AppHandler kHandler{kUnknownOperation, kTools};
  return kHandler;
}

} // namespace vft::apps

// Saved clips: named texts and images kept in the app's encrypted store.
#include "apps/clipboard/clipboard.hpp"
#include "apps/common/record_changes.hpp"
#include "apps/common/records.hpp"

#include <string>

namespace vft::apps::clipboard {

namespace {

constexpr const char *kClipLimit = "Saved clip limit reached (100)";
constexpr const char *kRestoreFirst = "Restore this clip before copying it";
constexpr std::string_view kPrefix = "clip";
constexpr std::size_t kMaxClips = 100;
constexpr std::size_t kMaxTitle = 160;

bool has(const Json &args, std::string_view name) { return args.find(name) != args.end(); }

// The content to save: from the arguments, else the current clipboard for `kind`.
Result<Json> clip_content(const Json &args, const CancelToken *cancel) {
  if (has(args, "text") || has(args, "imagePath")) return content_from_arguments(args);
  const auto kind = args.find("kind");
  VFT_TRY(auto read, read_current(kind == args.end() ? Json("text") : *kind, cancel));
  Json content = std::move(read);
  if (const auto image = content.find("_imageData"); image != content.end()) {
    content["data"] = std::move(*image);
    content.erase("_imageData");
  }
  return content;
}

Json without_content(Json record) {
  record.erase("content");
  return record;
}

} // namespace

Result<Json> search_clips(ToolCall &call) {
  return apps::bounded_search(call.store, call.args, {"content"});
}

Result<Json> get_clip(ToolCall &call) {
  VFT_TRY(auto record, apps::get_by_id(call.store.document, call.args));
  Json result{{"id", record.at("id")},
              {"title", record.at("title")},
              {"version", record.at("version")},
              {"kind", record.at("kind")}};
  const Json &content = record.at("content");
  if (record.at("kind") == "text") {
    result["text"] = content.at("text");
  } else {
    result["_imageData"] = content.at("data");
    result["mimeType"] = "image/png";
  }
  return result;
}

Result<Json> save_clip(ToolCall &call) {
  VFT_TRY(auto title, apps::required_text(call.args, "title", kMaxTitle));
  VFT_TRY(auto content, clip_content(call.args, call.cancel));

  VFT_TRY(auto draft, apps::draft_record(call, title, kPrefix, kMaxClips, kClipLimit));
  Json &record = draft.record;
  record["title"] = title;
  record["kind"] = content.at("kind");
  record["content"] = std::move(content);
  VFT_TRY_VOID(apps::save_draft(call, draft));
  return without_content(std::move(record));
}

Result<Json> copy_saved_clip(ToolCall &call) {
  VFT_TRY(auto index, apps::lookup_by_id(call.store.document, call.args));
  const Json record = call.records()[index];
  if (apps::is_archived(record)) return fail(kRestoreFirst);
  return guarded_write(call, member_or_null(record, "content"));
}

Result<Json> archive_clip(ToolCall &call) { return apps::set_archived(call, true); }

Result<Json> restore_clip(ToolCall &call) { return apps::set_archived(call, false); }

} // namespace vft::apps::clipboard

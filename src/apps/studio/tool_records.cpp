// Registering, correcting and reading tool records.
#include "apps/studio/studio.hpp"

#include "apps/common/records.hpp"
#include "platform/platform.hpp"
#include "platform/texts.hpp"

#include <array>
#include <string_view>

namespace vft::apps::studio {

namespace {

constexpr const char *kIdNotKebab = "id must be lowercase kebab-case";
constexpr const char *kToolExists = "This tool already exists; update the existing record";
constexpr const char *kNoSourceFolder = "sourcePath must be an existing source folder";
constexpr const char *kPatchNotObject = "patch must be an object";
constexpr const char *kCannotPatch = "Cannot patch ";
constexpr const char *kPatchNotBounded = "Patch values must be bounded text";
constexpr const char *kSourceMissing = "Source directory missing";
constexpr const char *kBadVisibility = "visibility must be private or public";

constexpr std::size_t kMaxId = 64;
constexpr std::size_t kMaxName = 100;
constexpr std::size_t kMaxPurpose = 2000;
constexpr std::size_t kMaxSourcePath = 2048;
constexpr std::size_t kMaxPatchValue = 5000; // bytes
constexpr const char *kDefaultToolVersion = "0.1.0";
constexpr const char *kDefaultVisibility = "private";

constexpr std::array<std::string_view, 11> kPatchable{
    "purpose",  "sourcePath", "toolVersion", "visibility",  "pageUrl", "downloadUrl",
    "iconPath", "platform",   "limitations", "packagePath", "category"};

bool is_kebab(std::string_view id) {
  for (const char c : id) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return true;
}

bool id_taken(const Json &records, std::string_view id) {
  for (const Json &record : records) {
    if (!record.is_object()) continue;
    const auto found = record.find("id");
    if (found != record.end() && found->is_string() &&
        found->get_ref<const std::string &>() == id) {
      return true;
    }
  }
  return false;
}

bool is_patchable(std::string_view name) {
  for (const std::string_view candidate : kPatchable) {
    if (candidate == name) return true;
  }
  return false;
}

Result<void> check_patch_member(const std::string &name, const Json &value) {
  if (!is_patchable(name)) return fail(kCannotPatch + name);
  if (!value.is_string() || value.get_ref<const std::string &>().size() > kMaxPatchValue) {
    return fail(kPatchNotBounded);
  }
  const auto &text = value.get_ref<const std::string &>();
  if (name == "sourcePath" && !is_existing_folder(text)) return fail(kSourceMissing);
  if (name == "visibility" && text != "private" && text != "public") {
    return fail(kBadVisibility);
  }
  return {};
}

} // namespace

bool is_existing_folder(const std::string &path) {
  // A path with a NUL would be checked only up to it, and stored whole.
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  auto canonical = platform::canonical_path(path);
  if (!canonical) return false;
  auto info = platform::file_info(canonical.value());
  return info && info->directory;
}

Result<Json> list_free_tools(ToolCall &call) {
  Json result = apps::bounded_search(call.store, call.args, {});
  if (auto records = result.find("records"); records != result.end() && records->is_array()) {
    for (Json &record : *records) {
      if (record.is_object()) record["releaseStatus"] = release_status(record);
    }
  }
  return result;
}

Result<Json> get_free_tool(ToolCall &call) {
  VFT_TRY(auto record, apps::get_by_id(call.store.document, call.args));
  return with_release_status(record);
}

Result<Json> register_free_tool(ToolCall &call) {
  VFT_TRY(auto id, apps::required_text(call.args, "id", kMaxId));
  if (!is_kebab(id)) return fail(kIdNotKebab);
  if (id_taken(call.records(), id)) return fail(kToolExists);
  VFT_TRY(auto name, apps::required_text(call.args, "name", kMaxName));
  VFT_TRY(auto purpose, apps::required_text(call.args, "purpose", kMaxPurpose));
  VFT_TRY(auto source, apps::required_text(call.args, "sourcePath", kMaxSourcePath));
  if (!is_existing_folder(source)) return fail(kNoSourceFolder);

  Json record = apps::record_base(call.stamper, name, "tool");
  record["id"] = id;
  record["purpose"] = purpose;
  record["sourcePath"] = source;
  const auto version = call.args.find("toolVersion");
  record["toolVersion"] = version != call.args.end() ? *version : Json(kDefaultToolVersion);
  const auto visibility = call.args.find("visibility");
  record["visibility"] = visibility != call.args.end() ? *visibility : Json(kDefaultVisibility);
  record["evidence"] = Json::array();
  record["owner"] = nullptr;
  record["platform"] = platform_texts::kStudioPlatform;

  call.records_to_change().push_back(record);
  VFT_TRY_VOID(call.save());
  return record;
}

Result<Json> update_free_tool(ToolCall &call) {
  VFT_TRY(auto index, apps::lookup_for_change(call.store.document, call.args));
  Json &stored = call.records_to_change()[index];
  const auto patch = call.args.find("patch");
  if (patch == call.args.end() || !patch->is_object()) return fail(kPatchNotObject);
  // Every member is checked before any is applied, so one bad member changes nothing.
  for (const auto &[name, value] : patch->items()) {
    VFT_TRY_VOID(check_patch_member(name, value));
  }

  Json record = stored;
  for (const auto &[name, value] : patch->items())
    record[name] = value;
  apps::touch(record);
  stored = record;
  VFT_TRY_VOID(call.save());
  return record;
}

} // namespace vft::apps::studio

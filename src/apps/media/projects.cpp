// Video projects: importing a selected source (checked, fingerprinted and probed, never
// copied or changed) and finding it again by its fingerprint.
#include "apps/media/media.hpp"

#include "apps/common/records.hpp"
#include "platform/platform.hpp"
#include "store/selected_file.hpp"
#include "text/unicode.hpp"

#include <array>

namespace vft::apps::media {

namespace {

constexpr const char *kProjectLimit = "Media project limit reached (500)";
constexpr std::size_t kMaxProjects = 500;
constexpr std::size_t kMaxTitle = 160;

// Checked in this order.
constexpr std::array<std::string_view, 6> kContainerExtensions{"mp4", "mov",  "mkv",
                                                               "avi", "webm", "m4v"};

bool is_container(std::string_view path) {
  const auto extension = store::file_extension(path);
  if (!extension || !text::is_valid_utf8(*extension)) return false;
  const std::string lower = text::to_lower(*extension);
  for (const std::string_view accepted : kContainerExtensions) {
    if (lower == accepted) return true;
  }
  return false;
}

} // namespace

Result<std::string> check_source(const std::string &path) {
  VFT_TRY(auto canonical,
          store::check_selected_file(path, kMaxSourceBytes, {kSelectAbsolute, kSelectRegular}));
  if (!is_container(canonical)) return fail(kContainers);
  return canonical;
}

Result<std::string> fingerprint_file(const std::string &canonical) {
  VFT_TRY(auto digest, store::fingerprint_file(canonical, kMaxSourceBytes));
  // It grew past the limit after it was checked.
  if (!digest) return fail(kSelectRegular);
  return std::move(*digest);
}

Result<Json> import_video(ToolCall &call) {
  VFT_TRY(auto title, apps::required_text(call.args, "title", kMaxTitle));
  VFT_TRY(auto path, apps::text_rule(call.args, "path"));
  VFT_TRY(auto source, check_source(path));
  VFT_TRY(auto sha256, fingerprint_file(source));

  Json &records = call.records_to_change();
  if (const Json *twin = apps::active_twin(records, "sourceSha256", sha256)) {
    return Json{{"duplicate", true}, {"project", *twin}};
  }
  if (records.size() >= kMaxProjects) return fail(kProjectLimit);
  VFT_TRY(auto media, probe_video(call, source));

  Json record = apps::record_base(call.stamper, title, "media");
  record["sourcePath"] = text::utf8_decode_lossy(source);
  record["sourceSha256"] = sha256;
  record["media"] = std::move(media);
  record["edits"] = Json::array();
  record["exports"] = Json::array();
  records.push_back(record);
  VFT_TRY_VOID(call.save());
  return Json{{"duplicate", false}, {"project", record}, {"originalUnchanged", true}};
}

} // namespace vft::apps::media

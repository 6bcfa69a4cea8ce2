// Rendering an edit: FFmpeg's filter graph and argument list, the run under its time limit,
// verification of the output by probing, and a commit that can never replace a file.
#include "apps/media/media.hpp"

#include "apps/common/records.hpp"
#include "platform/platform.hpp"
#include "store/files.hpp"
#include "store/selected_file.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace vft::apps::media {

namespace {

constexpr const char *kArchived = "Restore this project before rendering";
constexpr const char *kEditNotFound = "Edit not found";
constexpr const char *kSourceChanged = "The original source changed; import it as a new project "
                                       "instead of rendering against stale media";
constexpr const char *kBadDestination = "Choose an absolute new MP4 path in an existing folder";
constexpr const char *kDestinationExists = "Destination already exists; exports never overwrite";
constexpr const char *kRenderFailed = "FFmpeg could not render this edit: ";
constexpr const char *kCommitFailed = "Could not commit new output without overwriting: ";
constexpr const char *kNotNewOutput = "The renderer did not leave a new regular file as its output";
constexpr const char *kProgressMessage = "Rendering";
constexpr std::string_view kExportPrefix = "media-export";
constexpr std::string_view kExportSuffix = ".mp4";

constexpr double kPreviewSeconds = 8;
constexpr double kPreviewEdge = 640;
constexpr std::size_t kFailureTail = 1400;
constexpr std::size_t kMaxExports = 30;

std::string fixed(double value, int decimals) {
  char buffer[400];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

unsigned even_floor(double value) { return 2 * static_cast<unsigned>(std::floor(value / 2)); }
unsigned even_ceil(double value) { return 2 * static_cast<unsigned>(std::ceil(value / 2)); }

// atempo takes factors of at least 0.5 per stage; slower speeds are chained halvings.
std::string tempo_chain(double speed) {
  std::string chain;
  double t = speed;
  while (t < 0.5) {
    chain += "atempo=0.5,";
    t *= 2;
  }
  return chain + "atempo=" + fixed(t, 8);
}

// The last count characters of valid UTF-8 text (all of it when shorter).
std::string_view last_characters(std::string_view text, std::size_t count) {
  std::size_t at = text.size();
  std::size_t seen = 0;
  while (at > 0 && seen < count) {
    --at;
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) ++seen;
  }
  return text.substr(at);
}

bool is_mp4_name(std::string_view path) {
  const auto extension = store::file_extension(path);
  if (!extension || extension->size() != 3) return false;
  std::string lower(*extension);
  for (char &c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower == "mp4";
}

bool is_folder(const std::string &path) {
  auto canonical = platform::canonical_path(path);
  if (!canonical) return false;
  auto info = platform::file_info(canonical.value());
  return info && info->directory;
}

// Anything at all under the name (a dangling link included) counts as there.
Result<bool> name_taken(const std::string &path) {
  if (platform::file_info(path)) return true;
  VFT_TRY(auto existence, platform::file_existence(path));
  return existence == platform::Existence::present;
}

double number(const Json &object, const char *name) { return object.at(name).get<double>(); }

// Reports seconds rendered, read from FFmpeg's log at most once a second and only when
// they have grown.
class ProgressReporter {
public:
  ProgressReporter(const ToolCall &call, double total) : call_(call), total_(total) {}

  void poll(const std::string &log_path) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::seconds(1)) return;
    last_ = now;
    auto bytes = platform::read_file_up_to(log_path, kMaxLogRead);
    if (!bytes || !bytes.value()) return;
    // Each segment is cut to whole frames, so the output can run a little past the expected
    // length; a host shows progress over total as a share.
    const double done = std::min(rendered_seconds(*bytes.value()), total_);
    if (done <= sent_) return;
    sent_ = done;
    call_.report(done, total_, kProgressMessage);
  }

private:
  static constexpr std::uint64_t kMaxLogRead = 16'777'216;
  const ToolCall &call_;
  double total_;
  double sent_ = 0;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

} // namespace

RenderPlan plan_render(const Json &timeline, bool source_has_audio, bool preview) {
  const double start = number(timeline, "start");
  double end = number(timeline, "end");
  const double width = number(timeline, "width");
  const double height = number(timeline, "height");
  const double zoom = number(timeline, "zoom");
  const auto muted = timeline.find("muted");

  RenderPlan plan;
  if (preview) {
    end = std::min(end, start + kPreviewSeconds);
    const double f = std::min({kPreviewEdge / width, kPreviewEdge / height, 1.0});
    plan.width = even_floor(width * f);
    plan.height = even_floor(height * f);
  } else {
    plan.width = static_cast<unsigned>(width);
    plan.height = static_cast<unsigned>(height);
  }
  const unsigned zoom_width = even_ceil(plan.width * zoom);
  const unsigned zoom_height = even_ceil(plan.height * zoom);
  plan.audio = source_has_audio && !(muted != timeline.end() && *muted == true);
  plan.segments = split_range(timeline, start, end);

  const std::string volume = to_compact(timeline.at("volume"));
  const std::string box = std::to_string(zoom_width) + ":" + std::to_string(zoom_height);
  const std::string frame = std::to_string(plan.width) + ":" + std::to_string(plan.height);
  std::string labels;
  for (std::size_t i = 0; i < plan.segments.size(); ++i) {
    const Segment &segment = plan.segments[i];
    const std::string from = fixed(segment.start, 6);
    const std::string to = fixed(segment.end, 6);
    const std::string index = std::to_string(i);
    plan.graph += "[0:v:0]trim=start=" + from + ":end=" + to + ",setpts=(PTS-STARTPTS)/" +
                  fixed(segment.speed, 8) + ",scale=" + box +
                  ":force_original_aspect_ratio=decrease,pad=" + box +
                  ":(ow-iw)/2:(oh-ih)/2,crop=" + frame + ",setsar=1,fps=24[v" + index + "];";
    labels += "[v" + index + "]";
    if (plan.audio) {
      plan.graph += "[0:a:0]atrim=start=" + from + ":end=" + to + ",asetpts=PTS-STARTPTS," +
                    tempo_chain(segment.speed) + ",volume=" + volume + "[a" + index + "];";
      labels += "[a" + index + "]";
    }
    plan.expected_duration += (segment.end - segment.start) / segment.speed;
  }
  plan.graph += labels + "concat=n=" + std::to_string(plan.segments.size()) +
                ":v=1:a=" + (plan.audio ? "1" : "0") + "[v]" + (plan.audio ? "[a]" : "");
  return plan;
}

std::vector<std::string> render_arguments(const RenderPlan &plan, const std::string &source,
                                          const std::string &output) {
  std::vector<std::string> args{"-hide_banner",
                                "-nostdin",
                                "-n",
                                "-threads",
                                "2",
                                "-filter_complex_threads",
                                "2",
                                "-protocol_whitelist",
                                "file,pipe",
                                "-i",
                                source,
                                "-filter_complex",
                                plan.graph,
                                "-map",
                                "[v]"};
  if (plan.audio) args.insert(args.end(), {"-map", "[a]", "-c:a", "aac", "-b:a", "128k"});
  args.insert(args.end(), {"-c:v", "libx264", "-preset", "veryfast", "-crf", "20", "-pix_fmt",
                           "yuv420p", "-movflags", "+faststart", output});
  return args;
}

Result<const Json *> find_edit(const Json &project, const Json &edit_id) {
  if (const auto edits = project.find("edits"); edits != project.end() && edits->is_array()) {
    for (const Json &candidate : *edits) {
      const auto id = candidate.find("id");
      if (candidate.is_object() && id != candidate.end() && *id == edit_id) return &candidate;
    }
  }
  return fail(kEditNotFound);
}

Result<std::string> check_unchanged_source(const std::string &path, const std::string &sha256) {
  VFT_TRY(auto source, check_source(path));
  VFT_TRY(auto source_sha256, fingerprint_file(source));
  if (source_sha256 != sha256) return fail(kSourceChanged);
  return source;
}

Result<Json> render_edit(ToolCall &call) {
  const Json &args = call.args;
  VFT_TRY(auto index, apps::lookup_for_change(call.store.document, args));
  Json &project = call.records_to_change()[index];
  if (apps::is_archived(project)) return fail(kArchived);
  VFT_TRY(const Json *edit, find_edit(project, args.at("editId")));

  VFT_TRY(auto source, check_unchanged_source(project.at("sourcePath").get<std::string>(),
                                              project.at("sourceSha256").get<std::string>()));

  VFT_TRY(auto destination, apps::text_rule(args, "destinationPath"));
  const std::string &target = destination;
  const auto folder = platform::parent_path(target);
  if (!store::is_whole_absolute_path(target) || !folder || !is_folder(*folder) ||
      !is_mp4_name(target)) {
    return fail(kBadDestination);
  }
  VFT_TRY(auto taken, name_taken(target));
  if (taken) return fail(kDestinationExists);
  const auto preview_arg = args.find("preview");
  const bool preview = preview_arg != args.end() && *preview_arg == true;

  const RenderPlan plan =
      plan_render(edit->at("timeline"), project.at("media").at("hasAudio") == true, preview);
  // Partial exports of renders that were killed; a render still running elsewhere keeps its.
  store::remove_stale_files(*folder, [](std::string_view name) {
    return store::owner_gone(name, kExportPrefix, kExportSuffix);
  });
  const std::string temporary =
      platform::join_path(*folder, call.stamper.name(kExportPrefix) + std::string(kExportSuffix));
  // Whatever the renderer leaves at this name (a file, a link, a folder) goes on every way
  // out: a failed or cancelled run, a refused output, and the commit, which gives the output
  // its destination's name as its only one.
  const platform::NewFile partial = platform::NewFile::claim(temporary);
  ProgressReporter reporter(call, plan.expected_duration);
  VFT_TRY(const auto run, run_ffmpeg(call, resolve_ffmpeg_path(call.store.document),
                                     render_arguments(plan, source, temporary), kRenderLimitSeconds,
                                     [&](const std::string &log) { reporter.poll(log); }));
  if (!run.success) {
    const std::string text = text::utf8_decode_lossy(run.text);
    return fail(kRenderFailed + std::string(last_characters(text, kFailureTail)));
  }
  // The renderer is the user's program: only a file it made itself, with no other name and
  // no link on the way, is probed, fingerprinted and committed, and the commit must be
  // that same file.
  auto made = platform::regular_file_identity(temporary);
  if (!made || made->names != 1) return fail(kNotNewOutput);
  VFT_TRY(auto media, probe_video(call, temporary));
  VFT_TRY(auto output_sha256, fingerprint_file(temporary));
  if (auto still = platform::regular_file_identity(temporary); !still || !(*still == *made)) {
    return fail(kNotNewOutput);
  }
  if (auto linked = platform::hard_link(temporary, target); !linked) {
    return fail(kCommitFailed + linked.error());
  }
  // The name is the one we just made (the link refuses an existing one).
  platform::NewFile output = platform::NewFile::claim(target);
  if (auto committed = platform::regular_file_identity(target);
      !committed || !(*committed == *made)) {
    return fail(kNotNewOutput);
  }
  output.keep();

  Json receipt{{"id", call.stamper.name("export")},
               {"editId", edit->at("id")},
               {"path", text::utf8_decode_lossy(target)},
               {"sha256", output_sha256},
               {"preview", preview},
               {"media", std::move(media)},
               {"approximateExpectedDuration", std::isfinite(plan.expected_duration)
                                                   ? Json(plan.expected_duration)
                                                   : Json(nullptr)},
               {"recordedAt", store::Stamper::now_seconds()},
               {"sourceUnchanged", true}};
  Json &exports = project["exports"];
  if (!exports.is_array()) exports = Json::array();
  if (exports.size() >= kMaxExports) {
    exports.erase(exports.begin(),
                  exports.begin() + static_cast<std::ptrdiff_t>(exports.size() - kMaxExports + 1));
  }
  exports.push_back(receipt);
  apps::touch(project);
  if (auto saved = call.save(); !saved) {
    return fail("Output exists at " + target +
                "; project record could not be saved: " + saved.error());
  }
  return Json{{"projectId", project["id"]},
              {"projectVersion", project["version"]},
              {"export", std::move(receipt)}};
}

} // namespace vft::apps::media

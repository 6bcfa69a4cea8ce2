// The media app: video projects that point at a selected source, immutable edits, and
// renders through the user's separately installed FFmpeg, run as a child process.
#pragma once

#include "apps/app.hpp"
#include "result.hpp"
#include "json/json.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vft::apps::media {

inline constexpr const char *kUnavailable =
    "FFmpeg is unavailable. Install FFmpeg separately, then use configure_renderer with its "
    "absolute executable path. No download is performed automatically.";
inline constexpr const char *kTimedOut =
    "Render exceeded 120 seconds; use a shorter or smaller edit";
inline constexpr const char *kNoDuration = "Could not read a finite video duration";
inline constexpr const char *kNoVideoStream = "Source has no video stream";
inline constexpr const char *kNoDimensions = "Could not read source dimensions";
inline constexpr const char *kProbeLimits =
    "Media supports finite clips up to 20 minutes and 8192 pixels per edge";
inline constexpr const char *kSelectAbsolute = "Select an absolute local video path";
inline constexpr const char *kSelectRegular = "Select a regular video file up to 2 GiB";
inline constexpr const char *kContainers =
    "Supported video containers: MP4, MOV, MKV, AVI, WebM, M4V";

inline constexpr unsigned kVersionLimitSeconds = 10;
inline constexpr unsigned kProbeLimitSeconds = 15;
inline constexpr unsigned kRenderLimitSeconds = 120;
inline constexpr std::uint64_t kMaxSourceBytes = 2'147'483'648;

// ---- the renderer (renderer.cpp) -------------------------------------------------------

// A finished FFmpeg run: whether it exited with 0, and its standard error as the bytes it
// wrote (not necessarily UTF-8: metadata is printed in whatever encoding the file holds).
struct RunOutcome {
  bool success = false;
  std::string text;
};

// Called about every 100 ms while FFmpeg runs, with the path of the log it writes.
using PollFn = std::function<void(const std::string &log_path)>;

// The stored setting, else VEYMORA_FFMPEG (unless empty or a host's unfilled placeholder),
// else an FFmpeg beside the executable, else the bare name for the system's search.
std::string resolve_ffmpeg_path(const Json &document);

// Runs FFmpeg with its standard error in a fresh log file of the app's data folder, polling
// every 100 ms and killing it after limit_seconds.
Result<RunOutcome> run_ffmpeg(ToolCall &call, const std::string &program,
                              const std::vector<std::string> &args, unsigned limit_seconds,
                              const PollFn &on_poll = {});

// Duration, size and audio presence from FFmpeg's text about one input, within the limits.
Result<Json> parse_probe(std::string_view text);
Result<Json> probe_video(ToolCall &call, const std::string &path);

// Seconds of output written so far, from the last "time=" of FFmpeg's statistics; negative
// when none is there yet.
double rendered_seconds(std::string_view log_text);

// ---- projects (projects.cpp) -----------------------------------------------------------

// A selected source: the checks of an import (absolute, canonical, a regular file of at most
// 2 GiB, a video container). Returns the canonical path.
Result<std::string> check_source(const std::string &path);
// SHA-256 of a checked file, as 64 lowercase hexadecimal digits.
Result<std::string> fingerprint_file(const std::string &canonical);

// ---- edits (timeline.cpp) --------------------------------------------------------------

// The caller's timeline checked against the source's probe and filled with every default.
Result<Json> validate_timeline(const Json &timeline, const Json &media);

// How end compares with start + span × factor (-1, 0, 1), each number taken as the decimal
// its shortest text reads as. All are finite and non-negative.
int compare_end(double start, double end, double span, unsigned factor);

// Playback speed at source second t of a normalized timeline.
double speed_at(const Json &timeline, double t);

struct Segment {
  double start = 0;
  double end = 0;
  double speed = 1;
};
// The rendered range cut into equal parts (32 with a ramp, else 1), each at the speed of
// its midpoint.
std::vector<Segment> split_range(const Json &timeline, double from, double to);

// ---- rendering (render.cpp) ------------------------------------------------------------

struct RenderPlan {
  std::vector<Segment> segments;
  unsigned width = 0;
  unsigned height = 0;
  bool audio = false;
  std::string graph;
  double expected_duration = 0; // seconds of output the segments add up to
};

RenderPlan plan_render(const Json &timeline, bool source_has_audio, bool preview);

// FFmpeg's whole argument list for a plan.
std::vector<std::string> render_arguments(const RenderPlan &plan, const std::string &source,
                                          const std::string &output);

// The edit of the project whose id is edit_id; "Edit not found" when it has none.
Result<const Json *> find_edit(const Json &project, const Json &edit_id);

// The stored source checked again as at import, and its fingerprint compared with the
// stored one: the canonical path, or the message that a changed original gets.
Result<std::string> check_unchanged_source(const std::string &path, const std::string &sha256);

// ---- frames (frames.cpp) ---------------------------------------------------------------

inline constexpr unsigned kFramesLimitSeconds = 30;

// The height of a frame width pixels wide in the source's aspect: even, at least 2.
unsigned frame_height(std::uint64_t source_width, std::uint64_t source_height, unsigned width);

// FFmpeg's argument list for one JPEG per time, in order, width x height, on its standard
// output: for each time, the last frame shown at or before it (the first frame when none is).
std::vector<std::string> frame_arguments(const std::string &source,
                                         const std::vector<double> &times, unsigned width,
                                         unsigned height);

// The JPEG images of a stream of them written one after another; none when the bytes are
// not such a stream.
std::optional<std::vector<std::string_view>> split_jpegs(std::string_view bytes);
} // namespace vft::apps::media

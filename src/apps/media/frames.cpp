// Still frames of a project's source for the edit view: FFmpeg decodes them and writes JPEGs
// to a pipe, so nothing is written to disk, and the store lock is let go before it starts so
// that the app's other calls go on meanwhile.
#include "apps/media/media.hpp"

#include "apps/common/arguments.hpp"
#include "apps/common/records.hpp"
#include "platform/platform.hpp"
#include "text/base64.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace vft::apps::media {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kTimesShape = "times must hold 1 to 6 numbers";
constexpr const char *kTimesRange = "times must be between 0 and ";
constexpr const char *kWidthRule = "width must be an even integer between 80 and 320";
constexpr const char *kFramesFailed = "FFmpeg could not take frames from this source";
constexpr const char *kFramesTimedOut =
    "Frames took longer than 30 seconds; ask for fewer or smaller frames";

constexpr std::size_t kMaxTimes = 6;
constexpr std::uint64_t kMinWidth = 80;
constexpr std::uint64_t kMaxWidth = 320;
constexpr unsigned kDefaultWidth = 160;
constexpr unsigned kMaxHeight = 4096;
// How far before a time the decoding starts, to find the last frame shown at that time.
constexpr double kLookBack = 1.0;
// How far past a time it looks for a first frame, when none is shown at that time yet.
constexpr double kLookAhead = 0.5;
// Half a millisecond: a frame stamped at the time itself counts as shown at it.
constexpr double kAtTime = 0.0005;
constexpr unsigned kPollMs = 50;
// Six JPEGs of at most 320 x 4096 pixels stay far below this.
constexpr std::size_t kMaxOutputBytes = 16'777'216;

std::string fixed(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.6f", value);
  return buffer;
}

// The shortest text that reads back as the number ("10", "9.5").
std::string shortest(double value) {
  char buffer[64];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return error == std::errc() ? std::string(buffer, end) : fixed(value);
}

struct FramesRequest {
  std::vector<double> times;
  Json given_times;
  unsigned width = kDefaultWidth;
};

Result<FramesRequest> read_request(const Json &args, double duration) {
  FramesRequest request;
  const Json &times = args.at("times");
  if (!times.is_array() || times.empty() || times.size() > kMaxTimes) return fail(kTimesShape);
  for (const Json &time : times) {
    if (!time.is_number()) return fail(kTimesShape);
    const double seconds = time.get<double>();
    if (!std::isfinite(seconds) || seconds < 0 || seconds > duration) {
      return fail(kTimesRange + shortest(duration));
    }
    request.times.push_back(seconds);
  }
  request.given_times = times;
  if (const auto width = args.find("width"); width != args.end()) {
    if (!width->is_number_unsigned() || width->get<std::uint64_t>() < kMinWidth ||
        width->get<std::uint64_t>() > kMaxWidth || width->get<std::uint64_t>() % 2 != 0) {
      return fail(kWidthRule);
    }
    request.width = static_cast<unsigned>(width->get<std::uint64_t>());
  }
  return request;
}

// Runs FFmpeg and returns what it wrote, within the deadline and while nobody cancels; the
// child is ended on every way out (ChildProcess ends it when it goes out of scope).
Result<std::string> run_for_output(ToolCall &call, const std::string &program,
                                   const std::vector<std::string> &args,
                                   Clock::time_point deadline) {
  if (call.cancelled()) return fail(kCancelled);
  // The source's fingerprint may have taken the whole bound already.
  if (Clock::now() > deadline) return fail(kFramesTimedOut);
  auto started = platform::start_child_with_output(program, args);
  if (!started) return fail(kUnavailable);
  platform::ChildProcess &child = started->process;
  std::string bytes;
  bool open = true;
  for (;;) {
    if (call.cancelled()) return fail(kCancelled);
    if (Clock::now() > deadline) return fail(kFramesTimedOut);
    if (open) {
      auto more = started->output.read(bytes, kPollMs);
      if (!more) return fail(more.error());
      if (bytes.size() > kMaxOutputBytes) return fail(kFramesFailed);
      open = more.value();
      continue;
    }
    // The output has ended: the child is on its way out.
    VFT_TRY(auto exited, child.poll_exit());
    if (exited) {
      if (*exited != 0) return fail(kFramesFailed);
      return bytes;
    }
    platform::sleep_ms(5);
  }
}

// The length of the JPEG that starts at the beginning of bytes, or 0 when none does.
std::size_t jpeg_length(std::string_view bytes) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() < 4 || at(0) != 0xFF || at(1) != 0xD8) return 0;
  std::size_t i = 2;
  for (;;) {
    if (i + 2 > bytes.size() || at(i) != 0xFF) return 0;
    const unsigned marker = at(i + 1);
    if (marker == 0xD9) return i + 2; // end of image
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      i += 2;
      continue;
    }
    if (i + 4 > bytes.size()) return 0;
    const std::size_t length = (std::size_t{at(i + 2)} << 8) | at(i + 3);
    if (length < 2 || i + 2 + length > bytes.size()) return 0;
    i += 2 + length;
    if (marker != 0xDA) continue;
    // The coded data after a start of scan runs to the next marker that is neither a stuffed
    // 0xFF nor a restart marker.
    while (i + 1 < bytes.size() &&
           !(at(i) == 0xFF && at(i + 1) != 0x00 && !(at(i + 1) >= 0xD0 && at(i + 1) <= 0xD7))) {
      ++i;
    }
  }
}

} // namespace

unsigned frame_height(std::uint64_t source_width, std::uint64_t source_height, unsigned width) {
  if (source_width == 0 || source_height == 0) return width;
  const double exact =
      static_cast<double>(width) * static_cast<double>(source_height) / source_width;
  const auto even = static_cast<unsigned>(std::lround(exact / 2)) * 2;
  return std::clamp(even, 2U, kMaxHeight);
}

std::vector<std::string> frame_arguments(const std::string &source,
                                         const std::vector<double> &times, unsigned width,
                                         unsigned height) {
  std::vector<std::string> args{"-hide_banner", "-nostdin", "-loglevel", "error"};
  std::string graph;
  std::string labels;
  const std::string size = std::to_string(width) + ":" + std::to_string(height);
  for (std::size_t i = 0; i < times.size(); ++i) {
    const double from = std::max(0.0, times[i] - kLookBack);
    const double at = times[i] - from + kAtTime;
    args.insert(args.end(), {"-ss", fixed(from), "-protocol_whitelist", "file,pipe", "-i", source});
    const std::string index = std::to_string(i);
    // Up to a little past the time: the frames shown up to it, or the first one after it when
    // the video has not started yet; the last of them, turned round, comes out first.
    graph += "[" + index + ":v:0]trim=end=" + fixed(at + kLookAhead) + ",select=lte(t\\," +
             fixed(at) + ")+eq(n\\,0),scale=" + size + ",reverse,trim=end_frame=1,setsar=1[f" +
             index + "];";
    labels += "[f" + index + "]";
  }
  // Each frame keeps its own time, turned round or not: numbered anew, they go out in order.
  graph += labels + "concat=n=" + std::to_string(times.size()) + ":v=1:a=0,setpts=N/TB[frames]";
  args.insert(args.end(), {"-filter_complex", graph, "-map", "[frames]", "-vsync", "passthrough",
                           "-c:v", "mjpeg", "-q:v", "3", "-f", "image2pipe", "pipe:1"});
  return args;
}

std::optional<std::vector<std::string_view>> split_jpegs(std::string_view bytes) {
  std::vector<std::string_view> images;
  while (!bytes.empty()) {
    const std::size_t length = jpeg_length(bytes);
    if (length == 0) return std::nullopt;
    images.push_back(bytes.substr(0, length));
    bytes.remove_prefix(length);
  }
  return images;
}

Result<Json> preview_edit_frames(ToolCall &call) {
  // One bound for the whole call, fingerprint and decoding included.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kFramesLimitSeconds);
  VFT_TRY(auto index, apps::lookup_by_id(call.store.document, call.args));
  const Json &project = call.records()[index];
  VFT_TRY_VOID(find_edit(project, call.args.at("editId")));
  const Json &media = project.at("media");
  VFT_TRY(auto request, read_request(call.args, media.at("duration").get<double>()));
  const unsigned height = frame_height(media.at("width").get<std::uint64_t>(),
                                       media.at("height").get<std::uint64_t>(), request.width);
  const std::string path = project.at("sourcePath").get<std::string>();
  const std::string sha256 = project.at("sourceSha256").get<std::string>();
  const std::string program = resolve_ffmpeg_path(call.store.document);
  // Everything needed is read: the app's other calls may go on while the source is checked
  // and decoded.
  call.release_lock();

  VFT_TRY(auto source, check_unchanged_source(path, sha256));
  VFT_TRY(auto bytes,
          run_for_output(call, program,
                         frame_arguments(source, request.times, request.width, height), deadline));
  const auto images = split_jpegs(bytes);
  if (!images || images->size() != request.times.size()) return fail(kFramesFailed);

  Json frames = Json::array();
  Json encoded = Json::array();
  for (std::size_t i = 0; i < images->size(); ++i) {
    frames.push_back(Json{{"time", request.given_times[i]}});
    encoded.push_back(
        Json{{"data", text::base64_encode((*images)[i])}, {"mimeType", "image/jpeg"}});
  }
  return Json{{"_images", std::move(encoded)},
              {"frames", std::move(frames)},
              {"height", height},
              {"width", request.width}};
}

} // namespace vft::apps::media

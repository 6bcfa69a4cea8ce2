// The renderer: which FFmpeg is used, how one run is started, bounded and read back, and
// what a probe of a source reads from FFmpeg's text.
#include "apps/media/media.hpp"

#include "apps/common/arguments.hpp"
#include "platform/platform.hpp"
#include "platform/texts.hpp"
#include "store/files.hpp"
#include "store/selected_file.hpp"
#include "text/unicode.hpp"

#include <charconv>
#include <chrono>
#include <optional>

namespace vft::apps::media {

namespace {

constexpr const char *kVersionFailed = "FFmpeg version check failed";
constexpr unsigned kPollMs = 100;
constexpr std::string_view kLogPrefix = "render";
constexpr std::string_view kLogSuffix = ".log";
constexpr std::string_view kStream = "Stream #";
constexpr double kMaxDuration = 1200;
constexpr std::uint64_t kMaxEdge = 8192;
// A log larger than this is not FFmpeg's text about one short clip; it reads as empty.
constexpr std::uint64_t kMaxLogBytes = 67'108'864;

std::optional<double> parse_double(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint32_t> parse_u32(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

bool is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_white(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && is_white(text.back()))
    text.remove_suffix(1);
  return text;
}

// FFmpeg prints the input's name and metadata (titles, comments: any text, "Video:" or
// "Duration: " included) beside its own description. Only lines that begin with its own
// words describe the input: "Duration: " for the length, "Stream #" for each stream.
std::optional<std::string_view> first_line(const std::vector<std::string_view> &lines,
                                           std::string_view start, std::string_view needle) {
  for (const std::string_view line : lines) {
    if (trim(line).starts_with(start) && line.find(needle) != std::string_view::npos) return line;
  }
  return std::nullopt;
}

std::optional<double> read_duration(const std::vector<std::string_view> &lines) {
  const auto found = first_line(lines, "Duration: ", "Duration: ");
  if (!found) return std::nullopt;
  std::string_view line = *found;
  line.remove_prefix(line.find("Duration: ") + 10);
  line = trim(line.substr(0, line.find(',')));
  std::vector<double> numbers;
  for (const std::string_view piece : split(line, ':')) {
    if (auto value = parse_double(piece)) numbers.push_back(*value);
  }
  if (numbers.size() != 3) return std::nullopt;
  return numbers[0] * 3600 + numbers[1] * 60 + numbers[2];
}

// The frame size: the first token of the form WIDTHxHEIGHT, both unsigned decimals.
std::optional<std::pair<std::uint32_t, std::uint32_t>> read_dimensions(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size()) {
    if (is_white(line[i]) || line[i] == ',') {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < line.size() && !is_white(line[j]) && line[j] != ',')
      ++j;
    const std::string_view token = line.substr(i, j - i);
    i = j;
    const auto x = token.find('x');
    if (x == std::string_view::npos || x == 0) continue;
    const auto width = parse_u32(token.substr(0, x));
    const auto height = parse_u32(token.substr(x + 1));
    if (width && height) return std::make_pair(*width, *height);
  }
  return std::nullopt;
}

bool is_ffmpeg_name(std::string_view name) {
  const std::string_view expected = platform_texts::kFfmpegName;
  if (name.size() != expected.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != expected[i]) return false;
  }
  return true;
}

// An existing regular file, links followed.
bool is_regular_file(const std::string &path) {
  auto canonical = platform::canonical_path(path);
  if (!canonical) return false;
  auto info = platform::file_info(canonical.value());
  return info && info->regular;
}

Result<bool> version_check(ToolCall &call, const std::string &program) {
  VFT_TRY(auto run, run_ffmpeg(call, program, {"-version"}, kVersionLimitSeconds));
  return run.success;
}

} // namespace

std::string resolve_ffmpeg_path(const Json &document) {
  if (document.is_object()) {
    const auto stored = document.find("rendererPath");
    if (stored != document.end() && stored->is_string()) return stored->get<std::string>();
  }
  if (auto configured = store::environment_setting("VEYMORA_FFMPEG")) return *configured;
  if (auto folder = platform::executable_folder()) {
    const std::string beside = platform::join_path(folder.value(), platform_texts::kFfmpegName);
    if (is_regular_file(beside)) return beside;
  }
  return platform_texts::kFfmpegName;
}

Result<RunOutcome> run_ffmpeg(ToolCall &call, const std::string &program,
                              const std::vector<std::string> &args, unsigned limit_seconds,
                              const PollFn &on_poll) {
  if (call.cancelled()) return fail(kCancelled);
  const std::string &folder = call.store.folder;
  VFT_TRY_VOID(platform::create_directories(folder));
  // Logs of runs whose process was killed (the lock is ours, so no run of ours is going on).
  store::remove_stale_files(folder, [](std::string_view name) {
    return store::owner_gone(name, kLogPrefix, kLogSuffix);
  });
  const std::string log =
      platform::join_path(folder, call.stamper.name(kLogPrefix) + std::string(kLogSuffix));
  // Never kept: it goes on every way out.
  const platform::NewFile log_file = platform::NewFile::claim(log);
  VFT_TRY_VOID(platform::create_empty_file(log));

  auto child = platform::start_child(program, args, log);
  if (!child) return fail(kUnavailable);
  const auto started = std::chrono::steady_clock::now();
  const auto limit = std::chrono::seconds(limit_seconds);
  std::optional<std::string> failure;
  int exit_code = 0;
  for (;;) {
    auto exited = child->poll_exit();
    if (!exited) {
      failure = exited.error();
      break;
    }
    if (exited.value()) {
      exit_code = *exited.value();
      break;
    }
    if (std::chrono::steady_clock::now() - started > limit) {
      child->kill();
      failure = kTimedOut;
      break;
    }
    if (call.cancelled()) {
      child->kill();
      failure = kCancelled;
      break;
    }
    if (on_poll) on_poll(log);
    platform::sleep_ms(kPollMs);
  }
  // A failed exit query still ends the child before its log goes.
  child->kill();
  if (failure) return fail(*failure);

  // The bytes as FFmpeg wrote them: the input's metadata may be in any encoding.
  std::string text;
  if (auto bytes = platform::read_file_up_to(log, kMaxLogBytes); bytes && bytes.value()) {
    text = std::move(*bytes.value());
  }
  // FFmpeg does not report a write to its log that failed (a full disk): its text is then
  // cut short or empty. A folder where a byte more cannot be written is one where that may
  // have happened, and its error is the answer rather than what the short text seems to say.
  VFT_TRY_VOID(platform::append_to_file(log, "\n"));
  return RunOutcome{exit_code == 0, std::move(text)};
}

Result<Json> parse_probe(std::string_view text) {
  const std::vector<std::string_view> lines = split(text, '\n');
  const auto duration = read_duration(lines);
  if (!duration) return fail(kNoDuration);
  const auto video = first_line(lines, kStream, "Video:");
  if (!video) return fail(kNoVideoStream);
  const auto size = read_dimensions(*video);
  if (!size) return fail(kNoDimensions);
  const bool has_audio = first_line(lines, kStream, "Audio:").has_value();
  if (!(*duration > 0 && *duration <= kMaxDuration) || size->first > kMaxEdge ||
      size->second > kMaxEdge) {
    return fail(kProbeLimits);
  }
  return Json{{"duration", *duration},
              {"width", static_cast<std::uint64_t>(size->first)},
              {"height", static_cast<std::uint64_t>(size->second)},
              {"hasAudio", has_audio}};
}

Result<Json> probe_video(ToolCall &call, const std::string &path) {
  // Without an output FFmpeg exits non-zero after describing the input; that is expected.
  VFT_TRY(auto run,
          run_ffmpeg(call, resolve_ffmpeg_path(call.store.document),
                     {"-hide_banner", "-nostdin", "-protocol_whitelist", "file,pipe", "-i", path},
                     kProbeLimitSeconds));
  return parse_probe(run.text);
}

double rendered_seconds(std::string_view log_text) {
  const auto at = log_text.rfind("time=");
  if (at == std::string_view::npos) return -1;
  std::string_view value = log_text.substr(at + 5);
  value = value.substr(0, value.find_first_of(" \r\n"));
  const std::vector<std::string_view> parts = split(value, ':');
  if (parts.size() != 3) return -1;
  double seconds = 0;
  for (const std::string_view part : parts) {
    const auto number = parse_double(part);
    if (!number || *number < 0) return -1;
    seconds = seconds * 60 + *number;
  }
  return seconds;
}

Result<Json> get_renderer_status(ToolCall &call) {
  const std::string path = resolve_ffmpeg_path(call.store.document);
  auto available = version_check(call, path);
  const std::string shown = text::utf8_decode_lossy(path);
  if (available && available.value()) {
    return Json{{"available", true}, {"path", shown}, {"downloaded", false}};
  }
  return Json{{"available", false}, {"path", shown}, {"setup", platform_texts::kRendererSetup}};
}

Result<Json> configure_renderer(ToolCall &call) {
  const auto given = call.args.find("path");
  if (given == call.args.end() || !given->is_string())
    return fail(std::string(apps::kInvalidType) + "path");
  const std::string &path = given->get_ref<const std::string &>();
  if (!store::is_whole_absolute_path(path) || !is_regular_file(path) ||
      !is_ffmpeg_name(platform::file_name(path))) {
    return fail(platform_texts::kChooseFfmpeg);
  }
  VFT_TRY(auto works, version_check(call, path));
  if (!works) return fail(kVersionFailed);
  call.store.document["rendererPath"] = path;
  VFT_TRY_VOID(call.save());
  return Json{{"configured", true}, {"path", path}};
}

} // namespace vft::apps::media

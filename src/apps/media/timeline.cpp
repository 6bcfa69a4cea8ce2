// Edits: the timeline validator with its number reader, the speed function of a ramp, the
// equal-part split that rendering plays at constant speeds, and save_edit.
#include "apps/media/media.hpp"

#include "apps/common/records.hpp"
#include "store/document.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace vft::apps::media {

namespace {

constexpr const char *kNotObject = "timeline must be an object";
constexpr const char *kUnknownField = "Unknown timeline field";
constexpr const char *kInvalidDuration = "Invalid source duration";
constexpr const char *kBadTrim = "Choose a trim between 0.15 and 600 seconds";
constexpr const char *kBadDimensions = "Use even integer dimensions up to 1920x1080 or 1080x1920";
constexpr const char *kMutedNotBoolean = "muted must be boolean";
constexpr const char *kRampNotObject = "ramp must be an object";
constexpr const char *kRampShape = "ramp needs exactly start, peak, end and minSpeed";
constexpr const char *kRampOrder = "ramp must have start < peak < end inside the trim";
constexpr const char *kTooSlow =
    "The slowest possible output exceeds ten minutes; shorten the trim";
constexpr const char *kMustBeNumber = " must be a number";
constexpr const char *kBetween = " must be between ";
constexpr const char *kArchived = "Restore this project before editing";
constexpr const char *kEditLimit =
    "Edit limit reached (30); keep a new project for a separate series";

constexpr std::array<std::string_view, 9> kFields{"start",  "end",   "speed", "width", "height",
                                                  "volume", "muted", "zoom",  "ramp"};
constexpr std::array<std::string_view, 4> kRampFields{"start", "peak", "end", "minSpeed"};
constexpr double kMinTrim = 0.15;
constexpr double kMaxSeconds = 600;
constexpr double kMaxArea = 2'073'600;
constexpr std::size_t kRampSegments = 32;
constexpr std::size_t kMaxEdits = 30;
constexpr std::size_t kMaxName = 120;

template <std::size_t N>
bool is_one_of(std::string_view name, const std::array<std::string_view, N> &names) {
  for (const std::string_view candidate : names) {
    if (candidate == name) return true;
  }
  return false;
}

// The fewest plain decimal digits that read back as the same double ("0.125", "1920").
std::string shortest(double value) {
  std::array<char, 512> buffer{};
  const auto [end, error] =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed);
  if (error != std::errc()) return std::to_string(value);
  return std::string(buffer.data(), end);
}

// The number reader: the default when absent, else a JSON number; finite and in range.
Result<double> read_number(const Json &object, std::string_view name, double fallback,
                           double minimum, double maximum) {
  double value = fallback;
  if (const auto given = object.find(name); given != object.end()) {
    if (!given->is_number()) return fail(std::string(name) + kMustBeNumber);
    value = given->get<double>();
  }
  if (!std::isfinite(value) || value < minimum || value > maximum) {
    return fail(std::string(name) + kBetween + shortest(minimum) + " and " + shortest(maximum));
  }
  return value;
}

// A non-negative number as the decimal its shortest text reads as (the text the caller
// wrote, for anything written with up to 15 significant digits), scaled by 10^scale: the
// digits of an exact integer, most significant first.
std::string scaled_digits(double value, std::size_t scale) {
  std::string text = shortest(std::fabs(value));
  std::size_t point = text.find('.');
  if (point == std::string::npos) point = text.size();
  std::string digits = text.substr(0, point);
  const std::string fraction = point < text.size() ? text.substr(point + 1) : "";
  digits += fraction.substr(0, scale);
  digits.append(scale > fraction.size() ? scale - fraction.size() : 0, '0');
  return digits;
}

std::size_t fraction_digits(double value) {
  const std::string text = shortest(std::fabs(value));
  const auto point = text.find('.');
  return point == std::string::npos ? 0 : text.size() - point - 1;
}

// The digits of a + b × factor.
std::string add_times(const std::string &a, const std::string &b, unsigned factor) {
  std::string sum;
  unsigned carry = 0;
  for (std::size_t i = 0; i < std::max(a.size(), b.size()) || carry != 0; ++i) {
    unsigned digit = carry;
    if (i < a.size()) digit += static_cast<unsigned>(a[a.size() - 1 - i] - '0');
    if (i < b.size()) digit += static_cast<unsigned>(b[b.size() - 1 - i] - '0') * factor;
    sum.push_back(static_cast<char>('0' + digit % 10));
    carry = digit / 10;
  }
  std::reverse(sum.begin(), sum.end());
  return sum;
}

int compare_digits(std::string a, std::string b) {
  a.erase(0, std::min(a.find_first_not_of('0'), a.size()));
  b.erase(0, std::min(b.find_first_not_of('0'), b.size()));
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b);
}

} // namespace

// Binary fractions cannot hold most decimals (1.15 is stored a little below it, 5.15 a little
// above), so end - start would refuse some trims of exactly 0.15 s and pass others. The times
// are compared as the decimals they were written as, where every bound is exact.
int compare_end(double start, double end, double span, unsigned factor) {
  const std::size_t scale =
      std::max({fraction_digits(start), fraction_digits(end), fraction_digits(span)});
  const int order =
      compare_digits(scaled_digits(end, scale),
                     add_times(scaled_digits(start, scale), scaled_digits(span, scale), factor));
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

namespace {

bool is_even_whole(double value) {
  return std::floor(value) == value && std::fmod(value, 2.0) == 0.0;
}

Result<Json> validate_ramp(const Json &ramp, double start, double end, double speed) {
  if (!ramp.is_object()) return fail(kRampNotObject);
  if (ramp.size() != kRampFields.size()) return fail(kRampShape);
  for (const auto &[name, value] : ramp.items()) {
    if (!is_one_of(name, kRampFields)) return fail(kRampShape);
  }
  VFT_TRY(auto ramp_start, read_number(ramp, "start", 0, start, end));
  VFT_TRY(auto peak, read_number(ramp, "peak", 0, start, end));
  VFT_TRY(auto ramp_end, read_number(ramp, "end", 0, start, end));
  VFT_TRY(auto min_speed, read_number(ramp, "minSpeed", 0, 0.125, speed));
  if (!(ramp_start < peak && peak < ramp_end)) return fail(kRampOrder);
  return Json{{"start", ramp_start}, {"peak", peak}, {"end", ramp_end}, {"minSpeed", min_speed}};
}

double number(const Json &object, std::string_view name) {
  return object.at(std::string(name)).get<double>();
}

} // namespace

Result<Json> validate_timeline(const Json &timeline, const Json &media) {
  if (!timeline.is_object()) return fail(kNotObject);
  for (const auto &[name, value] : timeline.items()) {
    if (!is_one_of(name, kFields)) return fail(kUnknownField);
  }
  const auto duration = media.is_object() ? media.find("duration") : media.end();
  if (!media.is_object() || duration == media.end() || !duration->is_number()) {
    return fail(kInvalidDuration);
  }
  const double d = duration->get<double>();
  VFT_TRY(auto start, read_number(timeline, "start", 0, 0, d));
  VFT_TRY(auto end, read_number(timeline, "end", d, 0, d));
  if (compare_end(start, end, kMinTrim, 1) < 0 || compare_end(start, end, kMaxSeconds, 1) > 0) {
    return fail(kBadTrim);
  }
  VFT_TRY(auto speed, read_number(timeline, "speed", 1, 0.125, 4));
  VFT_TRY(auto width, read_number(timeline, "width", 1280, 160, 1920));
  VFT_TRY(auto height, read_number(timeline, "height", 720, 160, 1920));
  if (!is_even_whole(width) || !is_even_whole(height) || width * height > kMaxArea) {
    return fail(kBadDimensions);
  }
  VFT_TRY(auto volume, read_number(timeline, "volume", 1, 0, 2));
  VFT_TRY(auto zoom, read_number(timeline, "zoom", 1, 1, 2));
  bool muted = false;
  if (const auto given = timeline.find("muted"); given != timeline.end()) {
    if (!given->is_boolean()) return fail(kMutedNotBoolean);
    muted = given->get<bool>();
  }
  Json normalized{{"start", start},
                  {"end", end},
                  {"speed", speed},
                  {"width", static_cast<std::uint64_t>(width)},
                  {"height", static_cast<std::uint64_t>(height)},
                  {"volume", volume},
                  {"muted", muted},
                  {"zoom", zoom}};
  double lowest = speed;
  if (const auto ramp = timeline.find("ramp"); ramp != timeline.end()) {
    VFT_TRY(auto checked, validate_ramp(*ramp, start, end, speed));
    lowest = number(checked, "minSpeed");
    normalized["ramp"] = std::move(checked);
  }
  // (end - start) / lowest > 600 without the rounding of a division.
  if (compare_end(start, end, lowest, static_cast<unsigned>(kMaxSeconds)) > 0) {
    return fail(kTooSlow);
  }
  return normalized;
}

double speed_at(const Json &timeline, double t) {
  const double s = number(timeline, "speed");
  const auto ramp = timeline.find("ramp");
  if (ramp == timeline.end()) return s;
  const double a = number(*ramp, "start");
  const double p = number(*ramp, "peak");
  const double b = number(*ramp, "end");
  const double m = number(*ramp, "minSpeed");
  if (t < a || t > b) return s;
  const double w = t <= p ? (t - a) / (p - a) : (b - t) / (b - p);
  return s + (m - s) * w;
}

std::vector<Segment> split_range(const Json &timeline, double from, double to) {
  const std::size_t n = timeline.contains("ramp") ? kRampSegments : 1;
  std::vector<Segment> segments;
  segments.reserve(n);
  const double length = to - from;
  for (std::size_t i = 0; i < n; ++i) {
    Segment segment;
    segment.start = from + static_cast<double>(i) * length / static_cast<double>(n);
    segment.end = from + static_cast<double>(i + 1) * length / static_cast<double>(n);
    segment.speed = speed_at(timeline, (segment.start + segment.end) / 2);
    segments.push_back(segment);
  }
  return segments;
}

Result<Json> save_edit(ToolCall &call) {
  VFT_TRY(auto index, apps::lookup_for_change(call.store.document, call.args));
  Json &project = call.records_to_change()[index];
  if (apps::is_archived(project)) return fail(kArchived);
  VFT_TRY(auto name, apps::required_text(call.args, "name", kMaxName));
  VFT_TRY(auto timeline,
          validate_timeline(call.args.at("timeline"), member_or_null(project, "media")));
  Json &edits = project["edits"];
  if (!edits.is_array()) return fail(store::kUnsupportedStore);
  if (edits.size() >= kMaxEdits) return fail(kEditLimit);

  Json edit{{"id", call.stamper.name("edit")},
            {"name", name},
            {"timeline", std::move(timeline)},
            {"createdAt", store::Stamper::now_seconds()}};
  edits.push_back(edit);
  apps::touch(project);
  VFT_TRY_VOID(call.save());
  return Json{{"projectId", project["id"]}, {"projectVersion", project["version"]}, {"edit", edit}};
}

} // namespace vft::apps::media

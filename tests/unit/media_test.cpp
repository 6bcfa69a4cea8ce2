// The media app's pure logic: the probe parser, the timeline validator, the ramp's speed
// function and the filter graph handed to FFmpeg.
#include "apps/media/media.hpp"
#include "platform/platform.hpp"
#include "store/document.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

namespace {

namespace media = vft::apps::media;
using vft::Json;

constexpr const char *kBanner =
    "Input #0, mov,mp4,m4a,3gp,3g2,mj2, from '/tmp/clip.mp4':\n"
    "  Duration: 00:01:02.50, start: 0.000000, bitrate: 250 kb/s\n"
    "  Stream #0:0[0x1](und): Video: h264 (High) (avc1 / 0x31637661), yuv420p(progressive), "
    "1280x720 [SAR 1:1 DAR 16:9], 24 fps\n"
    "  Stream #0:1[0x2](und): Audio: aac (LC) (mp4a / 0x6134706D), 44100 Hz, mono\n"
    "At least one output file must be specified\n";

std::string error_of(const vft::Result<Json> &result) {
  return result ? "(accepted) " + result->dump() : result.error();
}

TEST(MediaProbe, ReadsDurationSizeAndAudio) {
  auto probe = media::parse_probe(kBanner);
  ASSERT_TRUE(probe) << probe.error();
  EXPECT_EQ(*probe,
            (Json{{"duration", 62.5}, {"width", 1280U}, {"height", 720U}, {"hasAudio", true}}));
  EXPECT_TRUE((*probe)["duration"].is_number_float());

  const std::string silent = "Duration: 00:00:03.00, start\nStream #0:0: Video: vp9, 320x240\n";
  EXPECT_EQ(media::parse_probe(silent)->at("hasAudio"), false);

  // The input's name and metadata may hold any text; they describe nothing.
  const std::string tricky =
      "Input #0, matroska, from '/v/Duration: 9:9:9 Video: 9x9 Audio:.mkv':\n"
      "  Metadata:\n    title : Duration: 00:00:09.00 Audio: 2x2\n"
      "  Duration: 00:00:03.00, start\n"
      "    Stream #0:0: Video: vp9, 320x240\n";
  EXPECT_EQ(*media::parse_probe(tricky),
            (Json{{"duration", 3.0}, {"width", 320U}, {"height", 240U}, {"hasAudio", false}}));
}

TEST(MediaProbe, RefusesWhatItCannotRead) {
  EXPECT_EQ(error_of(media::parse_probe("")), "Could not read a finite video duration");
  EXPECT_EQ(error_of(media::parse_probe(
                "Duration: N/A, bitrate: N/A\nStream #0:0: Video: h264, 320x240\n")),
            "Could not read a finite video duration");
  EXPECT_EQ(error_of(media::parse_probe("Duration: 00:00:03.00\nStream #0:1: Audio: aac\n")),
            "Source has no video stream");
  EXPECT_EQ(error_of(media::parse_probe(
                "Duration: 00:00:03.00\nStream #0:0: Video: h264 (0x31), xx, x5\n")),
            "Could not read source dimensions");
  const std::string limits =
      "Media supports finite clips up to 20 minutes and 8192 pixels per edge";
  EXPECT_EQ(
      error_of(media::parse_probe("Duration: 00:20:00.01\nStream #0:0: Video: h264, 320x240\n")),
      limits);
  EXPECT_TRUE(media::parse_probe("Duration: 00:20:00.00\nStream #0:0: Video: h264, 320x240\n"));
  EXPECT_EQ(
      error_of(media::parse_probe("Duration: 00:00:00.00\nStream #0:0: Video: h264, 320x240\n")),
      limits);
  EXPECT_EQ(
      error_of(media::parse_probe("Duration: 00:00:01.00\nStream #0:0: Video: h264, 8194x240\n")),
      limits);
}

TEST(MediaProbe, ReadsRenderedSecondsFromStatistics) {
  EXPECT_LT(media::rendered_seconds("Duration: 00:00:03.00\n"), 0);
  EXPECT_DOUBLE_EQ(
      media::rendered_seconds("frame=1 time=00:00:00.50 bitrate=1\rframe=9 time=00:01:02.25 x\r"),
      62.25);
  EXPECT_LT(media::rendered_seconds("frame=0 time=N/A bitrate=N/A\r"), 0);
}

const Json kTenSeconds{{"duration", 10.0}, {"width", 320U}, {"height", 240U}, {"hasAudio", true}};

TEST(MediaTimeline, FillsDefaults) {
  auto normalized = media::validate_timeline(Json::object(), kTenSeconds);
  ASSERT_TRUE(normalized) << normalized.error();
  EXPECT_EQ(*normalized, (Json{{"start", 0.0},
                               {"end", 10.0},
                               {"speed", 1.0},
                               {"width", 1280U},
                               {"height", 720U},
                               {"volume", 1.0},
                               {"muted", false},
                               {"zoom", 1.0}}));
  EXPECT_TRUE((*normalized)["start"].is_number_float());
  auto whole = media::validate_timeline(Json{{"width", 1280.0}, {"start", 1}}, kTenSeconds);
  ASSERT_TRUE(whole);
  EXPECT_TRUE((*whole)["width"].is_number_unsigned());
  EXPECT_TRUE((*whole)["start"].is_number_float());
}

TEST(MediaTimeline, RefusesWithTheFieldsMessages) {
  const Json long_source{{"duration", 1000.0}};
  const std::pair<Json, std::string> cases[] = {
      {Json::array(), "timeline must be an object"},
      {Json{{"fps", 24}}, "Unknown timeline field"},
      {Json{{"start", "1"}}, "start must be a number"},
      {Json{{"end", 11}}, "end must be between 0 and 10"},
      {Json{{"start", 5}, {"end", 5.1}}, "Choose a trim between 0.15 and 600 seconds"},
      {Json{{"start", 6}, {"end", 5}}, "Choose a trim between 0.15 and 600 seconds"},
      {Json{{"speed", 0.1}}, "speed must be between 0.125 and 4"},
      {Json{{"width", 1921}}, "width must be between 160 and 1920"},
      {Json{{"width", 1081}, {"height", 1920}},
       "Use even integer dimensions up to 1920x1080 or 1080x1920"},
      {Json{{"width", 1920}, {"height", 1920}},
       "Use even integer dimensions up to 1920x1080 or 1080x1920"},
      {Json{{"width", 640.5}}, "Use even integer dimensions up to 1920x1080 or 1080x1920"},
      {Json{{"volume", 2.5}}, "volume must be between 0 and 2"},
      {Json{{"zoom", 0.5}}, "zoom must be between 1 and 2"},
      {Json{{"muted", 1}}, "muted must be boolean"},
      {Json{{"ramp", 1}}, "ramp must be an object"},
      {Json{{"ramp", {{"start", 1}, {"peak", 2}, {"end", 3}}}},
       "ramp needs exactly start, peak, end and minSpeed"},
      {Json{{"ramp", {{"start", 2}, {"peak", 2}, {"end", 3}, {"minSpeed", 0.5}}}},
       "ramp must have start < peak < end inside the trim"},
      {Json{{"start", 1}, {"ramp", {{"start", 0.5}, {"peak", 2}, {"end", 3}, {"minSpeed", 0.5}}}},
       "start must be between 1 and 10"},
      {Json{{"ramp", {{"start", 1}, {"peak", 2}, {"end", 3}, {"minSpeed", 1.5}}}},
       "minSpeed must be between 0.125 and 1"},
  };
  for (const auto &[timeline, message] : cases) {
    EXPECT_EQ(error_of(media::validate_timeline(timeline, kTenSeconds)), message) << timeline;
  }
  EXPECT_EQ(error_of(media::validate_timeline(Json::object(), Json{{"duration", "10"}})),
            "Invalid source duration");
  EXPECT_EQ(error_of(media::validate_timeline(Json{{"end", 600}, {"speed", 0.5}}, long_source)),
            "The slowest possible output exceeds ten minutes; shorten the trim");
  EXPECT_TRUE(media::validate_timeline(
      Json{{"end", 300}, {"ramp", {{"start", 1}, {"peak", 2}, {"end", 3}, {"minSpeed", 0.5}}}},
      long_source));
}

TEST(MediaTimeline, TrimsAreComparedAsTheDecimalsWritten) {
  const Json source{{"duration", 1200.0}};
  const auto check = [&](double start, double end, double speed = 1) {
    auto result =
        media::validate_timeline(Json{{"start", start}, {"end", end}, {"speed", speed}}, source);
    return result ? std::string() : result.error();
  };
  const std::string bad_trim = "Choose a trim between 0.15 and 600 seconds";
  const std::string too_slow = "The slowest possible output exceeds ten minutes; shorten the trim";
  // Every pair 0.15 s apart, written with up to three decimals, is a trim of exactly 0.15 s;
  // in binary, 1.15 - 1 is below 0.15 and 5.15 - 5 above it.
  for (int start = 0; start <= 1199'850; start += 997) {
    const double from = start / 1000.0;
    const double to = (start + 150) / 1000.0;
    ASSERT_EQ(check(from, to), "") << from << " -> " << to;
    ASSERT_EQ(check(from, (start + 149) / 1000.0), bad_trim) << from;
  }
  EXPECT_EQ(check(1, 1.15), "");
  EXPECT_EQ(check(0.1, 0.25), "");
  EXPECT_EQ(check(1, 1.1499999), bad_trim);
  EXPECT_EQ(check(6, 5), bad_trim);
  EXPECT_EQ(check(0.3, 600.3), "");
  EXPECT_EQ(check(0.3, 600.301), bad_trim);
  // The slowest output: 75 s at 0.125 is exactly ten minutes.
  EXPECT_EQ(check(0.1, 75.1, 0.125), "");
  EXPECT_EQ(check(0.1, 75.101, 0.125), too_slow);
  EXPECT_EQ(check(1.7, 301.7, 0.5), "");
  EXPECT_EQ(check(1.7, 301.701, 0.5), too_slow);

  EXPECT_EQ(media::compare_end(1, 1.15, 0.15, 1), 0);
  EXPECT_EQ(media::compare_end(0, 5e-324, 0, 1), 1);
  EXPECT_EQ(media::compare_end(0.001, 600.601, 0.5005, 1200), 0);
}

const Json kRamped{{"start", 0.0},
                   {"end", 4.0},
                   {"speed", 2.0},
                   {"width", 320U},
                   {"height", 240U},
                   {"volume", 0.75},
                   {"muted", false},
                   {"zoom", 1.0},
                   {"ramp", {{"start", 1.0}, {"peak", 2.0}, {"end", 3.0}, {"minSpeed", 0.5}}}};

TEST(MediaTimeline, SpeedFollowsTheRamp) {
  EXPECT_DOUBLE_EQ(media::speed_at(kRamped, 1), 2);
  EXPECT_DOUBLE_EQ(media::speed_at(kRamped, 1.5), 1.25);
  EXPECT_DOUBLE_EQ(media::speed_at(kRamped, 2), 0.5);
  EXPECT_DOUBLE_EQ(media::speed_at(kRamped, 3.5), 2);
  const auto segments = media::split_range(kRamped, 0, 4);
  ASSERT_EQ(segments.size(), 32U);
  EXPECT_DOUBLE_EQ(segments[0].end, 0.125);
  EXPECT_DOUBLE_EQ(segments[31].end, 4);
  EXPECT_DOUBLE_EQ(segments[15].speed, media::speed_at(kRamped, 1.9375));
}

Json plain(double start, double end) {
  Json timeline = kRamped;
  timeline.erase("ramp");
  timeline["start"] = start;
  timeline["end"] = end;
  return timeline;
}

TEST(MediaRender, PlainGraphAndArguments) {
  const auto plan = media::plan_render(plain(1, 3), true, false);
  EXPECT_EQ(plan.graph,
            "[0:v:0]trim=start=1.000000:end=3.000000,setpts=(PTS-STARTPTS)/2.00000000,"
            "scale=320:240:force_original_aspect_ratio=decrease,pad=320:240:(ow-iw)/2:(oh-ih)/2,"
            "crop=320:240,setsar=1,fps=24[v0];"
            "[0:a:0]atrim=start=1.000000:end=3.000000,asetpts=PTS-STARTPTS,atempo=2.00000000,"
            "volume=0.75[a0];[v0][a0]concat=n=1:v=1:a=1[v][a]");
  EXPECT_DOUBLE_EQ(plan.expected_duration, 1);
  const std::vector<std::string> expected{"-hide_banner",
                                          "-nostdin",
                                          "-n",
                                          "-threads",
                                          "2",
                                          "-filter_complex_threads",
                                          "2",
                                          "-protocol_whitelist",
                                          "file,pipe",
                                          "-i",
                                          "/in.mp4",
                                          "-filter_complex",
                                          plan.graph,
                                          "-map",
                                          "[v]",
                                          "-map",
                                          "[a]",
                                          "-c:a",
                                          "aac",
                                          "-b:a",
                                          "128k",
                                          "-c:v",
                                          "libx264",
                                          "-preset",
                                          "veryfast",
                                          "-crf",
                                          "20",
                                          "-pix_fmt",
                                          "yuv420p",
                                          "-movflags",
                                          "+faststart",
                                          "/out.mp4"};
  EXPECT_EQ(media::render_arguments(plan, "/in.mp4", "/out.mp4"), expected);
}

TEST(MediaRender, RampedMutedSilentAndPreviewGraphs) {
  const auto ramped = media::plan_render(kRamped, true, false);
  EXPECT_NE(ramped.graph.find("[v31];"), std::string::npos);
  EXPECT_NE(ramped.graph.find("concat=n=32:v=1:a=1[v][a]"), std::string::npos);
  EXPECT_EQ(ramped.graph.find("atempo=0.5,"), std::string::npos);
  Json slow = kRamped;
  slow["ramp"]["minSpeed"] = 0.125;
  // Speeds under 0.5 become chained halvings: 0.2421875 at the segment before the peak.
  EXPECT_NE(media::plan_render(slow, true, false)
                .graph.find("atempo=0.5,atempo=0.5,atempo=0.96875000,volume"),
            std::string::npos);

  Json muted = plain(0, 2);
  muted["muted"] = true;
  for (const auto &plan :
       {media::plan_render(muted, true, false), media::plan_render(plain(0, 2), false, false)}) {
    EXPECT_EQ(plan.graph.find("[0:a:0]"), std::string::npos);
    EXPECT_TRUE(plan.graph.ends_with("[v0]concat=n=1:v=1:a=0[v]"));
    const auto args = media::render_arguments(plan, "/in.mp4", "/out.mp4");
    EXPECT_EQ(std::count(args.begin(), args.end(), "-map"), 1);
    EXPECT_EQ(std::count(args.begin(), args.end(), "aac"), 0);
  }

  Json wide = plain(0, 30);
  wide["width"] = 1920U;
  wide["height"] = 1080U;
  wide["zoom"] = 1.5;
  const auto preview = media::plan_render(wide, false, true);
  EXPECT_EQ(preview.width, 640U);
  EXPECT_EQ(preview.height, 360U);
  EXPECT_NE(preview.graph.find("trim=start=0.000000:end=8.000000"), std::string::npos);
  EXPECT_NE(preview.graph.find("scale=960:540:"), std::string::npos);
  EXPECT_NE(preview.graph.find("crop=640:360,"), std::string::npos);
  Json tall = wide;
  tall["width"] = 1080U;
  tall["height"] = 1920U;
  const auto portrait = media::plan_render(tall, false, true);
  EXPECT_EQ(portrait.width, 360U);
  EXPECT_EQ(portrait.height, 640U);
}

// A JPEG's markers around coded data that holds a stuffed 0xFF and a restart marker.
std::string tiny_jpeg(char fill) {
  std::string jpeg("\xFF\xD8", 2);
  jpeg += std::string("\xFF\xDB\x00\x04\x01\x02", 6); // a segment of 2 bytes
  jpeg += std::string("\xFF\xDA\x00\x03\x00", 5);     // start of scan
  jpeg += std::string(1, fill) + std::string("\xFF\x00\x11\xFF\xD3\x22", 6);
  jpeg += std::string("\xFF\xD9", 2);
  return jpeg;
}

TEST(MediaFrames, SplitsAStreamOfJpegs) {
  const std::string one = tiny_jpeg('a');
  const std::string two = tiny_jpeg('b');
  const std::string stream = one + two;
  auto images = media::split_jpegs(stream);
  ASSERT_TRUE(images);
  ASSERT_EQ(images->size(), 2U);
  EXPECT_EQ((*images)[0], one);
  EXPECT_EQ((*images)[1], two);
  EXPECT_EQ(media::split_jpegs("")->size(), 0U);
  EXPECT_FALSE(media::split_jpegs(one + two.substr(0, two.size() - 1)));
  EXPECT_FALSE(media::split_jpegs(one + "x"));
  EXPECT_FALSE(media::split_jpegs("\x89PNG"));
}

TEST(MediaFrames, SizeKeepsTheAspectAndArgumentsLookAround) {
  EXPECT_EQ(media::frame_height(320, 240, 160), 120U);
  EXPECT_EQ(media::frame_height(1920, 1080, 160), 90U);
  EXPECT_EQ(media::frame_height(1080, 1920, 80), 142U); // 142.2, to the nearest even
  EXPECT_EQ(media::frame_height(2, 8192, 320), 4096U);  // bounded
  EXPECT_EQ(media::frame_height(8192, 2, 80), 2U);

  const auto args = media::frame_arguments("/v.mp4", {0.25, 5}, 160, 90);
  const auto at = [&](const std::string &value) {
    return std::find(args.begin(), args.end(), value) - args.begin();
  };
  // Each time its own input, decoded from a second before it.
  EXPECT_EQ(args[static_cast<std::size_t>(at("-ss")) + 1], "0.000000");
  EXPECT_NE(std::find(args.begin(), args.end(), "4.000000"), args.end());
  const std::string &graph = args[static_cast<std::size_t>(at("-filter_complex")) + 1];
  EXPECT_EQ(graph,
            "[0:v:0]trim=end=0.750500,select=lte(t\\,0.250500)+eq(n\\,0),scale=160:90,reverse,"
            "trim=end_frame=1,setsar=1[f0];"
            "[1:v:0]trim=end=1.500500,select=lte(t\\,1.000500)+eq(n\\,0),scale=160:90,reverse,"
            "trim=end_frame=1,setsar=1[f1];"
            "[f0][f1]concat=n=2:v=1:a=0,setpts=N/TB[frames]");
  EXPECT_EQ(args.back(), "pipe:1");
}

TEST(MediaFrames, ACallThatLetGoOfTheLockFreesItAndCannotSave) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() /
                          ("vft-release-lock-" + std::to_string(vft::platform::now_nanos()));
  fs::create_directories(folder);
  const std::string path = (folder / "records.lock").string();
  auto taken = vft::platform::try_lock_file(path);
  ASSERT_TRUE(taken && taken.value());
  vft::platform::FileLock lock = std::move(*taken.value());
  vft::store::Store store{"media", folder.string(), vft::store::empty_document("media")};
  vft::store::Stamper stamper;
  const Json args = Json::object();
  vft::apps::ToolCall call{"preview_edit_frames", args, store, stamper, nullptr, nullptr, &lock};
  EXPECT_FALSE(vft::platform::try_lock_file(path).value()); // held
  call.release_lock();
  EXPECT_TRUE(vft::platform::try_lock_file(path).value()); // another call can take it
  auto saved = call.save();
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), vft::apps::kSavedWithoutLock);
  EXPECT_FALSE(fs::exists(folder / "records.json"));
  fs::remove_all(folder);
}

} // namespace

// The clipboard app's checks that need no clipboard: contents made ready for a write, the
// write_clipboard arguments and the undo record.
#include "apps/clipboard/clipboard.hpp"
#include "image/image.hpp"
#include "text/base64.hpp"
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <string>

using vft::Json;
namespace clip = vft::apps::clipboard;
using Kind = vft::platform::ClipboardWrite::Kind;

namespace {

// A 1x1 24-bit BMP file of one blue pixel.
std::string tiny_bmp() {
  std::string bmp = "BM";
  auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      bmp += static_cast<char>((v >> (8 * i)) & 0xff);
  };
  auto u16 = [&](std::uint16_t v) {
    bmp += static_cast<char>(v & 0xff);
    bmp += static_cast<char>(v >> 8);
  };
  u32(58), u32(0), u32(54);
  u32(40), u32(1), u32(1), u16(1), u16(24), u32(0), u32(4), u32(0), u32(0), u32(0), u32(0);
  bmp += std::string("\xff\x00\x00\x00", 4);
  return bmp;
}

std::string error_of(const Json &content) {
  auto prepared = clip::prepare_content(content);
  return prepared ? "" : prepared.error();
}

} // namespace

TEST(Clipboard, ContentsAreCheckedBeforeTheClipboardIsTouched) {
  auto text = clip::prepare_content(Json{{"kind", "text"}, {"text", "a\nb"}, {"sequence", 4}});
  ASSERT_TRUE(text);
  EXPECT_EQ(text->kind, Kind::text);
  EXPECT_EQ(text->text, "a\nb");
  EXPECT_EQ(clip::prepare_content(Json{{"kind", "empty"}})->kind, Kind::empty);

  // A damaged text content is refused before anything is cleared.
  EXPECT_EQ(error_of(Json{{"kind", "text"}}), clip::kTextMissing);
  EXPECT_EQ(error_of(Json{{"kind", "text"}, {"text", 5}}), clip::kTextMissing);
  EXPECT_EQ(error_of(Json{{"kind", "image"}}), clip::kImageDataMissing);
  EXPECT_EQ(error_of(Json{{"kind", "image"}, {"data", nullptr}}), clip::kImageDataMissing);
  EXPECT_NE(error_of(Json{{"kind", "image"}, {"data", "not base64!"}}), "");
  EXPECT_NE(error_of(Json{{"kind", "image"}, {"data", vft::text::base64_encode("no image")}}), "");
  for (const Json &odd : {Json{{"kind", "files"}}, Json{{"text", "x"}}, Json{{"kind", 1}},
                          Json(nullptr), Json("text")}) {
    EXPECT_EQ(error_of(odd), clip::kUnsupportedContent) << odd.dump();
  }
}

TEST(Clipboard, AnImageIsWrittenAsItsPngAndA24BitBitmap) {
  auto png = vft::image::normalise_to_png(tiny_bmp());
  ASSERT_TRUE(png) << png.error();
  auto prepared =
      clip::prepare_content(Json{{"kind", "image"}, {"data", vft::text::base64_encode(*png)}});
  ASSERT_TRUE(prepared) << prepared.error();
  EXPECT_EQ(prepared->kind, Kind::image);
  EXPECT_EQ(prepared->png, *png);
  EXPECT_EQ(prepared->bmp, tiny_bmp());
}

TEST(Clipboard, WriteArguments) {
  const std::string mebibyte(1'048'576, 'a');
  auto exact = clip::content_from_arguments(Json{{"text", mebibyte}});
  ASSERT_TRUE(exact);
  EXPECT_EQ(*exact, (Json{{"kind", "text"}, {"text", mebibyte}}));
  EXPECT_EQ(*clip::content_from_arguments(Json{{"text", ""}}),
            (Json{{"kind", "text"}, {"text", ""}}));

  auto message = [](const Json &args) {
    auto content = clip::content_from_arguments(args);
    return content ? "" : content.error();
  };
  EXPECT_EQ(message(Json{{"text", mebibyte + "a"}}), clip::kTextTooLong);
  EXPECT_EQ(message(Json{{"text", std::string("a\0b", 3)}}), clip::kTextTooLong);
  EXPECT_EQ(message(Json{{"text", "a"}, {"imagePath", "/x.png"}}), clip::kTextOrImage);
  EXPECT_EQ(message(Json::object()), "imagePath must be text");
  EXPECT_EQ(message(Json{{"text", 3}}), "text must be text");
  EXPECT_EQ(message(Json{{"imagePath", "relative.png"}}), "Choose an absolute local file path");
}

TEST(Clipboard, TheUndoRecord) {
  auto sequence = [](const Json &document) {
    auto value = clip::undo_sequence(document);
    return value ? std::to_string(*value) : value.error();
  };
  EXPECT_EQ(sequence(Json::object()), clip::kNoUndo);
  EXPECT_EQ(sequence(Json{{"undo", nullptr}}), clip::kNoUndo);
  EXPECT_EQ(sequence(Json{{"undo", "text"}}), clip::kInvalidUndo);
  EXPECT_EQ(sequence(Json{{"undo", {{"previous", {{"kind", "empty"}}}}}}), clip::kInvalidUndo);
  EXPECT_EQ(sequence(Json{{"undo", {{"sequence", -1}}}}), clip::kInvalidUndo);
  EXPECT_EQ(sequence(Json{{"undo", {{"sequence", 1.0}}}}), clip::kInvalidUndo);
  // Only the low 32 bits are compared with the clipboard's counter.
  EXPECT_EQ(sequence(Json{{"undo", {{"sequence", 4294967301ULL}}}}), "5");
}

// The wallet's rules that need no disk: type check, store bounds, stored references, and the
// dispatch over its tools.
#include "apps/handlers.hpp"
#include "apps/wallet/rules.hpp"
#include "platform/platform.hpp"

#include "text/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

using vft::Json;
using namespace vft::apps::wallet;

constexpr std::string_view kPng = "\x89PNG\r\n\x1a\n";

std::string mime_of(std::string_view name, std::string_view content) {
  auto type = check_document_type(name, content);
  if (!type) {
    EXPECT_EQ(type.error(), kUnsupportedDocument) << name;
    return "refused";
  }
  return type->mime_type;
}

TEST(WalletExtension, IsTheTextAfterTheLastDotLowerCased) {
  EXPECT_EQ(extension_of("Scan.PDF"), "pdf");
  EXPECT_EQ(extension_of("archive.tar.TXT"), "txt");
  EXPECT_EQ(extension_of("..txt"), "txt");
  EXPECT_EQ(extension_of("name."), "");
  EXPECT_EQ(extension_of(".txt"), "");
  EXPECT_EQ(extension_of("README"), "");
  EXPECT_EQ(extension_of(""), "");
  // Full Unicode lower-casing, and bytes that are no text do not break it.
  EXPECT_EQ(extension_of("x.\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(extension_of("x.\xFF"), "\xEF\xBF\xBD");
}

TEST(WalletTypeCheck, EachExtensionDemandsItsSignature) {
  EXPECT_EQ(mime_of("a.pdf", "%PDF-"), "application/pdf");
  EXPECT_EQ(mime_of("a.PDF", "%PDF-1.7 rest"), "application/pdf");
  EXPECT_EQ(mime_of("a.pdf", "%PDF"), "refused");
  EXPECT_EQ(mime_of("a.pdf", "%pdf-1.7"), "refused");
  EXPECT_EQ(mime_of("a.pdf", " %PDF-1.7"), "refused");
  EXPECT_EQ(mime_of("a.pdf", ""), "refused");

  EXPECT_EQ(mime_of("a.png", kPng), "image/png");
  EXPECT_EQ(mime_of("a.png", std::string(kPng) + "IHDR"), "image/png");
  EXPECT_EQ(mime_of("a.png", kPng.substr(0, 7)), "refused");
  EXPECT_EQ(mime_of("a.png", "\x89PNG\r\n\x1a\r"), "refused");
  EXPECT_EQ(mime_of("a.png", "\xFF\xD8\xFF\xE0"), "refused");

  EXPECT_EQ(mime_of("a.jpg", "\xFF\xD8\xFF"), "image/jpeg");
  EXPECT_EQ(mime_of("a.JPEG", "\xFF\xD8\xFF\xDB"), "image/jpeg");
  EXPECT_EQ(mime_of("a.jpg", "\xFF\xD8"), "refused");
  EXPECT_EQ(mime_of("a.jpg", kPng), "refused");
  EXPECT_EQ(mime_of("a.jpe", "\xFF\xD8\xFF"), "refused");

  EXPECT_EQ(mime_of("a.gif", "GIF89a"), "refused");
  EXPECT_EQ(mime_of("pdf", "%PDF-"), "refused");
  EXPECT_EQ(mime_of(".pdf", "%PDF-"), "refused");
}

TEST(WalletTypeCheck, TextMustBeValidUtf8Throughout) {
  EXPECT_EQ(mime_of("a.txt", ""), "text/plain");
  EXPECT_EQ(mime_of("a.txt", "Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80\n"), "text/plain");
  EXPECT_EQ(mime_of("a.txt", std::string("nul\0inside", 10)), "text/plain");
  EXPECT_EQ(mime_of("a.txt", "\xEF\xBB\xBFwith a byte-order mark"), "text/plain");
  EXPECT_EQ(mime_of("a.txt", "ok\xFF"), "refused");
  EXPECT_EQ(mime_of("a.txt", "\xC0\x80"), "refused");         // overlong NUL
  EXPECT_EQ(mime_of("a.txt", "\xE0\x80\xAF"), "refused");     // overlong slash
  EXPECT_EQ(mime_of("a.txt", "\xED\xA0\x80"), "refused");     // surrogate
  EXPECT_EQ(mime_of("a.txt", "\xF4\x90\x80\x80"), "refused"); // beyond U+10FFFF
  EXPECT_EQ(mime_of("a.txt", "caf\xC3"), "refused");          // cut short at the end
  EXPECT_EQ(mime_of("a.txt", "\x80start"), "refused");        // stray continuation
  // A PDF named .txt is judged as text: valid UTF-8 passes, whatever it looks like.
  EXPECT_EQ(mime_of("a.txt", "%PDF-1.7"), "text/plain");
}

TEST(WalletTypeCheck, KeepsTheExtensionAsWritten) {
  auto type = check_document_type("Photo.JPEG", "\xFF\xD8\xFF");
  ASSERT_TRUE(type);
  EXPECT_EQ(type->extension, "jpeg");
}

Json records_with_bytes(std::initializer_list<std::uint64_t> sizes) {
  Json records = Json::array();
  bool archived = false;
  for (const std::uint64_t size : sizes) {
    records.push_back(Json{{"bytes", size}, {"archived", archived}});
    archived = !archived;
  }
  return records;
}

TEST(WalletCapacity, TheByteBoundIsExactAndCountsArchivedRecords) {
  EXPECT_TRUE(check_capacity(Json::array(), kMaxTotalBytes));
  EXPECT_EQ(check_capacity(Json::array(), kMaxTotalBytes + 1).error(), kSizeLimit);
  const Json records = records_with_bytes({kMaxTotalBytes - 100, 60});
  EXPECT_TRUE(check_capacity(records, 40));
  EXPECT_EQ(check_capacity(records, 41).error(), kSizeLimit);
  EXPECT_TRUE(check_capacity(records_with_bytes({kMaxTotalBytes, 0}), 0));
  EXPECT_EQ(check_capacity(records_with_bytes({kMaxTotalBytes, 1}), 0).error(), kSizeLimit);
}

TEST(WalletCapacity, DamagedSizesNeitherWrapNorBreakTheSum) {
  constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
  // Wrapping round would make this sum 1.
  EXPECT_EQ(check_capacity(records_with_bytes({kHuge, 2}), 0).error(), kSizeLimit);
  EXPECT_EQ(check_capacity(records_with_bytes({kHuge}), kHuge).error(), kSizeLimit);
  Json odd = Json::array(
      {Json{{"bytes", "12"}}, Json{{"bytes", -5}}, Json{{"bytes", 1.5}}, Json::object(), Json(7)});
  EXPECT_TRUE(check_capacity(odd, kMaxTotalBytes));
}

TEST(WalletCapacity, TheCountBoundCountsEveryRecord) {
  Json records = Json::array();
  for (int i = 0; i < 999; ++i)
    records.push_back(Json{{"bytes", 0U}, {"archived", i % 2 == 0}});
  EXPECT_TRUE(check_capacity(records, 0));
  records.push_back(Json(nullptr));
  EXPECT_EQ(check_capacity(records, 0).error(), kDocumentLimit);
  // The count is checked first.
  EXPECT_EQ(check_capacity(records, kMaxTotalBytes + 1).error(), kDocumentLimit);
}

std::string reference_of(const Json &blob) {
  auto name = content_file_name(Json{{"blob", blob}});
  return name ? name.value() : name.error();
}

TEST(WalletReference, NamesAPlainFileInTheDocumentsFolder) {
  EXPECT_EQ(reference_of("doc-1796634750664982419-19110.dpapi"),
            "doc-1796634750664982419-19110.dpapi");
  EXPECT_EQ(reference_of(".dpapi"), ".dpapi");
  EXPECT_EQ(reference_of("..dpapi"), "..dpapi");
  EXPECT_EQ(reference_of("\xC3\xA9t\xC3\xA9.dpapi"), "\xC3\xA9t\xC3\xA9.dpapi");
  EXPECT_EQ(reference_of("console.dpapi"), "console.dpapi");
  EXPECT_EQ(reference_of("com10.dpapi"), "com10.dpapi");

  const std::vector<std::string> refused{"",
                                         "dpapi",
                                         "x.dpap",
                                         "x.DPAPI",
                                         "x.dpapi.txt",
                                         "../x.dpapi",
                                         "..\\x.dpapi",
                                         "/etc/x.dpapi",
                                         "C:\\x.dpapi",
                                         "c:x.dpapi",
                                         "x.dpapi:stream.dpapi",
                                         "sub/x.dpapi",
                                         std::string("x\0.dpapi", 8),
                                         "x\n.dpapi",
                                         "x\x7F.dpapi",
                                         "NUL.dpapi",
                                         "con.dpapi",
                                         "Aux .dpapi",
                                         "prn.x.dpapi",
                                         "COM1.dpapi",
                                         "lpt9.dpapi",
                                         "conin$.dpapi",
                                         "COM\xC2\xB9.dpapi"};
  for (const std::string &bad : refused) {
    EXPECT_EQ(reference_of(bad), kInvalidReference) << bad;
  }
  EXPECT_EQ(reference_of(7), "blob must be text");
  EXPECT_EQ(reference_of(nullptr), "blob must be text");
  EXPECT_EQ(reference_of(Json::array({"x.dpapi"})), "blob must be text");
  EXPECT_EQ(content_file_name(Json::object()).error(), "blob must be text");
  EXPECT_EQ(content_file_name(Json("x.dpapi")).error(), "blob must be text");
}

TEST(WalletPaths, FileNamesAndText) {
  using vft::platform::file_name;
  const auto path_text = [](std::string_view bytes) { return vft::text::utf8_decode_lossy(bytes); };
#ifndef _WIN32
  EXPECT_EQ(file_name("/home/me/Scan.PDF"), "Scan.PDF");
  EXPECT_EQ(file_name("/Scan.PDF"), "Scan.PDF");
  EXPECT_EQ(file_name("/a/\\odd.txt"), "\\odd.txt");
  EXPECT_EQ(file_name("/\\odd.txt"), "\\odd.txt");
#endif
  EXPECT_EQ(path_text("/valid/\xC3\xA9t\xC3\xA9"), "/valid/\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(path_text("a\xFF"
                      "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(path_text("caf\xC3"), "caf\xEF\xBF\xBD");
  EXPECT_EQ(path_text("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(path_text("\xF0\x9F\x98\x80\x80"), "\xF0\x9F\x98\x80\xEF\xBF\xBD");
}

TEST(WalletHandler, NamesUnknownOperations) {
  const vft::apps::AppHandler &handler = vft::apps::wallet_handler();
  vft::store::Store store{"wallet", "/nowhere", vft::store::empty_document("wallet")};
  vft::store::Stamper stamper;
  const Json args = Json::object();
  vft::apps::ToolCall call{"export_everything", args, store, stamper};
  auto result = vft::apps::dispatch(handler, call);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "Unknown Wallet operation");
}

std::string slurp(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Exports and every other file a call makes are NewFiles: whatever is at the name when the
// file is created, even if it appeared after every check, stays as it is; what the call made
// goes unless kept, and only that.
TEST(NewFile, IsCreatedNewNeverReplacesAnythingAndGoesUnlessKept) {
  namespace fs = std::filesystem;
  using vft::platform::NewFile;
  const fs::path folder = fs::path(testing::TempDir()) /
                          ("wallet-export-" + std::to_string(vft::platform::process_id()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  const fs::path fresh = folder / "fresh.pdf";
  {
    auto made = NewFile::write(fresh.string(), "%PDF-new", true);
    ASSERT_TRUE(made);
    made->keep();
  }
  EXPECT_EQ(slurp(fresh), "%PDF-new");

  auto again = NewFile::write(fresh.string(), "other", true);
  ASSERT_FALSE(again);
  EXPECT_FALSE(again.error().empty());
  EXPECT_EQ(slurp(fresh), "%PDF-new");

  ASSERT_FALSE(NewFile::write((folder / "no" / "x.pdf").string(), "x", true));
  EXPECT_FALSE(fs::exists(folder / "no"));

  // Not kept: gone; but a file put in its place meanwhile is someone else's.
  const fs::path partial = folder / "partial.tmp";
  ASSERT_TRUE(NewFile::write(partial.string(), "part", false));
  EXPECT_FALSE(fs::exists(partial));
  {
    auto made = NewFile::write(partial.string(), "part", false);
    ASSERT_TRUE(made);
    fs::rename(partial, folder / "moved.tmp");
    std::ofstream(partial) << "theirs";
  }
  EXPECT_EQ(slurp(partial), "theirs");
#ifndef _WIN32
  const fs::path link = folder / "link.pdf";
  fs::create_symlink(folder / "target.pdf", link);
  EXPECT_FALSE(NewFile::write(link.string(), "x", true));
  EXPECT_FALSE(fs::exists(folder / "target.pdf"));
  // A claimed name loses whatever a program left there, a folder with a link in it included,
  // and never what the link leads to.
  {
    const NewFile claimed = NewFile::claim((folder / "out").string());
    fs::create_directories(folder / "out" / "deep");
    fs::create_symlink(fresh, folder / "out" / "deep" / "link");
  }
  EXPECT_FALSE(fs::exists(folder / "out"));
  EXPECT_EQ(slurp(fresh), "%PDF-new");
#endif
  fs::remove_all(folder);
}

} // namespace

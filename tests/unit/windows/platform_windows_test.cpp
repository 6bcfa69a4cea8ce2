// The Win32 platform layer, run under Wine or on Windows: path rules, files, the lock,
// hashing, data protection and the Unicode fallbacks.
#include "platform/platform.hpp"
#include "platform/windows/win.hpp"
#include "text/unicode.hpp"

#include <gtest/gtest.h>

#include <windows.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace platform = vft::platform;
using platform::Existence;

std::string utf8(const fs::path &path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// A file put in place for a test: made new and kept.
vft::Result<void> write_new_file(const std::string &path, std::string_view bytes) {
  VFT_TRY(auto file, platform::NewFile::write(path, bytes, false));
  file.keep();
  return {};
}

std::string hex(const std::string &bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 0x0F];
  }
  return out;
}

// ---- paths -----------------------------------------------------------------------------

TEST(WindowsPaths, JoinUsesBackslashesOnce) {
  EXPECT_EQ(platform::join_path("C:\\data", "wallet"), "C:\\data\\wallet");
  EXPECT_EQ(platform::join_path("C:\\data\\", "wallet"), "C:\\data\\wallet");
  EXPECT_EQ(platform::join_path("C:/data/", "wallet"), "C:/data/wallet");
  EXPECT_EQ(platform::join_path("", "wallet"), "wallet");
}

TEST(WindowsPaths, ParentKeepsTheRoot) {
  const auto parent = [](const char *path) { return platform::parent_path(path); };
  EXPECT_EQ(parent("C:\\data\\wallet"), "C:\\data");
  EXPECT_EQ(parent("C:\\data\\wallet\\"), "C:\\data\\wallet");
  EXPECT_EQ(parent("C:/data/wallet"), "C:/data");
  EXPECT_EQ(parent("C:\\records.json"), "C:\\");
  EXPECT_EQ(parent("C:\\"), "C:\\");
  EXPECT_EQ(parent("\\records.json"), "\\");
  EXPECT_EQ(parent("data\\records.json"), "data");
  EXPECT_EQ(parent("\\\\server\\share\\records.json"), "\\\\server\\share\\");
  EXPECT_EQ(parent("\\\\server\\share\\"), "\\\\server\\share\\");
  EXPECT_EQ(parent("\\\\?\\C:\\records.json"), "\\\\?\\C:\\");
  EXPECT_EQ(parent("\\\\?\\C:\\data\\records.json"), "\\\\?\\C:\\data");
  EXPECT_EQ(parent("\\\\?\\UNC\\server\\share\\records.json"), "\\\\?\\UNC\\server\\share\\");
  EXPECT_EQ(parent("C:records.json"), std::nullopt);
  EXPECT_EQ(parent("records.json"), std::nullopt);
  EXPECT_EQ(parent(""), std::nullopt);
}

TEST(WindowsPaths, OnlyRootedDriveAndSharePathsAreAbsolute) {
  for (const char *path : {"C:\\", "c:\\file", "C:/file", "\\\\server\\share\\file",
                           "\\\\server\\share\\", "//server/share/file", "\\\\?\\C:\\file",
                           "\\\\?\\UNC\\server\\share\\file", "\\\\.\\C:\\file"}) {
    EXPECT_TRUE(platform::is_absolute_path(path)) << path;
  }
  for (const char *path : {"", "C:", "C:file", "\\file", "/file", "file", "..\\file", "\\\\server",
                           "\\\\server\\share", "\\\\\\share\\file", "1:\\file"}) {
    EXPECT_FALSE(platform::is_absolute_path(path)) << path;
  }
}

// ---- process ---------------------------------------------------------------------------

TEST(WindowsProcess, EnvironmentTellsEmptyFromMissing) {
  ASSERT_TRUE(::SetEnvironmentVariableW(L"VFT_TEST_EMPTY", L""));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"VFT_TEST_TEXT", L"Caf\u00e9 \U0001F600"));
  ::SetEnvironmentVariableW(L"VFT_TEST_MISSING", nullptr);
  EXPECT_EQ(platform::environment("VFT_TEST_EMPTY"), std::string());
  EXPECT_EQ(platform::environment("VFT_TEST_TEXT"), "Caf\xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(platform::environment("VFT_TEST_MISSING"), std::nullopt);
  // Longer than the first buffer.
  const std::wstring long_value(5000, L'x');
  ASSERT_TRUE(::SetEnvironmentVariableW(L"VFT_TEST_LONG", long_value.c_str()));
  EXPECT_EQ(platform::environment("VFT_TEST_LONG"), std::string(5000, 'x'));
}

TEST(WindowsProcess, ClockIsUnixNanosecondsIn100NsSteps) {
  const auto before = static_cast<std::uint64_t>(std::time(nullptr));
  const std::uint64_t nanos = platform::now_nanos();
  const auto after = static_cast<std::uint64_t>(std::time(nullptr));
  EXPECT_GE(nanos / 1000000000ULL, before);
  EXPECT_LE(nanos / 1000000000ULL, after);
  EXPECT_EQ(nanos % 100, 0U);
  EXPECT_EQ(platform::process_id(), ::GetCurrentProcessId());
}

TEST(WindowsProcess, ShortSleepsLastAboutAsLongAsAsked) {
  const std::uint64_t start = platform::now_nanos();
  for (int i = 0; i < 10; ++i)
    platform::sleep_ms(20);
  const std::uint64_t elapsed_ms = (platform::now_nanos() - start) / 1000000;
  EXPECT_GE(elapsed_ms, 195U);
  EXPECT_LT(elapsed_ms, 2000U);
}

// ---- files -----------------------------------------------------------------------------

class WindowsFiles : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("vft-win-" + std::to_string(platform::process_id()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string path(const std::string &name) const { return utf8(root_ / fs::u8path(name)); }

  fs::path root_;
};

TEST_F(WindowsFiles, FoldersAreCreatedWithTheirParents) {
  const std::string deep = path("a\\b\\c\\d");
  ASSERT_TRUE(platform::create_directories(deep));
  EXPECT_TRUE(fs::is_directory(root_ / "a" / "b" / "c" / "d"));
  EXPECT_TRUE(platform::create_directories(deep)); // already there
  ASSERT_TRUE(write_new_file(path("file"), "x"));
  const auto blocked = platform::create_directories(path("file\\sub"));
  ASSERT_FALSE(blocked);
  EXPECT_FALSE(blocked.error().empty());
  EXPECT_EQ(blocked.error().find_first_of("\r\n"), std::string::npos);
}

TEST_F(WindowsFiles, ExistenceTellsMissingFromFailure) {
  EXPECT_EQ(platform::file_existence(path("none")).value(), Existence::missing);
  EXPECT_EQ(platform::file_existence(path("no-folder\\none")).value(), Existence::missing);
  ASSERT_TRUE(write_new_file(path("here"), ""));
  EXPECT_EQ(platform::file_existence(path("here")).value(), Existence::present);
  // A name the file system cannot hold is a failure, never "missing".
  EXPECT_FALSE(platform::file_existence(path("bad\x01name?*")));
}

TEST_F(WindowsFiles, NewFilesAreCreatedOnlyOnce) {
  const std::string file = path("caf\xC3\xA9 \xF0\x9F\x98\x80.json");
  ASSERT_TRUE(write_new_file(file, std::string("a\r\nb\0c", 6)));
  EXPECT_FALSE(write_new_file(file, "again"));
  auto read = platform::read_file_up_to(file, 100);
  ASSERT_TRUE(read && read.value());
  EXPECT_EQ(*read.value(), std::string("a\r\nb\0c", 6)); // bytes, not text
  auto limited = platform::read_file_up_to(file, 5);
  ASSERT_TRUE(limited);
  EXPECT_FALSE(limited.value());
  EXPECT_FALSE(platform::read_file_up_to(path("missing"), 100));
  EXPECT_FALSE(platform::read_file_up_to(utf8(root_), 100)); // a folder
}

TEST_F(WindowsFiles, ReplaceSwapsTheWholeFile) {
  ASSERT_TRUE(write_new_file(path("records.json"), "old"));
  ASSERT_TRUE(write_new_file(path(".write-1-2.tmp"), "new"));
  ASSERT_TRUE(
      platform::replace_file(path(".write-1-2.tmp"), path("records.json"), path(".write-1-3.tmp")));
  EXPECT_EQ(*platform::read_file_up_to(path("records.json"), 10).value(), "new");
  EXPECT_EQ(platform::file_existence(path(".write-1-2.tmp")).value(), Existence::missing);
  EXPECT_FALSE(
      platform::replace_file(path("gone.tmp"), path("records.json"), path(".write-1-3.tmp")));
  platform::remove_file_quietly(path("records.json"));
  platform::remove_file_quietly(path("records.json")); // already gone: no complaint
  EXPECT_EQ(platform::file_existence(path("records.json")).value(), Existence::missing);
}

// Another program's brief hold on a file is waited out; a lasting problem is not one.
TEST_F(WindowsFiles, OnlyWhatAHoldGivesIsTriedAgain) {
  namespace win = platform::win;
  ASSERT_TRUE(write_new_file(path("plain"), "x"));
  ASSERT_TRUE(write_new_file(path("read-only"), "x"));
  ASSERT_TRUE(::SetFileAttributesW(win::widen(path("read-only")).c_str(), FILE_ATTRIBUTE_READONLY));
  const std::wstring plain = win::widen(path("plain"));
  EXPECT_TRUE(win::may_be_held(ERROR_SHARING_VIOLATION, plain));
  EXPECT_TRUE(win::may_be_held(ERROR_LOCK_VIOLATION, plain));
  EXPECT_TRUE(win::may_be_held(ERROR_ACCESS_DENIED, plain));
  EXPECT_FALSE(win::may_be_held(ERROR_ACCESS_DENIED, win::widen(path("read-only"))));
  EXPECT_FALSE(win::may_be_held(ERROR_ACCESS_DENIED, win::widen(utf8(root_))));
  EXPECT_FALSE(win::may_be_held(ERROR_ACCESS_DENIED, win::widen(path("missing"))));
  EXPECT_FALSE(win::may_be_held(ERROR_FILE_NOT_FOUND, plain));

  int attempts = 0;
  EXPECT_EQ(win::retry_while_held(plain,
                                  [&] {
                                    return ++attempts < 3 ? ERROR_SHARING_VIOLATION
                                                          : static_cast<DWORD>(ERROR_SUCCESS);
                                  }),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(attempts, 3);
  attempts = 0;
  EXPECT_EQ(win::retry_while_held(plain,
                                  [&] {
                                    ++attempts;
                                    return static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
                                  }),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(attempts, 1);

  // A read-only destination or a folder in its place fails with the system's text, and the
  // destination is as it was.
  ASSERT_TRUE(write_new_file(path(".write-1-2.tmp"), "new"));
  ASSERT_TRUE(platform::create_directories(path("folder")));
  for (const char *destination : {"read-only", "folder"}) {
    const auto replaced =
        platform::replace_file(path(".write-1-2.tmp"), path(destination), path(".write-1-3.tmp"));
    ASSERT_FALSE(replaced) << destination;
    EXPECT_FALSE(replaced.error().empty());
    EXPECT_EQ(replaced.error().find_first_of("\r\n"), std::string::npos);
  }
  EXPECT_EQ(*platform::read_file_up_to(path("read-only"), 10).value(), "x");
  EXPECT_TRUE(fs::is_directory(root_ / "folder"));
  ::SetFileAttributesW(win::widen(path("read-only")).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(WindowsFiles, AHoldLongerThanTheWaitFailsAfterAboutTwoSeconds) {
  ASSERT_TRUE(write_new_file(path("records.json"), "old"));
  ASSERT_TRUE(write_new_file(path(".write-1-2.tmp"), "new"));
  // Read, as a virus scanner does, sharing neither writing nor deletion.
  platform::win::Handle hold(::CreateFileW(platform::win::widen(path("records.json")).c_str(),
                                           GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(hold.valid());
  const std::uint64_t start = platform::now_nanos();
  const auto replaced =
      platform::replace_file(path(".write-1-2.tmp"), path("records.json"), path(".write-1-3.tmp"));
  const std::uint64_t elapsed_ms = (platform::now_nanos() - start) / 1000000;
  ASSERT_FALSE(replaced);
  EXPECT_FALSE(replaced.error().empty());
  EXPECT_GE(elapsed_ms, 1500U); // about 2 s
  EXPECT_LT(elapsed_ms, 30000U);
  EXPECT_EQ(*platform::read_file_up_to(path("records.json"), 10).value(), "old");
}

TEST_F(WindowsFiles, TheLockFileIsHeldExclusively) {
  const std::string lock_path = path("records.lock");
  {
    auto first = platform::try_lock_file(lock_path);
    ASSERT_TRUE(first && first.value());
    auto second = platform::try_lock_file(lock_path);
    ASSERT_TRUE(second);
    EXPECT_FALSE(second.value()); // held, not a failure
    // Nobody else may even read it while it is held.
    EXPECT_FALSE(platform::read_file_up_to(lock_path, 10));
    platform::FileLock moved = std::move(*first.value());
    EXPECT_FALSE(platform::try_lock_file(lock_path).value());
  }
  auto again = platform::try_lock_file(lock_path);
  ASSERT_TRUE(again && again.value());
  EXPECT_EQ(fs::file_size(root_ / "records.lock"), 0U);
  auto failed = platform::try_lock_file(path("no-folder\\records.lock"));
  ASSERT_FALSE(failed);
  EXPECT_FALSE(failed.error().empty());
}

TEST_F(WindowsFiles, CanonicalPathsAreExtendedAndResolved) {
  ASSERT_TRUE(platform::create_directories(path("sub")));
  ASSERT_TRUE(write_new_file(path("sub\\Doc.txt"), "text"));
  auto direct = platform::canonical_path(path("sub\\Doc.txt"));
  ASSERT_TRUE(direct) << direct.error();
  EXPECT_EQ(direct->rfind("\\\\?\\", 0), 0U) << direct.value();
  auto roundabout = platform::canonical_path(path("sub\\..\\sub\\.\\Doc.txt"));
  ASSERT_TRUE(roundabout);
  EXPECT_EQ(roundabout.value(), direct.value());
  // The extended form is accepted as it is.
  EXPECT_EQ(platform::canonical_path(direct.value()).value(), direct.value());
  EXPECT_FALSE(platform::canonical_path(path("sub\\missing.txt")));
}

TEST_F(WindowsFiles, InfoTellsFilesFromFolders) {
  ASSERT_TRUE(write_new_file(path("file"), "12345"));
  auto file = platform::file_info(path("file"));
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->regular);
  EXPECT_FALSE(file->directory);
  EXPECT_EQ(file->size, 5U);
  const auto now = static_cast<std::int64_t>(platform::now_nanos());
  EXPECT_LE(file->modified_nanos, now + 2'000'000'000LL);
  EXPECT_GT(file->modified_nanos, now - 600'000'000'000LL);
  auto folder = platform::file_info(utf8(root_));
  ASSERT_TRUE(folder);
  EXPECT_FALSE(folder->regular);
  EXPECT_TRUE(folder->directory);
  EXPECT_FALSE(platform::file_info(path("missing")));
}

TEST_F(WindowsFiles, HardLinksRefuseAnExistingName) {
  ASSERT_TRUE(write_new_file(path("original"), "shared"));
  ASSERT_TRUE(platform::hard_link(path("original"), path("second")));
  EXPECT_EQ(*platform::read_file_up_to(path("second"), 10).value(), "shared");
  const auto again = platform::hard_link(path("original"), path("second"));
  ASSERT_FALSE(again);
  EXPECT_FALSE(again.error().empty());
  EXPECT_EQ(again.error().find_first_of("\r\n"), std::string::npos);
  EXPECT_NE(again.error().back(), ' ');
}

TEST_F(WindowsFiles, LongPathsWork) {
  std::string deep = utf8(root_);
  for (int i = 0; i < 12; ++i)
    deep += "\\" + std::string(30, static_cast<char>('a' + i));
  ASSERT_GT(deep.size(), 300U);
  ASSERT_TRUE(platform::create_directories(deep));
  const std::string file = platform::join_path(deep, "records.json");
  ASSERT_TRUE(write_new_file(file, "deep"));
  EXPECT_EQ(platform::file_existence(file).value(), Existence::present);
  EXPECT_EQ(*platform::read_file_up_to(file, 10).value(), "deep");
  {
    auto lock = platform::try_lock_file(platform::join_path(deep, "records.lock"));
    EXPECT_TRUE(lock && lock.value());
  }
  // std::filesystem cannot remove what lies beyond MAX_PATH: take the tree down ourselves.
  std::wstring extended = L"\\\\?\\" + fs::path(fs::u8path(deep)).wstring();
  ASSERT_TRUE(::DeleteFileW((extended + L"\\records.json").c_str()));
  ASSERT_TRUE(::DeleteFileW((extended + L"\\records.lock").c_str()));
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(::RemoveDirectoryW(extended.c_str()));
    extended.resize(extended.rfind(L'\\'));
  }
}

// ---- hashing and protection --------------------------------------------------------------

TEST(WindowsCrypto, Sha256MatchesTheStandardVectors) {
  EXPECT_EQ(hex(platform::sha256("")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hex(platform::sha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex(platform::sha256(std::string(1000000, 'a'))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(WindowsCrypto, ProtectionNeedsTheSameEntropyAndIntactBytes) {
  const std::string secret("records \0 with a NUL", 20);
  auto sealed = platform::protect_for_user(secret, "vft-bills-store");
  ASSERT_TRUE(sealed);
  EXPECT_EQ(sealed->find("records"), std::string::npos);
  EXPECT_EQ(platform::unprotect_for_user(sealed.value(), "vft-bills-store").value(), secret);
  EXPECT_FALSE(platform::unprotect_for_user(sealed.value(), "vft-wallet-store"));
  EXPECT_FALSE(platform::unprotect_for_user(sealed.value(), ""));
  std::string damaged = sealed.value();
  damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x40);
  EXPECT_FALSE(platform::unprotect_for_user(damaged, "vft-bills-store"));
  EXPECT_FALSE(platform::unprotect_for_user("", "vft-bills-store"));
  EXPECT_FALSE(platform::unprotect_for_user("not a blob", "vft-bills-store"));
}

TEST(WindowsCrypto, EmptyInputsRoundTrip) {
  auto sealed = platform::protect_for_user("", "entropy");
  ASSERT_TRUE(sealed);
  EXPECT_FALSE(sealed->empty());
  auto opened = platform::unprotect_for_user(sealed.value(), "entropy");
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->empty());
  auto no_entropy = platform::protect_for_user("data", "");
  ASSERT_TRUE(no_entropy);
  EXPECT_EQ(platform::unprotect_for_user(no_entropy.value(), "").value(), "data");
}

// ---- Unicode -----------------------------------------------------------------------------

TEST(WindowsUnicode, CaseMappingCoversTheMappingsNlsLacks) {
  namespace text = vft::text;
  EXPECT_EQ(text::to_lower("ABC xyz 123"), "abc xyz 123");
  EXPECT_EQ(text::to_upper("abc XYZ 123"), "ABC XYZ 123");
  EXPECT_EQ(text::to_lower("\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9"); // ÉTÉ
  EXPECT_EQ(text::to_lower("TO\xE2\x84\xAA"
                           "EN"),
            "tok"
            "en");                                                   // Kelvin
  EXPECT_EQ(text::to_lower("\xE2\x84\xA6"), "\xCF\x89");             // Ohm
  EXPECT_EQ(text::to_lower("\xC4\xB0"), "i\xCC\x87");                // İ
  EXPECT_EQ(text::to_upper("\xC4\xB1"), "I");                        // ı
  EXPECT_EQ(text::to_upper("\xC5\xBF"), "S");                        // ſ
  EXPECT_EQ(text::to_upper("\xC2\xB5"), "\xCE\x9C");                 // µ
  EXPECT_EQ(text::to_lower("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8"); // Deseret
  EXPECT_EQ(text::to_lower(""), "");
}

TEST(WindowsUnicode, DomainsComeOutAsPunycode) {
  namespace text = vft::text;
  EXPECT_EQ(text::domain_to_ascii("b\xC3\xBC"
                                  "cher.de",
                                  false)
                .value(),
            "xn--bcher-kva.de");
  EXPECT_EQ(text::domain_to_ascii("B\xC3\x9C"
                                  "CHER.DE",
                                  false)
                .value(),
            "xn--bcher-kva.de");
  EXPECT_EQ(text::domain_to_ascii("xn--bcher-kva.de", false).value(), "xn--bcher-kva.de");
  EXPECT_EQ(text::domain_to_ascii("example.com.", false).value(), "example.com.");
  // The ideographic full stop separates labels.
  EXPECT_EQ(text::domain_to_ascii("a\xE3\x80\x82"
                                  "b",
                                  false)
                .value(),
            "a.b");
  EXPECT_TRUE(text::domain_to_ascii("a..b", false));
  EXPECT_FALSE(text::domain_to_ascii("a..b", true));
  EXPECT_FALSE(text::domain_to_ascii("xn--a.de", false)); // not valid Punycode
}

} // namespace

// The selected-file read: canonical paths, kinds, the size limit and the fingerprint.
#include "store/selected_file.hpp"

#include "platform/platform.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace store = vft::store;

class SelectedFile : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("vft-selected-" + std::to_string(vft::platform::process_id()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "sub");
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path write(const std::string &name, const std::string &bytes) {
    const fs::path path = root_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  fs::path root_;
};

TEST_F(SelectedFile, ReadsBytesAndCanonicalPath) {
  const fs::path file = write("a.json", "{\"x\":1}");
  auto read = store::read_selected_file(file.string());
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->bytes, "{\"x\":1}");
  EXPECT_EQ(read->path, fs::canonical(file).string());
}

TEST_F(SelectedFile, LinkAndDotDotGiveOneCanonicalPath) {
  const fs::path file = write("a.json", "same bytes");
  fs::create_symlink(file, root_ / "link.json");
  fs::create_directory_symlink(root_ / "sub", root_ / "sublink");
  const std::string paths[] = {
      (root_ / "sub" / ".." / "a.json").string(), (root_ / "link.json").string(),
      (root_ / "sublink" / ".." / "a.json").string(), (root_ / "." / "a.json").string()};
  auto direct = store::read_selected_file(file.string());
  ASSERT_TRUE(direct);
  for (const std::string &path : paths) {
    auto read = store::read_selected_file(path);
    ASSERT_TRUE(read) << path << ": " << read.error();
    EXPECT_EQ(read->path, direct->path) << path;
    EXPECT_EQ(store::fingerprint(read->bytes), store::fingerprint(direct->bytes));
  }
}

TEST_F(SelectedFile, RefusesRelativePathsAndEmbeddedNul) {
  const fs::path file = write("a.json", "x");
  for (const std::string &path : {std::string("a.json"), std::string("./a.json"), std::string(""),
                                  file.string() + std::string("\0.txt", 5)}) {
    auto read = store::read_selected_file(path);
    ASSERT_FALSE(read) << path;
    EXPECT_EQ(read.error(), store::kChooseAbsolutePath);
  }
}

TEST_F(SelectedFile, RefusesFoldersAndOversizedFiles) {
  auto folder = store::read_selected_file((root_ / "sub").string());
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error(), store::kChooseRegularFile);

  const fs::path exact = write("exact.bin", std::string(store::kMaxSelectedFile, 'a'));
  auto read = store::read_selected_file(exact.string());
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(read->bytes.size(), store::kMaxSelectedFile);

  std::ofstream(exact, std::ios::binary | std::ios::app) << 'b';
  auto over = store::read_selected_file(exact.string());
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), store::kChooseRegularFile);
}

TEST_F(SelectedFile, MissingFileGivesTheSystemText) {
  auto read = store::read_selected_file((root_ / "missing.json").string());
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error(), "No such file or directory");
}

TEST(Fingerprint, KnownDigests) {
  EXPECT_EQ(store::fingerprint(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(store::fingerprint("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(SelectedFile, FingerprintsFilesABlockAtATime) {
  // A million a's (a published digest), then bytes spanning several read blocks.
  const std::string million(1'000'000, 'a');
  std::string large;
  for (std::uint32_t n = 0; large.size() < 2'621'447; n = n * 1'664'525 + 1'013'904'223)
    large += static_cast<char>(n >> 24);
  for (const std::string &bytes : {million, large, std::string()}) {
    const fs::path file = write("video.mp4", bytes);
    auto whole = store::fingerprint_file(file.string(), bytes.size());
    ASSERT_TRUE(whole && whole.value()) << bytes.size();
    EXPECT_EQ(*whole.value(), store::fingerprint(bytes));
    if (!bytes.empty()) {
      auto over = store::fingerprint_file(file.string(), bytes.size() - 1);
      ASSERT_TRUE(over);
      EXPECT_FALSE(over.value()) << "a file over the limit has no fingerprint";
    }
  }
  EXPECT_EQ(store::fingerprint(million),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  auto missing = store::fingerprint_file((root_ / "missing.mp4").string(), 100);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "No such file or directory");
  EXPECT_FALSE(store::fingerprint_file((root_ / "sub").string(), 100));
}

} // namespace

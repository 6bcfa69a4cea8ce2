#include "platform/platform.hpp"
#include "platform/reading_file.hpp"
#include "platform/texts.hpp"
#include "store/document.hpp"
#include "store/files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <variant>
#include <vector>

namespace fs = std::filesystem;
using vft::Json;
using namespace vft::store;

namespace {

class StoreTest : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vft-store-" + std::to_string(vft::platform::now_nanos()));
    fs::create_directories(root_ / "config");
    // The user key goes to a private place for this test only.
    ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string folder(const std::string &app) {
    fs::create_directories(root_ / app);
    return (root_ / app).string();
  }
  static std::string read(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void write(const fs::path &p, const std::string &bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }

  fs::path root_;
  Stamper stamper_;
};

} // namespace

TEST_F(StoreTest, MissingStoreLoadsEmptyAndSavesPretty) {
  auto loaded = load_store("bookmarks", folder("bookmarks"));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->document, empty_document("bookmarks"));
  loaded->document["records"].push_back({{"title", "caf\xC3\xA9 \"q\""}, {"n", 1.0}, {"m", -3}});
  loaded->document["extra"] = Json::object();
  ASSERT_TRUE(save_store(loaded.value(), stamper_));
  const std::string text = read(root_ / "bookmarks" / "records.json");
  EXPECT_EQ(text,
            "{\n  \"app\": \"bookmarks\",\n  \"extra\": {},\n  \"records\": [\n    {\n"
            "      \"m\": -3,\n      \"n\": 1.0,\n      \"title\": \"caf\xC3\xA9 \\\"q\\\"\"\n"
            "    }\n  ],\n  \"schema\": 1,\n  \"undo\": null\n}");
  auto again = load_store("bookmarks", folder("bookmarks"));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->document, loaded->document);
  EXPECT_TRUE(again->document["records"][0]["n"].is_number_float()); // number class survives
}

// A session's save after it only added records copies the text it wrote last time around
// them: the file must be what writing the whole document gives, every time.
TEST_F(StoreTest, SavesAfterAddingRecordsWriteWhatAWholeSaveWrites) {
  for (const std::string app : {"inventory", "bills"}) {
    const std::string dir = folder(app);
    auto loaded = load_store(app, dir);
    ASSERT_TRUE(loaded);
    Store &store = loaded.value();
    const auto saved_whole = [&] {
      EXPECT_TRUE(save_store(store, stamper_));
      std::string text = read(store.file_path());
      if (is_protected_app(app)) text = unprotect(text, store_entropy(app)).value();
      EXPECT_EQ(text, vft::to_pretty_reference(store.document)) << app;
    };
    saved_whole();                                        // no records yet
    store.add_record({{"n", 5}, {"text", "\x01 \"é\""}}); // a signed 5 is saved unsigned
    saved_whole();
    EXPECT_TRUE(store.document["records"][0]["n"].is_number_unsigned());
    store.document["extra"] = {{"kept", true}};
    store.add_record(Json::object());
    store.add_record({{"list", {1, 2}}});
    saved_whole();
    store.records_to_change()[0]["n"] = 6U;
    store.add_record({{"n", 7U}});
    saved_whole();
    EXPECT_EQ(store.document["records"].size(), 4U);
  }
}

TEST_F(StoreTest, RefusedStoresAreLeftAsTheyAre) {
  const auto dir = folder("inventory");
  const auto file = fs::path(dir) / "records.json";
  const std::pair<std::string, std::string> cases[] = {
      {"", "Invalid store; original preserved: parse error at line 1, column 1: syntax error "
           "while parsing value - unexpected end of input; expected '[', '{', or a literal"},
      {R"({"app":"inventory","records":[],"schema":2})", kUnsupportedStore},
      {R"({"app":"inventory","records":[],"schema":1.0})", kUnsupportedStore},
      {R"({"app":"bookmarks","records":[],"schema":1})", kUnsupportedStore},
      {R"({"app":"inventory","records":{},"schema":1})", kUnsupportedStore},
      {R"([1])", kUnsupportedStore},
  };
  for (const auto &[bytes, message] : cases) {
    write(file, bytes);
    auto loaded = load_store("inventory", dir);
    ASSERT_FALSE(loaded) << bytes;
    EXPECT_EQ(loaded.error(), message);
    EXPECT_EQ(read(file), bytes);
  }
  write(file, std::string(200, '[') + std::string(200, ']'));
  auto deep = load_store("inventory", dir);
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().rfind(kInvalidStore, 0), 0U);
}

TEST_F(StoreTest, AStoreThatCannotBeLookedAtIsNeverTakenForMissing) {
  // The "folder" is a file, so whether the store exists cannot be established.
  const auto not_a_folder = root_ / "plain-file";
  write(not_a_folder, "x");
  auto loaded = load_store("studio", not_a_folder.string());
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error(), std::strerror(ENOTDIR));
}

TEST_F(StoreTest, SizeLimitsOnLoadAndSave) {
  const auto dir = folder("media");
  const auto file = fs::path(dir) / "records.json";
  // 70 MiB + 1 is refused before parsing; exactly 70 MiB is parsed (and here found invalid).
  write(file, std::string(kMaxStoreFile + 1, ' '));
  EXPECT_EQ(load_store("media", dir).error(), kStoreTooLargeToLoad);
  write(file, std::string(kMaxStoreFile, ' '));
  EXPECT_EQ(load_store("media", dir).error().rfind(kInvalidStore, 0), 0U);

  fs::remove(file);
  Store big{"media", dir, empty_document("media")};
  big.document["records"].push_back({{"pad", std::string(kMaxStoreDocument, 'x')}});
  EXPECT_EQ(save_store(big, stamper_).error(), kStoreTooLargeToSave);
  EXPECT_FALSE(fs::exists(file));
}

// Whatever a tool puts into the document, the save never writes a store that loading would
// refuse as too deep.
TEST_F(StoreTest, SaveRefusesADocumentTooDeepToLoadAgain) {
  const auto dir = folder("studio");
  const auto nested = [](int levels) {
    Json value = "leaf";
    for (int i = 0; i < levels; ++i)
      value = Json::array({value});
    return value;
  };
  EXPECT_TRUE(vft::nests_within(nested(3), 3));
  EXPECT_FALSE(vft::nests_within(nested(4), 3));
  EXPECT_TRUE(vft::nests_within(Json("x"), 0));

  Store store{"studio", dir, empty_document("studio")};
  // The document, records and the record take three levels.
  store.document["records"].push_back({{"deep", nested(vft::kMaxJsonDepth - 3)}});
  ASSERT_TRUE(save_store(store, stamper_));
  const auto file = fs::path(dir) / "records.json";
  const std::string saved = read(file);
  ASSERT_TRUE(load_store("studio", dir));

  store.document["records"][0]["deep"] = nested(vft::kMaxJsonDepth - 2);
  EXPECT_EQ(save_store(store, stamper_).error(), kStoreTooDeep);
  EXPECT_EQ(read(file), saved);
}

TEST_F(StoreTest, ProtectedStoresAreSealedPerAppAndUser) {
  const auto bills = folder("bills");
  Store store{"bills", bills, empty_document("bills")};
  store.document["records"].push_back({{"title", "ACME Power"}});
  ASSERT_TRUE(save_store(store, stamper_));
  const auto sealed = read(fs::path(bills) / "records.dpapi");
  EXPECT_EQ(sealed.find("ACME"), std::string::npos);
  EXPECT_EQ(load_store("bills", bills)->document, store.document);

  // Another app's entropy cannot open it, and the file is left alone.
  const auto wallet = folder("wallet");
  write(fs::path(wallet) / "records.dpapi", sealed);
  EXPECT_EQ(load_store("wallet", wallet).error(), vft::platform_texts::kProtectionFailed);
  EXPECT_EQ(read(fs::path(wallet) / "records.dpapi"), sealed);

  // A flipped byte anywhere is detected.
  std::string damaged = sealed;
  damaged[damaged.size() / 2] ^= 1;
  write(fs::path(bills) / "records.dpapi", damaged);
  EXPECT_EQ(load_store("bills", bills).error(), vft::platform_texts::kProtectionFailed);

  // Another user's key cannot open it, and unprotecting never creates a key.
  write(fs::path(bills) / "records.dpapi", sealed);
  fs::create_directories(root_ / "other");
  ::setenv("XDG_CONFIG_HOME", (root_ / "other").c_str(), 1);
  EXPECT_EQ(load_store("bills", bills).error(), vft::platform_texts::kProtectionFailed);
  EXPECT_FALSE(fs::exists(root_ / "other" / "veymora" / "user.key"));
}

TEST_F(StoreTest, ProtectionRoundTripsAndChecksSizeFirst) {
  auto empty = protect("", "e1");
  ASSERT_TRUE(empty);
  EXPECT_EQ(unprotect(empty.value(), "e1").value(), "");
  EXPECT_EQ(unprotect(empty.value(), "e2").error(), vft::platform_texts::kProtectionFailed);
  const std::string over(kMaxProtectedInput + 1, 'a');
  EXPECT_EQ(protect(over, "e1").error(), kPayloadTooLarge);
  EXPECT_EQ(unprotect(over, "e1").error(), kPayloadTooLarge);
  // Exactly the limit reaches the platform.
  auto exact = protect(std::string_view(over).substr(1), "e1");
  ASSERT_TRUE(exact);
  EXPECT_GT(exact.value().size(), kMaxProtectedInput);
}

TEST_F(StoreTest, StampedNamesStrictlyIncrease) {
  std::string previous = stamper_.name("write");
  for (int i = 0; i < 1000; ++i) {
    std::string next = stamper_.name("write");
    const auto nanos = [](const std::string &s) {
      return std::stoull(s.substr(6, s.rfind('-') - 6));
    };
    ASSERT_LT(nanos(previous), nanos(next));
    previous = next;
  }
  EXPECT_EQ(previous.rfind("write-", 0), 0U);
  EXPECT_EQ(previous.substr(previous.rfind('-') + 1), std::to_string(vft::platform::process_id()));
}

TEST(StoreFiles, StampedNamesTellTheirOwner) {
  using vft::store::owner_gone;
  using vft::store::stamped_name_owner;
  EXPECT_EQ(stamped_name_owner("render-12-345.log", "render", ".log"), 345U);
  EXPECT_EQ(stamped_name_owner(".write-1-2.tmp", ".write", ".tmp"), 2U);
  for (const char *name : {"render-12-345.txt", "render-12.log", "render--345.log",
                           "renders-12-345.log", "render-1x-345.log", "render-12-3a.log",
                           "render-1-99999999999999999999.log", "render.log"}) {
    EXPECT_FALSE(stamped_name_owner(name, "render", ".log")) << name;
  }
  EXPECT_TRUE(vft::store::is_replacement_temporary(".write-1-2.tmp"));
  // Ours (an earlier call's) and a process that cannot exist are gone; a running one is not.
  const std::string mine = "render-1-" + std::to_string(vft::platform::process_id()) + ".log";
  EXPECT_TRUE(owner_gone(mine, "render", ".log"));
  EXPECT_TRUE(owner_gone("render-1-4294967295.log", "render", ".log"));
#ifndef _WIN32
  EXPECT_FALSE(owner_gone("render-1-1.log", "render", ".log"));
#endif
  EXPECT_FALSE(owner_gone("other-1-4294967295.log", "render", ".log"));
}

TEST_F(StoreTest, AtomicReplaceLeavesOldContentWhenTheRenameFails) {
  const auto dir = folder("studio");
  const auto target = fs::path(dir) / "target";
  fs::create_directories(target / "inside"); // a non-empty folder cannot be replaced by a file
  EXPECT_FALSE(atomic_replace(target.string(), "new", stamper_));
  EXPECT_TRUE(fs::is_directory(target / "inside"));
  for (const auto &entry : fs::directory_iterator(dir)) {
    EXPECT_NE(entry.path().extension(), ".tmp") << "temporary file left behind";
  }
  EXPECT_EQ(atomic_replace("no-parent", "x", stamper_).error(), kNoParent);
}

// A file compared with the bytes a session keeps: only exactly those bytes count as the same,
// and anything else reads as the file's own bytes, however it differs.
TEST(ReadWhole, ComparesWithKnownBytesOrReadsTheFile) {
  std::string known(200'000, 'k');
  for (std::size_t i = 0; i < known.size(); ++i)
    known[i] = static_cast<char>('a' + i % 26);
  const auto read = [&](const std::string &file, std::optional<std::string_view> with,
                        std::uint64_t max_bytes = 1'000'000) {
    std::size_t at = 0;
    // Odd-sized pieces, as a read may return fewer bytes than asked for.
    const auto read_some = [&](char *buffer, std::size_t size) -> vft::Result<std::size_t> {
      const std::size_t n = std::min({size, file.size() - at, std::size_t{40'000}});
      std::memcpy(buffer, file.data() + at, n);
      at += n;
      return n;
    };
    return vft::platform::read_whole(read_some, known.size(), max_bytes, with).value();
  };
  const auto same = read(known, known);
  EXPECT_TRUE(same.same_as_known);
  EXPECT_FALSE(same.bytes);

  std::vector<std::string> others = {known.substr(0, 150'000), known + "x", known + known,
                                     std::string()};
  for (const std::size_t at : {std::size_t{0}, std::size_t{65'536}, known.size() - 1}) {
    others.push_back(known);
    others.back()[at] = '!';
  }
  for (const std::string &other : others) {
    const auto found = read(other, known);
    EXPECT_FALSE(found.same_as_known);
    ASSERT_TRUE(found.bytes);
    EXPECT_TRUE(*found.bytes == other) << other.size();
    EXPECT_TRUE(*read(other, std::nullopt).bytes == other);
  }
  EXPECT_FALSE(read(known + known, known, 300'000).bytes);
  EXPECT_FALSE(read(known + "x", known, known.size()).bytes);
  EXPECT_FALSE(read(known, std::string_view(known).substr(1)).same_as_known);
}

TEST(DataHomeTest, EmptyAndUnfilledSettingsAreUnsetAndARelativeDataHomeIsRefused) {
  ::unsetenv("LOCALAPPDATA");
  ::setenv("XDG_DATA_HOME", "/xdg", 1);
  for (const char *unset : {"", "${user_config.data_folder}"}) {
    ::setenv("VEYMORA_DATA_HOME", unset, 1);
    EXPECT_FALSE(environment_setting("VEYMORA_DATA_HOME")) << unset;
    EXPECT_EQ(data_folder("studio").value(), "/xdg/veymora/studio") << unset;
  }
  // Only a whole placeholder is one; anything else is the user's value.
  for (const char *kept : {"${x", "a${x}", "/data"}) {
    ::setenv("VEYMORA_DATA_HOME", kept, 1);
    EXPECT_EQ(environment_setting("VEYMORA_DATA_HOME").value_or("-"), kept);
  }
  EXPECT_EQ(data_folder("studio").value(), "/data/studio");
  for (const char *relative : {"data", "./data", "${x", "~/data"}) {
    ::setenv("VEYMORA_DATA_HOME", relative, 1);
    EXPECT_EQ(data_folder("studio").error(), kRelativeDataHome) << relative;
  }
  ::unsetenv("VEYMORA_DATA_HOME");
  ::unsetenv("XDG_DATA_HOME");
}

// The moves between what a call knows of the store file's text, one-shot and in a session.
TEST_F(StoreTest, TheStoreTextMovesBetweenItsStates) {
  const auto is = [](const Store &store, auto state) {
    return std::holds_alternative<decltype(state)>(store.text());
  };
  const std::string dir = folder("inventory");
  auto missing = load_store("inventory", dir, nullptr, RecordUse::count_and_add);
  ASSERT_TRUE(missing);
  EXPECT_TRUE(is(*missing, Untracked{}));
  missing->add_record({{"n", 1U}});
  ASSERT_TRUE(save_store(*missing, stamper_));
  EXPECT_TRUE(is(*missing, WrittenByUs{}));

  // One-shot: a call that only counts and adds gets the records as text and adds to it.
  auto adding = load_store("inventory", dir, nullptr, RecordUse::count_and_add);
  ASSERT_TRUE(adding);
  EXPECT_TRUE(is(*adding, RecordsUnread{}));
  EXPECT_EQ(adding->record_count(), 1U);
  adding->add_record({{"n", 2U}});
  ASSERT_TRUE(save_store(*adding, stamper_));
  EXPECT_TRUE(is(*adding, RecordsUnread{}));
  ASSERT_TRUE(adding->read_records());
  EXPECT_TRUE(is(*adding, Untracked{}));
  EXPECT_EQ(adding->document["records"].size(), 2U);
  auto any_use = load_store("inventory", dir);
  ASSERT_TRUE(any_use);
  EXPECT_TRUE(is(*any_use, Untracked{}));
  EXPECT_EQ(any_use->document, adding->document);

  // A session: read whole, then the text it wrote, kept between calls while the call succeeds.
  KeptStore kept;
  auto first = load_store("inventory", dir, &kept);
  ASSERT_TRUE(first);
  EXPECT_TRUE(is(*first, ReadWhole{}));
  first->add_record({{"n", 3U}});
  ASSERT_TRUE(save_store(*first, stamper_));
  EXPECT_TRUE(is(*first, WrittenByUs{}));
  keep_store(kept, std::move(*first), true);
  auto second = load_store("inventory", dir, &kept);
  ASSERT_TRUE(second);
  EXPECT_TRUE(is(*second, WrittenByUs{}));
  (void)second->records(); // reading changes nothing
  EXPECT_TRUE(is(*second, WrittenByUs{}));
  second->records_to_change()[0]["n"] = 0U;
  EXPECT_TRUE(is(*second, ReadWhole{}));
  keep_store(kept, std::move(*second), false);
  auto third = load_store("inventory", dir, &kept);
  ASSERT_TRUE(third);
  EXPECT_TRUE(is(*third, ReadWhole{}));
  EXPECT_EQ(third->document["records"][0]["n"], 1U);

  // A protected store's save is sealed.
  auto bills = load_store("bills", folder("bills"), &kept);
  ASSERT_TRUE(bills);
  bills->add_record({{"n", 1U}});
  ASSERT_TRUE(save_store(*bills, stamper_));
  EXPECT_TRUE(is(*bills, Sealed{}));
  EXPECT_NE(bills->search_texts(), nullptr);
}

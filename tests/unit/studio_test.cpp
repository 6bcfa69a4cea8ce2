// The studio's derived release status, the receipt checks and the evidence cap.
#include "apps/studio/studio.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using vft::Json;
namespace studio = vft::apps::studio;

Json tool(const char *visibility = "private", const char *version = "1.0.0") {
  return Json{{"id", "my-tool"},
              {"toolVersion", version},
              {"visibility", visibility},
              {"evidence", Json::array()}};
}

Json entry(const char *stage, const char *outcome, const char *version = "1.0.0") {
  return Json{{"stage", stage}, {"outcome", outcome}, {"tool_version", version}};
}

void add(Json &record, Json e) { record["evidence"].push_back(std::move(e)); }

const Json &stages(const Json &status) { return status.at("requiredStages"); }

TEST(ReleaseStatus, FreshPrivateToolHasThreeUnverifiedStages) {
  const Json status = studio::release_status(tool());
  EXPECT_EQ(status.at("complete"), false);
  EXPECT_EQ(
      stages(status),
      (Json{{"build", "unverified"}, {"clean_install", "unverified"}, {"tests", "unverified"}}));
  EXPECT_EQ(status.at("hostTesting"), "Codex and ChatGPT host evidence are recorded separately; "
                                      "protocol and install receipts do not imply either.");
  EXPECT_EQ(status.size(), 3U);
}

TEST(ReleaseStatus, PrivateToolCompletesOnItsThreeStages) {
  Json record = tool();
  for (const char *stage : {"build", "tests", "clean_install"})
    add(record, entry(stage, "passed"));
  EXPECT_EQ(studio::release_status(record).at("complete"), true);
}

TEST(ReleaseStatus, PublicToolNeedsPageDownloadAndShowcase) {
  Json record = tool("public");
  for (const char *stage : {"build", "tests", "clean_install"})
    add(record, entry(stage, "passed"));
  Json status = studio::release_status(record);
  EXPECT_EQ(status.at("complete"), false);
  EXPECT_EQ(stages(status).size(), 6U);
  EXPECT_EQ(stages(status).at("showcase"), "unverified");
  for (const char *stage : {"public_page", "public_download"})
    add(record, entry(stage, "passed"));
  EXPECT_EQ(studio::release_status(record).at("complete"), false);
  add(record, entry("showcase", "passed"));
  EXPECT_EQ(studio::release_status(record).at("complete"), true);
}

TEST(ReleaseStatus, OnlyTheExactWordPublicMakesAToolPublic) {
  EXPECT_EQ(stages(studio::release_status(tool("Public"))).size(), 3U);
  Json no_visibility = tool();
  no_visibility.erase("visibility");
  EXPECT_EQ(stages(studio::release_status(no_visibility)).size(), 3U);
}

TEST(ReleaseStatus, NewestEntryOfTheCurrentVersionDecides) {
  Json record = tool();
  add(record, entry("build", "passed"));
  add(record, entry("build", "failed"));
  EXPECT_EQ(stages(studio::release_status(record)).at("build"), "failed");
  add(record, entry("build", "passed"));
  EXPECT_EQ(stages(studio::release_status(record)).at("build"), "passed");
  // A newer entry for an older version does not hide the current version's entry.
  add(record, entry("build", "failed", "0.9.0"));
  EXPECT_EQ(stages(studio::release_status(record)).at("build"), "passed");
}

TEST(ReleaseStatus, ChangingToolVersionResetsEveryStage) {
  Json record = tool();
  for (const char *stage : {"build", "tests", "clean_install"})
    add(record, entry(stage, "passed"));
  record["toolVersion"] = "1.0.1";
  const Json status = studio::release_status(record);
  EXPECT_EQ(status.at("complete"), false);
  for (const auto &[stage, outcome] : stages(status).items())
    EXPECT_EQ(outcome, "unverified");
}

TEST(ReleaseStatus, HostAndDirectoryStagesNeverEnter) {
  Json record = tool("public");
  for (const char *stage : {"codex_host", "chatgpt_host", "directory_listing"}) {
    add(record, entry(stage, "passed"));
  }
  const Json status = studio::release_status(record);
  EXPECT_FALSE(stages(status).contains("codex_host"));
  EXPECT_FALSE(stages(status).contains("directory_listing"));
  EXPECT_EQ(status.at("complete"), false);
}

TEST(ReleaseStatus, UnverifiedEntryIsNotPassed) {
  Json record = tool();
  for (const char *stage : {"build", "tests"})
    add(record, entry(stage, "passed"));
  add(record, entry("clean_install", "unverified"));
  EXPECT_EQ(studio::release_status(record).at("complete"), false);
}

TEST(ReleaseStatus, DamagedEvidenceIsSkippedNotFatal) {
  Json record = tool();
  record["evidence"] = Json::array({42, "text", Json::object(), entry("build", "passed")});
  EXPECT_EQ(stages(studio::release_status(record)).at("build"), "passed");
  record["evidence"] = "not a list";
  EXPECT_EQ(stages(studio::release_status(record)).at("build"), "unverified");
}

// ---- receipts ------------------------------------------------------------------------

Json call_args(const char *stage = "build", const char *outcome = "passed") {
  return Json{{"id", "my-tool"}, {"expectedVersion", 1U}, {"toolVersion", "1.0.0"},
              {"stage", stage},  {"outcome", outcome},    {"evidencePath", "/r.json"}};
}

Json receipt(const char *stage = "build", const char *outcome = "passed") {
  return Json{{"tool_id", "my-tool"},
              {"tool_version", "1.0.0"},
              {"stage", stage},
              {"outcome", outcome},
              {"observed_at", "2025-01-01T00:00:00Z"}};
}

constexpr const char *kMismatch =
    "Evidence receipt must match tool_id, tool_version, stage, outcome and observed_at";
constexpr const char *kNeedsHttps = "A public success receipt needs the observed HTTPS URL";

std::string receipt_error(const Json &r, const Json &args = call_args()) {
  auto checked = studio::check_receipt(r, tool(), args);
  return checked ? std::string() : checked.error();
}

TEST(Receipt, MatchingReceiptPasses) { EXPECT_EQ(receipt_error(receipt()), ""); }

TEST(Receipt, EachMismatchIsRefused) {
  for (const char *name : {"tool_id", "tool_version", "stage", "outcome"}) {
    Json r = receipt();
    r[name] = "other";
    EXPECT_EQ(receipt_error(r), kMismatch) << name;
    r.erase(name);
    EXPECT_EQ(receipt_error(r), kMismatch) << name;
  }
  Json r = receipt();
  r["observed_at"] = 1700000000;
  EXPECT_EQ(receipt_error(r), kMismatch);
  r.erase("observed_at");
  EXPECT_EQ(receipt_error(r), kMismatch);
}

TEST(Receipt, FailedReceiptDoesNotProveAPass) {
  EXPECT_EQ(receipt_error(receipt("build", "failed")), kMismatch);
}

TEST(Receipt, ValuesMustMatchAsJsonNotAsText) {
  Json r = receipt();
  r["tool_version"] = Json::array({"1.0.0"});
  EXPECT_EQ(receipt_error(r), kMismatch);
  r = receipt();
  r["tool_id"] = "My-Tool";
  EXPECT_EQ(receipt_error(r), kMismatch);
}

TEST(Receipt, NonObjectJsonIsRefused) {
  for (const Json &value : {Json::array({receipt()}), Json("text"), Json(nullptr), Json(1)}) {
    EXPECT_EQ(receipt_error(value), kMismatch);
  }
}

TEST(Receipt, PublicSuccessNeedsHttpsUrl) {
  for (const char *stage : {"public_page", "public_download", "showcase"}) {
    const Json args = call_args(stage);
    Json r = receipt(stage);
    EXPECT_EQ(receipt_error(r, args), kNeedsHttps) << stage;
    r["url"] = "http://example.com/tool";
    EXPECT_EQ(receipt_error(r, args), kNeedsHttps) << stage;
    r["url"] = "HTTPS://example.com/tool";
    EXPECT_EQ(receipt_error(r, args), kNeedsHttps) << stage;
    r["url"] = Json::array({"https://example.com"});
    EXPECT_EQ(receipt_error(r, args), kNeedsHttps) << stage;
    r["url"] = "https://example.com/tool";
    EXPECT_EQ(receipt_error(r, args), "") << stage;
  }
}

TEST(Receipt, OtherReceiptsNeedNoUrl) {
  EXPECT_EQ(receipt_error(receipt("showcase", "failed"), call_args("showcase", "failed")), "");
  EXPECT_EQ(receipt_error(receipt("showcase", "unverified"), call_args("showcase", "unverified")),
            "");
  EXPECT_EQ(receipt_error(receipt("codex_host"), call_args("codex_host")), "");
  Json r = receipt();
  r["url"] = "http://plain.example";
  EXPECT_EQ(receipt_error(r), "");
}

TEST(Receipt, MatchIsCheckedBeforeTheUrl) {
  Json r = receipt("showcase");
  r.erase("observed_at");
  EXPECT_EQ(receipt_error(r, call_args("showcase")), kMismatch);
}

// ---- the evidence cap ----------------------------------------------------------------

TEST(EvidenceCap, FiveHundredFirstEntryDropsTheOldest) {
  Json record = tool();
  for (int i = 0; i < 500; ++i)
    studio::append_evidence(record, Json{{"n", i}});
  ASSERT_EQ(record["evidence"].size(), 500U);
  EXPECT_EQ(record["evidence"].front()["n"], 0);
  studio::append_evidence(record, Json{{"n", 500}});
  ASSERT_EQ(record["evidence"].size(), 500U);
  EXPECT_EQ(record["evidence"].front()["n"], 1);
  EXPECT_EQ(record["evidence"].back()["n"], 500);
}

TEST(EvidenceCap, OverfullListIsBroughtBackToTheCap) {
  Json record = tool();
  record["evidence"] = Json::array();
  for (int i = 0; i < 503; ++i)
    record["evidence"].push_back(Json{{"n", i}});
  studio::append_evidence(record, Json{{"n", 503}});
  ASSERT_EQ(record["evidence"].size(), 500U);
  EXPECT_EQ(record["evidence"].front()["n"], 4);
}

TEST(EvidenceCap, MissingListStartsEmpty) {
  Json record = tool();
  record.erase("evidence");
  studio::append_evidence(record, Json{{"n", 1}});
  EXPECT_EQ(record["evidence"], Json::array({Json{{"n", 1}}}));
}

TEST(WithReleaseStatus, AddsTheStatusToACopyOnly) {
  const Json record = tool();
  const Json shown = studio::with_release_status(record);
  EXPECT_TRUE(shown.contains("releaseStatus"));
  EXPECT_FALSE(record.contains("releaseStatus"));
}

} // namespace

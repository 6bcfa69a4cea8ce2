// Evidence receipts and the release status derived from them. Nothing here runs a build, a
// test or a publication: a stage advances only on a receipt the user's own process saved.
#include "apps/studio/studio.hpp"

#include "apps/common/arguments.hpp"
#include "apps/common/records.hpp"
#include "store/selected_file.hpp"

#include <array>
#include <string_view>

namespace vft::apps::studio {

namespace {

constexpr const char *kOtherToolVersion = "Evidence must identify the current tool version";
constexpr const char *kNotJsonReceipt = "Evidence must be a saved JSON receipt";
constexpr const char *kReceiptMismatch =
    "Evidence receipt must match tool_id, tool_version, stage, outcome and observed_at";
constexpr const char *kNeedsHttpsUrl = "A public success receipt needs the observed HTTPS URL";
constexpr const char *kReceiptTooDeep = "Evidence receipt nests deeper than 124 levels";
constexpr const char *kHostTesting = "Codex and ChatGPT host evidence are recorded separately; "
                                     "protocol and install receipts do not imply either.";

constexpr std::size_t kMaxEvidencePath = 2048;
// A receipt is stored as an element of store.records[i].evidence: four levels down, and the
// stored store must still be loadable.
constexpr int kMaxReceiptDepth = kMaxJsonDepth - 4;
constexpr std::string_view kHttpsPrefix = "https://";
constexpr const char *kPassed = "passed";
constexpr const char *kUnverified = "unverified";

constexpr std::array<std::string_view, 3> kPrivateStages{"build", "tests", "clean_install"};
constexpr std::array<std::string_view, 3> kPublicStages{"public_page", "public_download",
                                                        "showcase"};

bool is_public_stage(const Json &stage) {
  for (const std::string_view name : kPublicStages) {
    if (stage == Json(name)) return true;
  }
  return false;
}

// The outcome of the newest entry for the stage at the record's current tool version.
Json stage_outcome(const Json &record, std::string_view stage) {
  const auto evidence = record.find("evidence");
  if (evidence == record.end() || !evidence->is_array()) return kUnverified;
  const auto version = record.find("toolVersion");
  if (version == record.end()) return kUnverified;
  for (auto entry = evidence->rbegin(); entry != evidence->rend(); ++entry) {
    if (!entry->is_object()) continue;
    const auto entry_stage = entry->find("stage");
    const auto entry_version = entry->find("tool_version");
    if (entry_stage == entry->end() || *entry_stage != Json(stage)) continue;
    if (entry_version == entry->end() || *entry_version != *version) continue;
    const auto outcome = entry->find("outcome");
    return outcome == entry->end() ? Json(kUnverified) : *outcome;
  }
  return kUnverified;
}

} // namespace

Json release_status(const Json &record) {
  Json stages = Json::object();
  bool complete = true;
  auto add = [&](std::string_view stage) {
    Json outcome = stage_outcome(record, stage);
    complete = complete && outcome == Json(kPassed);
    stages[std::string(stage)] = std::move(outcome);
  };
  for (const std::string_view stage : kPrivateStages)
    add(stage);
  if (member_or_null(record, "visibility") == Json("public")) {
    for (const std::string_view stage : kPublicStages)
      add(stage);
  }
  return Json{{"complete", complete}, {"requiredStages", stages}, {"hostTesting", kHostTesting}};
}

Json with_release_status(const Json &record) {
  Json out = record;
  if (out.is_object()) out["releaseStatus"] = release_status(record);
  return out;
}

Result<void> check_receipt(const Json &receipt, const Json &record, const Json &args) {
  if (!receipt.is_object()) return fail(kReceiptMismatch);
  const Json stage = member_or_null(receipt, "stage");
  if (member_or_null(receipt, "tool_id") != member_or_null(record, "id") ||
      member_or_null(receipt, "tool_version") != member_or_null(args, "toolVersion") ||
      !stage.is_string() || stage != member_or_null(args, "stage") ||
      member_or_null(receipt, "outcome") != member_or_null(args, "outcome") ||
      !member_or_null(receipt, "observed_at").is_string()) {
    return fail(kReceiptMismatch);
  }
  if (is_public_stage(stage) && member_or_null(args, "outcome") == Json(kPassed)) {
    const Json url = member_or_null(receipt, "url");
    if (!url.is_string() || !url.get_ref<const std::string &>().starts_with(kHttpsPrefix)) {
      return fail(kNeedsHttpsUrl);
    }
  }
  return {};
}

void append_evidence(Json &record, Json entry) {
  Json &evidence = record["evidence"];
  if (!evidence.is_array()) evidence = Json::array();
  // Normally one entry goes; a store edited by hand to hold more is brought back to the cap.
  while (evidence.size() >= kMaxEvidence)
    evidence.erase(evidence.begin());
  evidence.push_back(std::move(entry));
}

Result<Json> record_tool_evidence(ToolCall &call) {
  VFT_TRY(auto index, apps::lookup_for_change(call.store.document, call.args));
  Json &stored = call.records_to_change()[index];
  if (member_or_null(call.args, "toolVersion") != member_or_null(stored, "toolVersion")) {
    return fail(kOtherToolVersion);
  }
  if (!member_or_null(call.args, "stage").is_string()) {
    return fail(std::string(apps::kInvalidType) + "stage");
  }
  VFT_TRY(auto path, apps::required_text(call.args, "evidencePath", kMaxEvidencePath));
  VFT_TRY(auto file, store::read_selected_file(path));
  auto receipt = parse_json(file.bytes);
  if (!receipt) return fail(kNotJsonReceipt);
  if (!nests_within(receipt.value(), kMaxReceiptDepth)) return fail(kReceiptTooDeep);
  VFT_TRY_VOID(check_receipt(receipt.value(), stored, call.args));

  Json entry = std::move(receipt.value());
  entry["receiptPath"] = path;
  entry["receiptSha256"] = store::fingerprint(file.bytes);
  entry["recordedAt"] = store::Stamper::now_seconds();
  Json record = stored;
  append_evidence(record, std::move(entry));
  apps::touch(record);
  stored = record;
  VFT_TRY_VOID(call.save());
  return with_release_status(record);
}

} // namespace vft::apps::studio

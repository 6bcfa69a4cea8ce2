// Evidence sources, payment attempts, confirmations and voids of a saved bill. Each change
// opens the bill (lookup, version guard, archived refusal) and ends with the bill commit.
#include "apps/bills/bills.hpp"
#include "apps/bills/ledger.hpp"
#include "apps/bills/money.hpp"
#include "apps/common/records.hpp"

namespace vft::apps::bills {

namespace {

constexpr std::size_t kMaxAttempts = 100;
constexpr std::size_t kMaxConfirmations = 100;
constexpr std::size_t kMaxDate = 10;
constexpr std::size_t kMaxAttemptNote = 2000;
constexpr std::size_t kMaxReference = 200;
constexpr std::size_t kMaxVoidReason = 1000;

constexpr const char *kRestoreBeforeSources = "Restore the bill before adding sources";
constexpr const char *kRestoreBeforePayment = "Restore the bill before recording a payment";
constexpr const char *kRestoreBeforeConfirmation =
    "Restore the bill before recording a confirmation";
constexpr const char *kRestoreBeforeCorrecting = "Restore the bill before correcting confirmations";
constexpr const char *kPaymentPositive = "Payment amount must be positive";
constexpr const char *kAttemptLimit = "Payment attempt limit reached (100)";
constexpr const char *kConfirmationPositive = "Confirmation amount must be positive";
constexpr const char *kAlreadyConfirmed =
    "This confirmation or evidence is already recorded; inspect the existing payment";
constexpr const char *kConfirmationLimit = "Confirmation limit reached (100)";
constexpr const char *kConfirmationNotFound = "Confirmation not found";
constexpr const char *kAlreadyVoided = "Confirmation is already voided";

Result<std::string> read_date(const Json &args, const char *name) {
  VFT_TRY(auto date, apps::required_text(args, name, kMaxDate));
  VFT_TRY_VOID(apps::date_rule(date));
  return date;
}

Result<std::uint64_t> read_positive_amount(const Json &args, const char *zero_message) {
  VFT_TRY(auto amount, read_amount(args, "amountMinor"));
  if (amount == 0) return fail(zero_message);
  return amount;
}

bool is_voided(const Json &confirmation) {
  const auto voided = confirmation.find("voided");
  return voided != confirmation.end() && voided->is_boolean() && voided->get<bool>();
}

// The evidence's fingerprint, or an empty text when it has none.
std::string evidence_sha(const Json &holder) {
  if (!holder.is_object()) return {};
  const auto sha = holder.find("sha256");
  return sha != holder.end() && sha->is_string() ? sha->get<std::string>() : std::string();
}

} // namespace

Result<Json> add_bill_source(ToolCall &call) {
  VFT_TRY(auto index, open_bill_for_change(call, kRestoreBeforeSources));
  VFT_TRY(auto path, apps::text_rule(call.args, "sourcePath"));
  VFT_TRY(auto evidence, evidence_step(path));

  Json record = call.records()[index];
  Json &sources = array_member(record, "sources");
  const std::string sha = evidence_sha(evidence);
  for (const Json &source : sources) {
    if (has_text(source, "sha256", sha)) {
      return Json{{"bill", call.records()[index]}, {"duplicate", true}};
    }
  }
  if (sources.size() >= kMaxSources) return fail(kSourceLimit);
  sources.push_back(std::move(evidence));
  return commit_bill(call, std::move(record), index);
}

Result<Json> record_payment_attempt(ToolCall &call) {
  VFT_TRY(auto index, open_bill_for_change(call, kRestoreBeforePayment));
  VFT_TRY(auto attempted_on, read_date(call.args, "attemptedOn"));
  VFT_TRY(auto amount, read_positive_amount(call.args, kPaymentPositive));
  VFT_TRY(auto note, apps::required_text(call.args, "note", kMaxAttemptNote));

  Json record = call.records()[index];
  Json &attempts = array_member(record, "attempts");
  if (attempts.size() >= kMaxAttempts) return fail(kAttemptLimit);
  // The attempt's amount is kept for the record only; it never counts as paid.
  attempts.push_back(Json{{"amountMinor", amount},
                          {"attemptedOn", std::move(attempted_on)},
                          {"id", call.stamper.name("attempt")},
                          {"note", std::move(note)},
                          {"recordedAt", store::Stamper::now_seconds()}});
  return commit_bill(call, std::move(record), index);
}

Result<Json> confirm_payment(ToolCall &call) {
  VFT_TRY(auto index, open_bill_for_change(call, kRestoreBeforeConfirmation));
  VFT_TRY(auto confirmed_on, read_date(call.args, "confirmedOn"));
  VFT_TRY(auto reference, apps::required_text(call.args, "confirmationReference", kMaxReference));
  VFT_TRY(auto amount, read_positive_amount(call.args, kConfirmationPositive));
  VFT_TRY(auto path, apps::text_rule(call.args, "evidencePath"));
  VFT_TRY(auto evidence, evidence_step(path));

  Json record = call.records()[index];
  Json &confirmations = array_member(record, "confirmations");
  const std::string sha = evidence_sha(evidence);
  // Only active confirmations block: a voided one frees its reference and its evidence.
  for (const Json &confirmation : confirmations) {
    if (!confirmation.is_object() || is_voided(confirmation)) continue;
    const auto stored_evidence = confirmation.find("evidence");
    if (has_text(confirmation, "reference", reference) ||
        (stored_evidence != confirmation.end() && has_text(*stored_evidence, "sha256", sha))) {
      return fail(kAlreadyConfirmed);
    }
  }
  if (confirmations.size() >= kMaxConfirmations) return fail(kConfirmationLimit);
  confirmations.push_back(Json{{"amountMinor", amount},
                               {"confirmedOn", std::move(confirmed_on)},
                               {"evidence", std::move(evidence)},
                               {"id", call.stamper.name("confirmation")},
                               {"recordedAt", store::Stamper::now_seconds()},
                               {"reference", std::move(reference)},
                               {"voided", false}});
  return commit_bill(call, std::move(record), index);
}

Result<Json> void_confirmation(ToolCall &call) {
  VFT_TRY(auto index, open_bill_for_change(call, kRestoreBeforeCorrecting));
  VFT_TRY(auto confirmation_id, apps::text_rule(call.args, "confirmationId"));
  VFT_TRY(auto reason, apps::required_text(call.args, "reason", kMaxVoidReason));

  Json record = call.records()[index];
  Json *target = nullptr;
  for (Json &confirmation : array_member(record, "confirmations")) {
    if (has_text(confirmation, "id", confirmation_id)) {
      target = &confirmation;
      break;
    }
  }
  if (target == nullptr) return fail(kConfirmationNotFound);
  if (is_voided(*target)) return fail(kAlreadyVoided);
  // The confirmation and its evidence stay; it only stops counting.
  (*target)["voided"] = true;
  (*target)["voidReason"] = std::move(reason);
  (*target)["voidedAt"] = store::Stamper::now_seconds();
  return commit_bill(call, std::move(record), index);
}

} // namespace vft::apps::bills

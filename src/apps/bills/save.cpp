// save_bill: creation and correction of a bill, identified by its billing period.
#include "apps/bills/bills.hpp"
#include "apps/bills/ledger.hpp"
#include "apps/bills/money.hpp"
#include "apps/common/records.hpp"

#include <optional>

namespace vft::apps::bills {

namespace {

constexpr std::size_t kMaxBills = 3000;
constexpr std::size_t kMaxTitle = 160;
constexpr std::size_t kMaxProvider = 160;
constexpr std::size_t kMaxDate = 10;
constexpr std::size_t kMaxAccountLabelBytes = 100;
constexpr std::size_t kMaxFreeTextBytes = 2000;

constexpr const char *kPeriodOrder = "periodStart must not follow periodEnd";
constexpr const char *kAmountPositive = "amountMinor must be positive";
constexpr const char *kShortAccountLabel = "Use a short account label, not account credentials";
constexpr const char *kRestoreBeforeChanging = "Restore the bill before changing it";
constexpr const char *kDuplicatePeriod = "This would duplicate another billing period";
constexpr const char *kBillLimit = "Bill limit reached (3000)";
constexpr const char *kDuplicateNote =
    "This billing period already exists, including archived records. Read and correct or "
    "restore it explicitly; no payment state was changed.";

// The checked contents of a save_bill call, before any record is looked at.
struct BillInput {
  std::string title;
  std::string provider;
  std::string period_start;
  std::string period_end;
  std::string due_date;
  std::uint64_t amount = 0;
  std::string currency;
  std::string account_label;
  std::string key;
  std::optional<Json> evidence;
};

Result<BillInput> read_input(const Json &args) {
  BillInput in;
  const std::pair<std::string *, std::pair<const char *, std::size_t>> texts[] = {
      {&in.title, {"title", kMaxTitle}},
      {&in.provider, {"provider", kMaxProvider}},
      {&in.period_start, {"periodStart", kMaxDate}},
      {&in.period_end, {"periodEnd", kMaxDate}},
      {&in.due_date, {"dueDate", kMaxDate}}};
  for (const auto &[target, rule] : texts) {
    VFT_TRY(*target, apps::required_text(args, rule.first, rule.second));
  }
  for (const std::string *date : {&in.period_start, &in.period_end, &in.due_date}) {
    VFT_TRY_VOID(apps::date_rule(*date));
  }
  if (in.period_start > in.period_end) return fail(kPeriodOrder);

  VFT_TRY(auto amount, read_amount(args, "amountMinor"));
  if (amount == 0) return fail(kAmountPositive);
  in.amount = amount;

  VFT_TRY(in.currency, read_currency(args));

  if (args.contains("accountLabel")) {
    VFT_TRY(in.account_label, apps::text_rule(args, "accountLabel"));
  }
  if (in.account_label.size() > kMaxAccountLabelBytes) return fail(kShortAccountLabel);

  in.key = billing_key(in.provider, in.account_label, in.period_start, in.period_end);

  if (args.contains("sourcePath")) {
    VFT_TRY(auto path, apps::text_rule(args, "sourcePath"));
    VFT_TRY(in.evidence, evidence_step(path));
  }
  return in;
}

// invoiceReference and note: stored exactly as given when present, kept when absent.
Result<void> set_free_texts(const Json &args, Json &record) {
  for (const char *name : {"invoiceReference", "note"}) {
    VFT_TRY(auto value, apps::optional_text(args, name, kMaxFreeTextBytes));
    if (value) record[name] = std::move(*value);
  }
  return {};
}

// The first record holding the billing key, archived ones included, other than skip_id.
const Json *find_period(const Json &records, std::string_view key,
                        const std::string *skip_id = nullptr) {
  for (const Json &record : records) {
    if (!has_text(record, "billingKey", key)) continue;
    if (skip_id != nullptr && has_text(record, "id", *skip_id)) continue;
    return &record;
  }
  return nullptr;
}

} // namespace

Result<Json> save_bill(ToolCall &call) {
  VFT_TRY(auto input, read_input(call.args));
  BillInput &in = input;
  const Json &records = call.records();

  Json record;
  std::optional<std::size_t> index;
  if (call.args.contains("id")) {
    VFT_TRY(auto found, apps::lookup_for_change(call.store.document, call.args));
    index = found;
    record = records[*index];
    if (apps::is_archived(record)) return fail(kRestoreBeforeChanging);
    const std::string own_id = call.args["id"].get<std::string>();
    if (find_period(records, in.key, &own_id) != nullptr) return fail(kDuplicatePeriod);
  } else {
    if (const Json *existing = find_period(records, in.key)) {
      return Json{{"bill", *existing}, {"duplicate", true}, {"note", kDuplicateNote}};
    }
    if (records.size() >= kMaxBills) return fail(kBillLimit);
    record = apps::record_base(call.stamper, in.title, kIdPrefix);
    record["attempts"] = Json::array();
    record["confirmations"] = Json::array();
    record["sources"] = Json::array();
  }

  record["title"] = in.title;
  record["provider"] = in.provider;
  record["periodStart"] = in.period_start;
  record["periodEnd"] = in.period_end;
  record["dueDate"] = in.due_date;
  record["amountMinor"] = in.amount;
  record["currency"] = in.currency;
  record["accountLabel"] = in.account_label;
  record["billingKey"] = in.key;
  VFT_TRY_VOID(set_free_texts(call.args, record));

  if (in.evidence) {
    Json &sources = array_member(record, "sources");
    if (sources.size() >= kMaxSources) return fail(kSourceLimit);
    const std::string &sha = (*in.evidence)["sha256"].get_ref<const std::string &>();
    bool known = false;
    for (const Json &source : sources)
      known = known || has_text(source, "sha256", sha);
    if (!known) sources.push_back(std::move(*in.evidence));
  }

  VFT_TRY(auto committed, commit_bill(call, std::move(record), index));
  return Json{{"bill", std::move(committed)}, {"duplicate", false}};
}

} // namespace vft::apps::bills

// The reading tools: one bill, a search with the stored-status filter, and the per-currency
// summary. They read the payment state the last commit stored and never recompute it.
#include "apps/bills/bills.hpp"
#include "apps/bills/ledger.hpp"
#include "apps/bills/money.hpp"
#include "apps/common/records.hpp"
#include "store/files.hpp"

#include <chrono>
#include <cstdio>
#include <map>
#include <tuple>
#include <utility>

namespace vft::apps::bills {

namespace {

constexpr std::size_t kMaxDate = 10;

// A stored member that must be text for the summary, with the text rule's message.
Result<std::string> stored_text(const Json &record, const char *name) {
  const auto member = record.find(name);
  if (member == record.end() || !member->is_string()) {
    return fail(std::string(name) + apps::kMustBeText);
  }
  return member->get<std::string>();
}

Result<void> add_to(Json &totals, const char *name, std::uint64_t amount) {
  VFT_TRY(auto sum, checked_add(totals[name].get<std::uint64_t>(), amount));
  totals[name] = sum;
  return {};
}

// Search results leave out the sources and payment histories.
// (The source is the call's store, or a filtered copy of its document.)
template <typename Source> Json search_omitting_history(Source &source, const Json &args) {
  return apps::bounded_search(source, args, {"attempts", "confirmations", "sources"});
}

} // namespace

Result<Json> get_bill(ToolCall &call) { return apps::get_by_id(call.store.document, call.args); }

Result<Json> search_bills(ToolCall &call) {
  const Json &document = call.store.document;
  const auto status = call.args.find("status");
  if (status == call.args.end() || !status->is_string()) {
    return search_omitting_history(call.store, call.args);
  }
  // The filter works on a copy that holds only the bills whose stored status matches.
  Json filtered = Json::object();
  for (const auto &[name, value] : document.items()) {
    if (name != "records") filtered[name] = value;
  }
  Json &kept = filtered["records"] = Json::array();
  for (const Json &record : document["records"]) {
    if (has_text(record, "status", status->get_ref<const std::string &>())) {
      kept.push_back(record);
    }
  }
  return search_omitting_history(std::as_const(filtered), call.args);
}

Result<Json> summarize_records(const Json &records, std::string_view as_of) {
  Json by_currency = Json::object();
  Json bills = Json::array();
  for (const Json &record : records) {
    if (!record.is_object() || apps::is_archived(record) || has_text(record, "status", "paid")) {
      continue;
    }
    VFT_TRY(auto currency, stored_text(record, "currency"));
    const std::uint64_t remaining = stored_amount(record, "remainingMinor");
    Json &totals = by_currency[currency];
    if (totals.is_null()) {
      totals = Json{{"count", std::uint64_t{0}},
                    {"outstandingMinor", std::uint64_t{0}},
                    {"overdueMinor", std::uint64_t{0}}};
    }
    VFT_TRY_VOID(add_to(totals, "outstandingMinor", remaining));
    VFT_TRY_VOID(add_to(totals, "count", 1));

    VFT_TRY(auto due, stored_text(record, "dueDate"));
    // YYYY-MM-DD texts sort as calendar dates; a bill due on as_of itself is not overdue.
    const bool overdue = due < as_of;
    if (overdue) {
      VFT_TRY_VOID(add_to(totals, "overdueMinor", remaining));
    }
    if (bills.size() < kSummaryListLimit) {
      bills.push_back(Json{{"currency", std::move(currency)},
                           {"dueDate", std::move(due)},
                           {"id", member_or_null(record, "id")},
                           {"overdue", overdue},
                           {"remainingMinor", remaining},
                           {"status", member_or_null(record, "status")},
                           {"title", member_or_null(record, "title")}});
    }
  }
  return Json{{"asOf", std::string(as_of)},
              {"basis", kSummaryBasis},
              {"bills", std::move(bills)},
              {"byCurrency", std::move(by_currency)},
              {"limit", static_cast<std::uint64_t>(kSummaryListLimit)}};
}

std::string utc_date(std::uint64_t unix_seconds) {
  using namespace std::chrono;
  const year_month_day day{sys_days{days{static_cast<days::rep>(unix_seconds / 86400)}}};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(day.year()),
                static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
  return text;
}

Result<Json> summarize_records_by_month(const Json &records, std::string_view as_of,
                                        std::uint64_t months,
                                        const std::optional<std::string> &currency) {
  // Months counted from year 0, so that going back across years is a subtraction.
  const auto digits = [&](std::size_t at, std::size_t count) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + count; ++i)
      value = value * 10 + static_cast<unsigned>(as_of[i] - '0');
    return value;
  };
  const std::uint64_t last = digits(0, 4) * 12ULL + digits(5, 2) - 1;
  const auto month_text = [](std::uint64_t month) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u", static_cast<unsigned>(month / 12),
                  static_cast<unsigned>(month % 12 + 1));
    return std::string(text);
  };
  const std::string from = month_text(last - (months - 1));
  const std::string to = month_text(last);

  // Keyed by month, provider and currency: std::string orders them as bytes.
  std::map<std::tuple<std::string, std::string, std::string>,
           std::pair<std::uint64_t, std::uint64_t>>
      sums;
  for (const Json &record : records) {
    if (!record.is_object() || apps::is_archived(record)) continue;
    VFT_TRY(auto due, stored_text(record, "dueDate"));
    // "YYYY-MM" texts sort as months do.
    std::string month = due.substr(0, 7);
    if (month < from || month > to) continue;
    VFT_TRY(auto code, stored_text(record, "currency"));
    if (currency && code != *currency) continue;
    const std::uint64_t billed = stored_amount(record, "amountMinor");
    if (billed == 0) continue;
    VFT_TRY(auto provider, stored_text(record, "provider"));
    VFT_TRY(auto state, derive_payment_state(record));
    auto &[billed_sum, paid_sum] = sums[{std::move(month), std::move(provider), std::move(code)}];
    VFT_TRY(billed_sum, checked_add(billed_sum, billed));
    VFT_TRY(paid_sum, checked_add(paid_sum, state.confirmed_paid));
  }
  Json rows = Json::array();
  for (const auto &[key, amounts] : sums) {
    rows.push_back(Json{{"billedMinor", amounts.first},
                        {"currency", std::get<2>(key)},
                        {"month", std::get<0>(key)},
                        {"paidMinor", amounts.second},
                        {"provider", std::get<1>(key)}});
  }
  return Json{{"asOf", std::string(as_of)},
              {"fromMonth", from},
              {"rows", std::move(rows)},
              {"toMonth", to}};
}

Result<Json> summarize_bills_by_month(ToolCall &call) {
  std::uint64_t months = kDefaultMonths;
  if (const auto given = call.args.find("months"); given != call.args.end()) {
    if (!given->is_number_unsigned() || given->get<std::uint64_t>() < 1 ||
        given->get<std::uint64_t>() > kMaxMonths) {
      return fail(kMonthsRange);
    }
    months = given->get<std::uint64_t>();
  }
  std::optional<std::string> currency;
  if (call.args.contains("currency")) {
    VFT_TRY(currency, read_currency(call.args));
  }
  std::string as_of;
  if (call.args.contains("asOf")) {
    VFT_TRY(as_of, apps::required_text(call.args, "asOf", kMaxDate));
    VFT_TRY_VOID(apps::date_rule(as_of));
  } else {
    as_of = utc_date(store::Stamper::now_seconds());
  }
  return summarize_records_by_month(call.records(), as_of, months, currency);
}

Result<Json> summarize_bills(ToolCall &call) {
  VFT_TRY(auto as_of, apps::required_text(call.args, "asOf", kMaxDate));
  VFT_TRY_VOID(apps::date_rule(as_of));
  return summarize_records(call.records(), as_of);
}

} // namespace vft::apps::bills

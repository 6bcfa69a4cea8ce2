// The reading tools: one bill, a search with the stored-status filter, and the per-currency
// summary. They read the payment state the last commit stored and never recompute it.
#include "apps/bills/bills.hpp"
#include "apps/bills/ledger.hpp"
#include "apps/bills/money.hpp"
#include "apps/common/records.hpp"

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

Result<Json> summarize_bills(ToolCall &call) {
  VFT_TRY(auto as_of, apps::required_text(call.args, "asOf", kMaxDate));
  VFT_TRY_VOID(apps::date_rule(as_of));
  return summarize_records(call.records(), as_of);
}

} // namespace vft::apps::bills

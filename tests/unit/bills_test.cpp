// Money, payment state, summary and evidence-name logic of the bills app.
#include "apps/bills/bills.hpp"
#include "apps/bills/ledger.hpp"
#include "apps/bills/money.hpp"
#include "apps/handlers.hpp"
#include "store/document.hpp"

#include "store/selected_file.hpp"

#include "text/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace vft::apps::bills {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

Json confirmation(std::uint64_t amount, bool voided = false) {
  return Json{{"amountMinor", amount}, {"voided", voided}};
}

Json bill(std::uint64_t amount, Json confirmations = Json::array(), Json attempts = Json::array()) {
  return Json{{"amountMinor", amount},
              {"attempts", std::move(attempts)},
              {"confirmations", std::move(confirmations)}};
}

PaymentState state_of(const Json &record) {
  auto state = derive_payment_state(record);
  EXPECT_TRUE(state.has_value()) << (state ? "" : state.error());
  return state ? state.value() : PaymentState{};
}

TEST(BillsMoney, CheckedAddRefusesToWrap) {
  EXPECT_EQ(checked_add(2, 3).value(), 5U);
  EXPECT_EQ(checked_add(kMax64 - 1, 1).value(), kMax64);
  auto wrapped = checked_add(kMax64, 1);
  ASSERT_FALSE(wrapped);
  EXPECT_EQ(wrapped.error(), kAmountOverflow);
  EXPECT_FALSE(checked_add(kMax64 / 2 + 1, kMax64 / 2 + 1));
}

TEST(BillsMoney, ReadAmountTakesOnlyWholeNonNegativeNumbersUpToTheBound) {
  const std::string message = std::string("amountMinor") + kAmountUnits;
  EXPECT_EQ(read_amount(Json{{"amountMinor", 0U}}, "amountMinor").value(), 0U);
  EXPECT_EQ(read_amount(Json{{"amountMinor", 1000000000000ULL}}, "amountMinor").value(),
            1000000000000ULL);
  for (const Json &bad : {Json(1000000000001ULL), Json(-1), Json(-1000000000000LL), Json(12.0),
                          Json(1e3), Json("100"), Json(nullptr), Json(kMax64)}) {
    auto read = read_amount(Json{{"amountMinor", bad}}, "amountMinor");
    ASSERT_FALSE(read) << bad.dump();
    EXPECT_EQ(read.error(), message);
  }
  EXPECT_EQ(read_amount(Json::object(), "amountMinor").error(), message);
  EXPECT_EQ(stored_amount(Json{{"x", -5}}, "x"), 0U);
  EXPECT_EQ(stored_amount(Json{{"x", 5.5}}, "x"), 0U);
  EXPECT_EQ(stored_amount(Json::array(), "x"), 0U);
}

TEST(BillsMoney, PartialPaymentsAddUpAndVoidsReopen) {
  PaymentState fresh = state_of(bill(10000));
  EXPECT_EQ(fresh.status, "pending");
  EXPECT_EQ(fresh.confirmed_paid, 0U);
  EXPECT_EQ(fresh.remaining, 10000U);

  PaymentState partial = state_of(bill(10000, Json::array({confirmation(4000)})));
  EXPECT_EQ(partial.status, "partial");
  EXPECT_EQ(partial.remaining, 6000U);

  PaymentState paid = state_of(bill(10000, Json::array({confirmation(4000), confirmation(6000)})));
  EXPECT_EQ(paid.status, "paid");
  EXPECT_EQ(paid.confirmed_paid, 10000U);
  EXPECT_EQ(paid.remaining, 0U);

  PaymentState voided =
      state_of(bill(10000, Json::array({confirmation(4000), confirmation(6000, true)})));
  EXPECT_EQ(voided.status, "partial");
  EXPECT_EQ(voided.confirmed_paid, 4000U);
  EXPECT_EQ(voided.remaining, 6000U);
}

TEST(BillsMoney, AttemptsNeverCountAsPaid) {
  const Json attempts = Json::array({Json{{"amountMinor", 10000U}}});
  PaymentState attempted = state_of(bill(10000, Json::array(), attempts));
  EXPECT_EQ(attempted.status, "attempted");
  EXPECT_EQ(attempted.confirmed_paid, 0U);
  EXPECT_EQ(attempted.remaining, 10000U);
  // The only confirmation voided: back to attempted, not pending.
  PaymentState back = state_of(bill(10000, Json::array({confirmation(10000, true)}), attempts));
  EXPECT_EQ(back.status, "attempted");
  PaymentState all_voided = state_of(bill(10000, Json::array({confirmation(10000, true)})));
  EXPECT_EQ(all_voided.status, "pending");
}

TEST(BillsMoney, OverpaymentShowsOnlyInConfirmedPaid) {
  PaymentState over = state_of(bill(10000, Json::array({confirmation(12000)})));
  EXPECT_EQ(over.status, "paid");
  EXPECT_EQ(over.confirmed_paid, 12000U);
  EXPECT_EQ(over.remaining, 0U);
}

TEST(BillsMoney, UnusableConfirmationAmountsCountNothing) {
  const Json confirmations = Json::array({Json{{"amountMinor", -500}}, Json{{"amountMinor", 300.0}},
                                          Json{{"voided", "yes"}}, Json("not an object"),
                                          Json{{"amountMinor", 250U}, {"voided", "true"}}});
  PaymentState state = state_of(bill(1000, confirmations));
  EXPECT_EQ(state.confirmed_paid, 250U); // a voided that is not the boolean true still counts
  EXPECT_EQ(state.status, "partial");
}

TEST(BillsMoney, LargestRealSumsStayExact) {
  Json confirmations = Json::array();
  for (int i = 0; i < 100; ++i)
    confirmations.push_back(confirmation(kMaxAmountMinor));
  PaymentState state = state_of(bill(kMaxAmountMinor, confirmations));
  EXPECT_EQ(state.confirmed_paid, 100'000'000'000'000ULL);
  EXPECT_EQ(state.remaining, 0U);
}

TEST(BillsMoney, SumsBeyondSixtyFourBitsFailInsteadOfWrapping) {
  Json record = bill(10000, Json::array({confirmation(kMax64), confirmation(2)}));
  auto state = derive_payment_state(record);
  ASSERT_FALSE(state);
  EXPECT_EQ(state.error(), kAmountOverflow);
  EXPECT_FALSE(apply_payment_state(record));
  EXPECT_FALSE(record.contains("status"));
}

TEST(BillsMoney, ApplyWritesTheDerivedMembers) {
  Json record = bill(500, Json::array({confirmation(200)}));
  record["status"] = "paid"; // whatever was stored before is replaced
  ASSERT_TRUE(apply_payment_state(record));
  EXPECT_EQ(record["confirmedPaidMinor"], 200U);
  EXPECT_EQ(record["remainingMinor"], 300U);
  EXPECT_EQ(record["status"], "partial");
  EXPECT_TRUE(record["remainingMinor"].is_number_unsigned());
}

Json summary_bill(std::string id, std::string currency, std::uint64_t remaining, std::string due,
                  std::string status = "pending", bool archived = false) {
  return Json{{"archived", archived},        {"currency", std::move(currency)},
              {"dueDate", std::move(due)},   {"id", id},
              {"remainingMinor", remaining}, {"status", std::move(status)},
              {"title", "Bill " + id}};
}

TEST(BillsSummary, TotalsPerCurrencyWithOverdueOnlyBeforeTheDate) {
  const Json records = Json::array({
      summary_bill("a", "USD", 700, "2024-03-01"),
      summary_bill("b", "EUR", 6000, "2024-03-02", "partial"),
      summary_bill("c", "EUR", 0, "2024-01-01", "paid"),
      summary_bill("d", "EUR", 900, "2024-01-01", "pending", true),
      summary_bill("e", "EUR", 10000, "2024-02-15", "attempted"),
  });
  auto summary = summarize_records(records, "2024-03-02");
  ASSERT_TRUE(summary) << summary.error();
  const Json &by = (*summary)["byCurrency"];
  EXPECT_EQ(by.dump(), R"({"EUR":{"count":2,"outstandingMinor":16000,"overdueMinor":10000},)"
                       R"("USD":{"count":1,"outstandingMinor":700,"overdueMinor":700}})");
  ASSERT_EQ((*summary)["bills"].size(), 3U);
  EXPECT_EQ((*summary)["bills"][0]["overdue"], true);
  EXPECT_EQ((*summary)["bills"][1]["overdue"], false); // due on the date itself
  EXPECT_EQ((*summary)["limit"], 100U);
  EXPECT_EQ((*summary)["basis"], kSummaryBasis);
  EXPECT_EQ((*summary)["asOf"], "2024-03-02");

  auto earlier = summarize_records(records, "2024-03-01");
  ASSERT_TRUE(earlier);
  EXPECT_EQ((*earlier)["bills"][0]["overdue"], false);
}

TEST(BillsSummary, ListStopsAtOneHundredWhileTotalsCoverAll) {
  Json records = Json::array();
  for (int i = 0; i < 150; ++i) {
    records.push_back(summary_bill(std::to_string(i), "USD", 100, "2030-01-01"));
  }
  auto summary = summarize_records(records, "2024-01-01");
  ASSERT_TRUE(summary);
  EXPECT_EQ((*summary)["bills"].size(), 100U);
  EXPECT_EQ((*summary)["bills"][99]["id"], "99");
  EXPECT_EQ((*summary)["byCurrency"]["USD"]["count"], 150U);
  EXPECT_EQ((*summary)["byCurrency"]["USD"]["outstandingMinor"], 15000U);
  EXPECT_EQ((*summary)["byCurrency"]["USD"]["overdueMinor"], 0U);
}

TEST(BillsSummary, EmptyAndForeignStores) {
  auto empty = summarize_records(Json::array(), "2024-01-01");
  ASSERT_TRUE(empty);
  EXPECT_EQ((*empty)["byCurrency"], Json::object());
  EXPECT_EQ((*empty)["bills"], Json::array());

  Json no_currency = Json::array({summary_bill("x", "USD", 5, "2024-01-01")});
  no_currency[0]["currency"] = 840;
  EXPECT_EQ(summarize_records(no_currency, "2024-01-01").error(), "currency must be text");
  Json no_due = Json::array({summary_bill("x", "USD", 5, "2024-01-01")});
  no_due[0].erase("dueDate");
  EXPECT_EQ(summarize_records(no_due, "2024-01-01").error(), "dueDate must be text");

  Json odd_remaining = Json::array({summary_bill("x", "USD", 5, "2024-01-01")});
  odd_remaining[0]["remainingMinor"] = -7;
  auto counted = summarize_records(odd_remaining, "2024-02-01");
  ASSERT_TRUE(counted);
  EXPECT_EQ((*counted)["byCurrency"]["USD"]["outstandingMinor"], 0U);
  EXPECT_EQ((*counted)["byCurrency"]["USD"]["count"], 1U);

  Json huge = Json::array(
      {summary_bill("x", "USD", kMax64, "2024-01-01"), summary_bill("y", "USD", 1, "2024-01-01")});
  EXPECT_EQ(summarize_records(huge, "2024-02-01").error(), kAmountOverflow);
}

Json month_bill(const char *provider, const char *currency, std::uint64_t amount, const char *due,
                Json confirmations = Json::array(), bool archived = false) {
  Json record = bill(amount, std::move(confirmations));
  record["provider"] = provider;
  record["currency"] = currency;
  record["dueDate"] = due;
  record["archived"] = archived;
  return record;
}

Json month_row(const char *month, const char *provider, const char *currency, std::uint64_t billed,
               std::uint64_t paid) {
  return Json{{"billedMinor", billed},
              {"currency", currency},
              {"month", month},
              {"paidMinor", paid},
              {"provider", provider}};
}

TEST(BillsByMonth, SumsPerDueMonthProviderAndCurrencyInOrder) {
  const Json records = Json::array({
      month_bill("Water", "EUR", 3000, "2024-03-31", Json::array({confirmation(1000)})),
      // A voided confirmation pays nothing; an overpayment shows in full.
      month_bill("Power", "EUR", 5000, "2024-03-01",
                 Json::array({confirmation(5000, true), confirmation(2000)})),
      month_bill("Power", "EUR", 1000, "2024-03-15", Json::array({confirmation(1500)})),
      month_bill("Power", "USD", 700, "2024-03-02"),
      month_bill("Power", "EUR", 400, "2023-04-01"),                    // the first month of twelve
      month_bill("Power", "EUR", 900, "2023-03-31"),                    // before it
      month_bill("Power", "EUR", 900, "2024-04-01"),                    // after the as-of month
      month_bill("Gas", "EUR", 800, "2024-01-10", Json::array(), true), // archived
  });
  auto summary = summarize_records_by_month(records, "2024-03-05", kDefaultMonths, std::nullopt);
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_EQ((*summary)["asOf"], "2024-03-05");
  EXPECT_EQ((*summary)["fromMonth"], "2023-04");
  EXPECT_EQ((*summary)["toMonth"], "2024-03");
  EXPECT_EQ((*summary)["rows"], Json::array({month_row("2023-04", "Power", "EUR", 400, 0),
                                             month_row("2024-03", "Power", "EUR", 6000, 3500),
                                             month_row("2024-03", "Power", "USD", 700, 0),
                                             month_row("2024-03", "Water", "EUR", 3000, 1000)}));

  auto usd = summarize_records_by_month(records, "2024-03-05", 1, std::string("USD"));
  ASSERT_TRUE(usd);
  EXPECT_EQ((*usd)["fromMonth"], "2024-03");
  EXPECT_EQ((*usd)["rows"], Json::array({month_row("2024-03", "Power", "USD", 700, 0)}));
}

TEST(BillsByMonth, MonthsCrossYearsAndDamagedStoresFail) {
  auto longest = summarize_records_by_month(Json::array(), "2024-01-31", kMaxMonths, std::nullopt);
  ASSERT_TRUE(longest);
  EXPECT_EQ((*longest)["fromMonth"], "2021-02");
  EXPECT_EQ((*longest)["toMonth"], "2024-01");
  EXPECT_EQ((*longest)["rows"], Json::array());

  Json no_provider = Json::array({month_bill("P", "EUR", 5, "2024-01-01")});
  no_provider[0].erase("provider");
  EXPECT_EQ(summarize_records_by_month(no_provider, "2024-01-01", 1, std::nullopt).error(),
            "provider must be text");
  Json huge = Json::array(
      {month_bill("P", "EUR", kMax64, "2024-01-01"), month_bill("P", "EUR", 1, "2024-01-02")});
  EXPECT_EQ(summarize_records_by_month(huge, "2024-01-01", 1, std::nullopt).error(),
            kAmountOverflow);

  EXPECT_EQ(utc_date(0), "1970-01-01");
  EXPECT_EQ(utc_date(951782400), "2000-02-29");
}

TEST(BillsEvidence, ExtensionOfTheFileNameOnly) {
  using vft::store::file_extension;
  EXPECT_EQ(file_extension("/tmp/bill.PDF").value(), "PDF");
  EXPECT_EQ(file_extension("/tmp/archive.tar.txt").value(), "txt");
  EXPECT_EQ(file_extension("/tmp/.hidden.png").value(), "png");
  EXPECT_FALSE(file_extension("/tmp/.pdf"));
  EXPECT_FALSE(file_extension("/tmp/noext"));
  EXPECT_FALSE(file_extension("/tmp/folder.pdf/noext"));
  EXPECT_EQ(file_extension("/tmp/trailing.").value(), "");
}

TEST(BillsEvidence, AcceptedExtensionsIgnoreLetterCase) {
  for (const char *ok : {"pdf", "PDF", "Png", "jpg", "JPEG", "txt"}) {
    EXPECT_TRUE(is_evidence_extension(ok)) << ok;
  }
  for (const char *bad : {"docx", "", "jpe", "pdf ", "ｐｄｆ", "tiff"}) {
    EXPECT_FALSE(is_evidence_extension(bad)) << bad;
  }
}

TEST(BillsEvidence, PathTextReplacesOnlyInvalidBytes) {
  const auto to_valid_text = [](std::string_view bytes) {
    return vft::text::utf8_decode_lossy(bytes);
  };
  EXPECT_EQ(to_valid_text("/tmp/été.pdf"), "/tmp/été.pdf");
  EXPECT_EQ(to_valid_text("/tmp/a\xFF"
                          "b.pdf"),
            "/tmp/a\xEF\xBF\xBD"
            "b.pdf");
  EXPECT_EQ(to_valid_text("\xC3"), "\xEF\xBF\xBD");
}

TEST(BillsIdentity, BillingKeyLowerCasesProviderAndLabelOnly) {
  EXPECT_EQ(billing_key("ACME Power", "HOME", "2024-01-01", "2024-01-31"),
            billing_key("acme power", "Home", "2024-01-01", "2024-01-31"));
  EXPECT_EQ(billing_key("ÉLECTRICITÉ", "Ω", "2024-01-01", "2024-01-31"),
            "électricité|ω|2024-01-01|2024-01-31");
  EXPECT_NE(billing_key("ACME", " Home", "2024-01-01", "2024-01-31"),
            billing_key("ACME", "Home", "2024-01-01", "2024-01-31"));
}

// A call on an in-memory store whose folder can never be written.
struct UnsavableCall {
  store::Store store{"bills", "/proc/vft-bills-nowhere", store::empty_document("bills")};
  store::Stamper stamper;
  Json args;
  apps::ToolCall call(std::string_view tool) { return apps::ToolCall{tool, args, store, stamper}; }
};

TEST(BillsHandler, UnknownToolNamesHaveTheAppsOwnMessage) {
  UnsavableCall fixture;
  auto call = fixture.call("delete_bill");
  auto result = apps::dispatch(apps::bills_handler(), call);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "Unknown Bills operation");
}

TEST(BillsHandler, FailedSaveIsAFailureNotASuccess) {
  UnsavableCall fixture;
  fixture.args =
      Json{{"title", "Power"},          {"provider", "ACME"},      {"periodStart", "2024-01-01"},
           {"periodEnd", "2024-01-31"}, {"dueDate", "2024-02-10"}, {"amountMinor", 100U},
           {"currency", "eur"}};
  // With the period already taken the same arguments pass every check and write nothing...
  fixture.store.document["records"].push_back(
      Json{{"billingKey", "acme||2024-01-01|2024-01-31"}, {"id", "bill-1-1"}});
  auto duplicate_call = fixture.call("save_bill");
  auto duplicate = apps::dispatch(apps::bills_handler(), duplicate_call);
  ASSERT_TRUE(duplicate) << duplicate.error();
  EXPECT_EQ((*duplicate)["duplicate"], true);
  // ...so without it the only failure left is the save itself.
  fixture.store.document["records"].clear();
  auto call = fixture.call("save_bill");
  auto result = apps::dispatch(apps::bills_handler(), call);
  ASSERT_FALSE(result);
  EXPECT_FALSE(result.error().empty());
}

TEST(BillsHandler, ReadingToolsWorkWithoutWriting) {
  UnsavableCall fixture;
  fixture.args = Json{{"asOf", "2024-02-29"}};
  auto summary_call = fixture.call("summarize_bills");
  auto summary = apps::dispatch(apps::bills_handler(), summary_call);
  ASSERT_TRUE(summary) << summary.error();
  EXPECT_EQ((*summary)["byCurrency"], Json::object());
  fixture.args = Json{{"id", "bill-1-1"}};
  auto get_call = fixture.call("get_bill");
  EXPECT_EQ(apps::dispatch(apps::bills_handler(), get_call).error(), "Record not found");
}

TEST(BillsByMonth, ArgumentsAreCheckedWithExactMessages) {
  UnsavableCall fixture;
  const std::pair<Json, std::string> refused[] = {
      {Json{{"months", 0U}}, kMonthsRange},
      {Json{{"months", 37U}}, kMonthsRange},
      {Json{{"currency", "EURO"}}, "currency must be 1–3 characters without NUL"},
      {Json{{"currency", "E1"}}, kCurrencyCode},
      {Json{{"asOf", "2024-02-30"}}, "Invalid calendar date"},
  };
  for (const auto &[args, message] : refused) {
    fixture.args = args;
    auto call = fixture.call("summarize_bills_by_month");
    auto result = apps::dispatch(apps::bills_handler(), call);
    ASSERT_FALSE(result) << args.dump();
    EXPECT_EQ(result.error(), message) << args.dump();
  }
  fixture.args = Json{{"months", 36U}, {"currency", " eur "}};
  auto call = fixture.call("summarize_bills_by_month");
  // Today, whichever side of midnight the call fell on.
  const std::string before = utc_date(store::Stamper::now_seconds());
  auto today = apps::dispatch(apps::bills_handler(), call);
  const std::string after = utc_date(store::Stamper::now_seconds());
  ASSERT_TRUE(today) << today.error();
  EXPECT_TRUE((*today)["asOf"] == before || (*today)["asOf"] == after) << (*today)["asOf"];
  EXPECT_EQ((*today)["fromMonth"].get<std::string>().size(), 7U);
}

} // namespace
} // namespace vft::apps::bills

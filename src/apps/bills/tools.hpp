// The bills app's tools, one function each; handler.cpp lists them by name.
#pragma once

#include "apps/app.hpp"
#include "json.hpp"
#include "result.hpp"

#include <cstddef>
#include <string_view>

namespace vft::bills {

// Saved bills.
Result<Json> save_bill(apps::ToolCall &call);
Result<Json> get_bill(apps::ToolCall &call);
Result<Json> search_bills(apps::ToolCall &call);
Result<Json> archive_bill(apps::ToolCall &call);
Result<Json> restore_bill(apps::ToolCall &call);

// Evidence and payment history of a saved bill.
Result<Json> add_bill_source(apps::ToolCall &call);
Result<Json> record_payment_attempt(apps::ToolCall &call);
Result<Json> confirm_payment(apps::ToolCall &call);
Result<Json> void_confirmation(apps::ToolCall &call);

// Outstanding and overdue amounts per currency.
Result<Json> summarize_bills(apps::ToolCall &call);

inline constexpr std::size_t kSummaryListLimit = 100;
inline constexpr const char *kSummaryBasis =
    "Saved records only; no provider balance check or payment is performed";

// The summary of the records on the date as_of (already checked), as summarize_bills returns it.
Result<Json> summarize_records(const Json &records, std::string_view as_of);

} // namespace vft::bills

// The bills app: what its tools share across files.
#pragma once

#include "apps/app.hpp"
#include "result.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vft::apps::bills {

inline constexpr std::size_t kSummaryListLimit = 100;
inline constexpr const char *kSummaryBasis =
    "Saved records only; no provider balance check or payment is performed";

// The summary of the records on the date as_of (already checked), as summarize_bills returns it.
Result<Json> summarize_records(const Json &records, std::string_view as_of);

inline constexpr std::uint64_t kDefaultMonths = 12;
inline constexpr std::uint64_t kMaxMonths = 36;
inline constexpr const char *kMonthsRange = "months must be between 1 and 36";

// Month by month over the `months` months that end with the month of as_of (already
// checked): per month of the due date, provider and currency, what the bills not archived
// billed and what was confirmed paid of them, as summarize_bills_by_month returns it. Only
// bills of `currency` when one is given.
Result<Json> summarize_records_by_month(const Json &records, std::string_view as_of,
                                        std::uint64_t months,
                                        const std::optional<std::string> &currency);

// The date "YYYY-MM-DD" of a Unix time, in UTC.
std::string utc_date(std::uint64_t unix_seconds);

} // namespace vft::apps::bills

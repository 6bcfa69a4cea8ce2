// The bills app: what its tools share across files.
#pragma once

#include "apps/app.hpp"
#include "result.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <string_view>

namespace vft::apps::bills {

inline constexpr std::size_t kSummaryListLimit = 100;
inline constexpr const char *kSummaryBasis =
    "Saved records only; no provider balance check or payment is performed";

// The summary of the records on the date as_of (already checked), as summarize_bills returns it.
Result<Json> summarize_records(const Json &records, std::string_view as_of);

} // namespace vft::apps::bills

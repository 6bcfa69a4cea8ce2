// What every bills tool shares: the evidence step, the billing-period key, the opening of a
// change to a saved bill, and the bill commit that ends every change.
#pragma once

#include "apps/app.hpp"
#include "result.hpp"
#include "store/files.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vft::apps::bills {

inline constexpr const char *kIdPrefix = "bill";
inline constexpr std::size_t kMaxSources = 30;

inline constexpr std::size_t kMaxCurrency = 3;

inline constexpr const char *kCurrencyCode = "currency must be a three-letter code";
inline constexpr const char *kSelectEvidence = "Select a PDF, PNG, JPEG or text evidence file";
inline constexpr const char *kSourceLimit = "Source limit reached (30)";
inline constexpr const char *kEvidenceMeaning =
    "User-selected evidence; contents are not automatically verified";

// Whether a file extension, lower-cased, is one of pdf, png, jpg, jpeg, txt.
bool is_evidence_extension(std::string_view extension);

// Reads the selected file first (so a missing or oversized file is reported as such), then
// requires an evidence extension, and describes the file as an evidence object.
Result<Json> evidence_step(std::string_view path);

// The `currency` argument: 1 to 3 characters, upper-cased, exactly three letters A to Z.
Result<std::string> read_currency(const Json &args);

// provider and account label lower-cased (full Unicode), then the two period dates, joined by |.
std::string billing_key(std::string_view provider, std::string_view account_label,
                        std::string_view period_start, std::string_view period_end);

// The member as an array, made an empty one when it is missing or of another kind.
Json &array_member(Json &record, const char *name);

// True when the record's member NAME is a string equal to value.
bool has_text(const Json &record, std::string_view name, std::string_view value);

// Finds the bill named by the `id` argument, checks `expectedVersion`, and refuses an
// archived bill with the given message. Returns the record's index.
Result<std::size_t> open_bill_for_change(ToolCall &call, const char *archived_message);

// Re-derives the payment state, stores the record (replacing the one at index, found by the
// call's opening, with its version raised; or appending a new one when index is none), saves
// the store and returns the committed record.
Result<Json> commit_bill(ToolCall &call, Json record, std::optional<std::size_t> index);

} // namespace vft::apps::bills

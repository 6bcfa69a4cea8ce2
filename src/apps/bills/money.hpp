// Money in the bills app: whole minor currency units as exact 64-bit integers. Nothing here
// ever converts an amount to floating point, and every sum is checked so that it can never
// wrap around.
#pragma once

#include "result.hpp"
#include "json/json.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace vft::apps::bills {

inline constexpr std::uint64_t kMaxAmountMinor = 1'000'000'000'000ULL;

inline constexpr const char *kAmountUnits =
    " must be integer minor currency units between 0 and 1000000000000";
// Only a store this app did not write can hold amounts that add up this far.
inline constexpr const char *kAmountOverflow = "Amounts add up beyond the 64-bit integer range";

// a + b, or the overflow message when the exact sum does not fit.
Result<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b);

// The argument NAME as a JSON integer from 0 to 1000000000000 (no fraction, no exponent).
Result<std::uint64_t> read_amount(const Json &args, std::string_view name);

// A stored amount: its value when it is a non-negative integer, else 0.
std::uint64_t stored_amount(const Json &record, std::string_view name);

struct PaymentState {
  std::uint64_t confirmed_paid = 0;
  std::uint64_t remaining = 0;
  std::string_view status;
};

// The payment state a bill's confirmations and attempts give: active confirmations add up,
// voided ones count nothing, attempts only tell "attempted" from "pending".
Result<PaymentState> derive_payment_state(const Json &bill);

// Derives the payment state and writes confirmedPaidMinor, remainingMinor and status.
Result<void> apply_payment_state(Json &bill);

} // namespace vft::apps::bills

#include "apps/bills/money.hpp"

#include <limits>

namespace vft::apps::bills {

Result<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) {
  if (a > std::numeric_limits<std::uint64_t>::max() - b) return fail(kAmountOverflow);
  return a + b;
}

Result<std::uint64_t> read_amount(const Json &args, std::string_view name) {
  const auto found = args.find(name);
  // Negative integers are whole numbers too, but never amounts; floats never count.
  if (found == args.end() || !found->is_number_unsigned() ||
      found->get<std::uint64_t>() > kMaxAmountMinor) {
    return fail(std::string(name) + kAmountUnits);
  }
  return found->get<std::uint64_t>();
}

std::uint64_t stored_amount(const Json &record, std::string_view name) {
  if (!record.is_object()) return 0;
  const auto found = record.find(name);
  if (found == record.end() || !found->is_number_unsigned()) return 0;
  return found->get<std::uint64_t>();
}

Result<PaymentState> derive_payment_state(const Json &bill) {
  PaymentState state;
  const std::uint64_t amount = stored_amount(bill, "amountMinor");
  if (const auto confirmations = bill.find("confirmations");
      confirmations != bill.end() && confirmations->is_array()) {
    for (const Json &confirmation : *confirmations) {
      if (!confirmation.is_object()) continue;
      const auto voided = confirmation.find("voided");
      if (voided != confirmation.end() && voided->is_boolean() && voided->get<bool>()) continue;
      VFT_TRY(auto sum,
              checked_add(state.confirmed_paid, stored_amount(confirmation, "amountMinor")));
      state.confirmed_paid = sum;
    }
  }
  // An overpayment shows only as confirmedPaidMinor above the amount; nothing is negative.
  state.remaining = amount >= state.confirmed_paid ? amount - state.confirmed_paid : 0;
  const auto attempts = bill.find("attempts");
  const bool attempted = attempts != bill.end() && attempts->is_array() && !attempts->empty();
  if (state.confirmed_paid >= amount) {
    state.status = "paid";
  } else if (state.confirmed_paid > 0) {
    state.status = "partial";
  } else if (attempted) {
    state.status = "attempted";
  } else {
    state.status = "pending";
  }
  return state;
}

Result<void> apply_payment_state(Json &bill) {
  VFT_TRY(auto state, derive_payment_state(bill));
  bill["confirmedPaidMinor"] = state.confirmed_paid;
  bill["remainingMinor"] = state.remaining;
  bill["status"] = std::string(state.status);
  return {};
}

} // namespace vft::apps::bills

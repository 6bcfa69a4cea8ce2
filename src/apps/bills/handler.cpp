#include "apps/bills/bills.hpp"
#include "apps/common/record_changes.hpp"
#include "apps/common/records.hpp"
#include "apps/handlers.hpp"

namespace vft::apps::bills {

// The tools of the other files.
Result<Json> save_bill(ToolCall &call);
Result<Json> get_bill(ToolCall &call);
Result<Json> search_bills(ToolCall &call);
Result<Json> add_bill_source(ToolCall &call);
Result<Json> record_payment_attempt(ToolCall &call);
Result<Json> confirm_payment(ToolCall &call);
Result<Json> void_confirmation(ToolCall &call);
Result<Json> summarize_bills(ToolCall &call);
Result<Json> summarize_bills_by_month(ToolCall &call);

Result<Json> archive_bill(ToolCall &call) { return apps::set_archived(call, true); }
Result<Json> restore_bill(ToolCall &call) { return apps::set_archived(call, false); }

} // namespace vft::apps::bills

namespace vft::apps {

const AppHandler &bills_handler() {
  static constexpr ToolEntry kTools[] = {
      {"get_storage_info", get_storage_info},
      {"search_bills", &bills::search_bills},
      {"get_bill", &bills::get_bill},
      {"save_bill", &bills::save_bill},
      {"add_bill_source", &bills::add_bill_source},
      {"record_payment_attempt", &bills::record_payment_attempt},
      {"confirm_payment", &bills::confirm_payment},
      {"void_confirmation", &bills::void_confirmation},
      {"summarize_bills", &bills::summarize_bills},
      {"archive_bill", &bills::archive_bill},
      {"restore_bill", &bills::restore_bill},
      // Called by the bills view only (app-tools.json).
      {"summarize_bills_by_month", &bills::summarize_bills_by_month},
  };
  static constexpr AppHandler kHandler{"Unknown Bills operation", kTools};
  return kHandler;
}

} // namespace vft::apps

#include "views/views.hpp"

#include "views/embedded.hpp"

#include <array>

namespace vft::views {

namespace {

constexpr std::array<std::string_view, 1> kBillsTools{"summarize_bills"};
constexpr std::array<std::string_view, 3> kMediaTools{"get_project", "save_edit", "render_edit"};
constexpr std::array<std::string_view, 2> kInventoryTools{"get_item", "record_item_event"};
constexpr std::array<std::string_view, 2> kStudioTools{"get_free_tool", "record_tool_evidence"};

} // namespace

// The tables refer to the documents' bytes; nothing is copied or looked at. They live in the
// function so that nothing reads another file's constants before they exist.
std::span<const View> views_for(std::string_view app) {
  static const std::array<View, 1> kBills{
      {{"ui://bills/summary", "Bills summary",
        "Outstanding and overdue amounts per currency, the unpaid "
        "bills, and what was billed and paid month by month.",
        embedded::bills, kBillsTools}}};
  static const std::array<View, 1> kMedia{
      {{"ui://media/edit", "Media edit",
        "A project's edits: the trim, the speed ramp with its 32 "
        "rendered steps, the expected output length, the export "
        "receipts and frames at the edit's points.",
        embedded::media, kMediaTools}}};
  static const std::array<View, 1> kInventory{
      {{"ui://inventory/item", "Inventory item",
        "An item's mileage over time with the current reading, "
        "and the cost of each event.",
        embedded::inventory, kInventoryTools}}};
  static const std::array<View, 1> kStudio{
      {{"ui://studio/release", "Studio release",
        "A tool's twelve release stages with their latest evidence, "
        "its readiness, and the evidence as a timeline.",
        embedded::studio, kStudioTools}}};
  if (app == "bills") return kBills;
  if (app == "media") return kMedia;
  if (app == "inventory") return kInventory;
  if (app == "studio") return kStudio;
  return {};
}

} // namespace vft::views

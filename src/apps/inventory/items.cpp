// Creating and correcting items.
#include "apps/common/record_changes.hpp"
#include "apps/inventory/inventory.hpp"

#include "apps/common/records.hpp"

#include <array>
#include <string>
#include <string_view>

namespace vft::apps::inventory {

namespace {

constexpr const char *kItemLimit = "Item limit reached (3000)";

constexpr std::size_t kMaxTitle = 160;
constexpr std::size_t kMaxCategory = 100;
constexpr std::size_t kMaxDetail = 4000; // bytes

struct Detail {
  std::string_view name;
  bool is_date;
};

// Checked and set in this order; absent ones leave the stored member as it is.
constexpr std::array<Detail, 7> kDetails{{{"model", false},
                                          {"serialNumber", false},
                                          {"location", false},
                                          {"notes", false},
                                          {"receiptPath", false},
                                          {"purchaseDate", true},
                                          {"warrantyUntil", true}}};

} // namespace

Result<Json> save_item(ToolCall &call) {
  VFT_TRY(auto title, apps::required_text(call.args, "title", kMaxTitle));
  VFT_TRY(auto category, apps::required_text(call.args, "category", kMaxCategory));

  VFT_TRY(auto draft, apps::draft_record(call, title, "item", kMaxItems, kItemLimit));
  Json &item = draft.record;
  if (!draft.index) item["events"] = Json::array();
  item["title"] = title;
  item["category"] = category;

  for (const Detail &detail : kDetails) {
    VFT_TRY(auto value, apps::optional_text(call.args, detail.name, kMaxDetail));
    if (!value) continue;
    const std::string &text = *value;
    if (detail.is_date && !text.empty()) {
      VFT_TRY_VOID(apps::date_rule(text));
    }
    item[std::string(detail.name)] = text;
  }

  VFT_TRY_VOID(apps::save_draft(call, draft));
  return item;
}

} // namespace vft::apps::inventory

// Creating and correcting items.
#include "apps/common/record_changes.hpp"
#include "apps/inventory/inventory.hpp"

#include "store/records.hpp"

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
  auto title = store::required_text(call.args, "title", kMaxTitle);
  if (!title) return fail(title.error());
  auto category = store::required_text(call.args, "category", kMaxCategory);
  if (!category) return fail(category.error());

  auto draft = apps::draft_record(call, title.value(), "item", kMaxItems, kItemLimit);
  if (!draft) return fail(draft.error());
  Json &item = draft->record;
  if (!draft->index) item["events"] = Json::array();
  item["title"] = title.value();
  item["category"] = category.value();

  for (const Detail &detail : kDetails) {
    auto value = store::optional_text(call.args, detail.name, kMaxDetail);
    if (!value) return fail(value.error());
    if (!value.value()) continue;
    const std::string &text = *value.value();
    if (detail.is_date && !text.empty()) {
      if (auto valid = store::date_rule(text); !valid) return fail(valid.error());
    }
    item[std::string(detail.name)] = text;
  }

  if (auto saved = apps::save_draft(call, draft.value()); !saved) return fail(saved.error());
  return item;
}

} // namespace vft::apps::inventory

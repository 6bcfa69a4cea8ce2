// Creating and correcting items.
#include "apps/inventory/inventory.hpp"

#include "server/pipeline.hpp"
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

  const bool correction = call.args.contains("id");
  std::size_t index = 0;
  Json item;
  if (correction) {
    auto found = store::lookup_for_change(call.store.document, call.args);
    if (!found) return fail(found.error());
    index = found.value();
    item = call.records()[index];
  } else {
    if (call.records().size() >= kMaxItems) return fail(kItemLimit);
    item = store::record_base(call.stamper, title.value(), "item");
    item["events"] = Json::array();
  }
  item["title"] = title.value();
  item["category"] = category.value();

  for (const Detail &detail : kDetails) {
    const std::string name(detail.name);
    if (!call.args.contains(name)) continue;
    auto value = store::text_rule(call.args, name);
    if (!value) return fail(value.error());
    if (value->size() > kMaxDetail) return fail(name + server::kTooLong);
    if (detail.is_date && !value->empty()) {
      if (auto valid = store::date_rule(value.value()); !valid) return fail(valid.error());
    }
    item[name] = value.value();
  }

  if (correction) {
    store::touch(item);
    call.records()[index] = item;
  } else {
    call.records().push_back(item);
  }
  if (auto saved = call.save(); !saved) return fail(saved.error());
  return item;
}

} // namespace vft::apps::inventory

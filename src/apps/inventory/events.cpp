// Dated events of an item and the current mileage they give it.
#include "apps/inventory/inventory.hpp"

#include "apps/common/records.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <string>

namespace vft::apps::inventory {

namespace {

constexpr const char *kEventLimit = "Event limit reached (200); keep a separate service archive";
constexpr const char *kBadMileage = "mileage must be a reasonable nonnegative number";
constexpr const char *kBadCost = "cost must be a reasonable nonnegative number";

constexpr std::size_t kMaxEventDate = 10;
constexpr std::size_t kMaxNote = 4000;
constexpr std::size_t kMaxKind = 80;
constexpr double kMaxAmount = 100'000'000.0;

struct Amount {
  const char *name;
  const char *message;
};
constexpr std::array<Amount, 2> kAmounts{{{"mileage", kBadMileage}, {"cost", kBadCost}}};

} // namespace

bool is_reasonable_amount(const Json &value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>() <= 100'000'000U;
  if (value.is_number_integer()) {
    const auto number = value.get<std::int64_t>();
    return number >= 0 && number <= 100'000'000;
  }
  if (!value.is_number_float()) return false;
  const double number = value.get<double>();
  return std::isfinite(number) && number >= 0.0 && number <= kMaxAmount;
}

void recompute_mileage(Json &item) {
  const auto events = item.find("events");
  if (events == item.end() || !events->is_array()) return;
  const Json *latest = nullptr;
  const std::string *latest_date = nullptr;
  for (const Json &event : *events) {
    if (!event.is_object() || !event.contains("mileage")) continue;
    const auto date = event.find("eventDate");
    if (date == event.end() || !date->is_string()) continue;
    const auto &text = date->get_ref<const std::string &>();
    // Dates have the fixed YYYY-MM-DD width, so byte order is calendar order; on equal
    // dates the event added later wins.
    if (latest_date == nullptr || text >= *latest_date) {
      latest = &event;
      latest_date = &text;
    }
  }
  if (latest == nullptr) return;
  item["currentMileage"] = latest->at("mileage");
  item["mileageAsOf"] = *latest_date;
}

Result<Json> record_item_event(ToolCall &call) {
  VFT_TRY(auto index, apps::lookup_for_change(call.store.document, call.args));
  Json item = call.records()[index];
  VFT_TRY(auto date, apps::required_text(call.args, "eventDate", kMaxEventDate));
  VFT_TRY_VOID(apps::date_rule(date));
  VFT_TRY(auto note, apps::required_text(call.args, "note", kMaxNote));
  VFT_TRY(auto kind, apps::required_text(call.args, "kind", kMaxKind));
  Json &events = item["events"];
  if (!events.is_array()) events = Json::array();
  if (events.size() >= kMaxEvents) return fail(kEventLimit);

  Json event{{"id", call.stamper.name("event")},
             {"kind", kind},
             {"eventDate", date},
             {"note", note},
             {"recordedAt", store::Stamper::now_seconds()}};
  for (const auto &[name, message] : kAmounts) {
    const auto value = call.args.find(name);
    if (value == call.args.end()) continue;
    if (!is_reasonable_amount(*value)) return fail(message);
    event[name] = *value;
  }

  events.push_back(std::move(event));
  recompute_mileage(item);
  apps::touch(item);
  call.records_to_change()[index] = item;
  VFT_TRY_VOID(call.save());
  return item;
}

} // namespace vft::apps::inventory

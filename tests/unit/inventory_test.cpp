// The inventory's current-mileage rule and its number bounds.
#include "apps/inventory/inventory.hpp"

#include <gtest/gtest.h>

namespace {

using vft::Json;
namespace inventory = vft::apps::inventory;

Json event(const char *date, Json mileage = Json()) {
  Json e{{"eventDate", date}, {"kind", "service"}};
  if (!mileage.is_null()) e["mileage"] = mileage;
  return e;
}

Json item_with(std::initializer_list<Json> events) {
  Json item{{"id", "item-1"}, {"events", Json::array()}};
  for (const Json &e : events)
    item["events"].push_back(e);
  inventory::recompute_mileage(item);
  return item;
}

TEST(Mileage, LatestDateWinsWhateverTheOrderOfEntry) {
  const Json item = item_with({event("2024-05-01", 50000U), event("2023-01-01", 30000U)});
  EXPECT_EQ(item["currentMileage"], 50000U);
  EXPECT_EQ(item["mileageAsOf"], "2024-05-01");
}

TEST(Mileage, LaterAddedWinsOnEqualDates) {
  const Json item = item_with({event("2024-05-01", 50000U), event("2024-05-01", 49000U)});
  EXPECT_EQ(item["currentMileage"], 49000U);
}

TEST(Mileage, EventsWithoutMileageAreIgnored) {
  const Json item = item_with({event("2024-05-01", 50000U), event("2025-01-01")});
  EXPECT_EQ(item["currentMileage"], 50000U);
  EXPECT_EQ(item["mileageAsOf"], "2024-05-01");
}

TEST(Mileage, NoMileageLeavesTheMembersAbsent) {
  const Json item = item_with({event("2024-05-01")});
  EXPECT_FALSE(item.contains("currentMileage"));
  EXPECT_FALSE(item.contains("mileageAsOf"));
}

TEST(Mileage, NumberKeepsItsClass) {
  const Json item = item_with({event("2024-05-01", 1234.5)});
  EXPECT_TRUE(item["currentMileage"].is_number_float());
  EXPECT_EQ(item["currentMileage"], 1234.5);
}

TEST(Amount, Bounds) {
  EXPECT_TRUE(inventory::is_reasonable_amount(Json(0U)));
  EXPECT_TRUE(inventory::is_reasonable_amount(Json(100000000U)));
  EXPECT_TRUE(inventory::is_reasonable_amount(Json(100000000.0)));
  EXPECT_TRUE(inventory::is_reasonable_amount(Json(0.5)));
  EXPECT_FALSE(inventory::is_reasonable_amount(Json(100000001U)));
  EXPECT_FALSE(inventory::is_reasonable_amount(Json(100000000.5)));
  EXPECT_FALSE(inventory::is_reasonable_amount(Json(-1)));
  EXPECT_FALSE(inventory::is_reasonable_amount(Json(-0.25)));
  EXPECT_FALSE(inventory::is_reasonable_amount(Json(18446744073709551615ULL)));
  EXPECT_FALSE(inventory::is_reasonable_amount(Json(std::numeric_limits<double>::infinity())));
  EXPECT_FALSE(inventory::is_reasonable_amount(Json(std::numeric_limits<double>::quiet_NaN())));
  EXPECT_FALSE(inventory::is_reasonable_amount(Json("5")));
}

} // namespace

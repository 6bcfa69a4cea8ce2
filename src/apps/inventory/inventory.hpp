// The inventory app: things the user owns, with dated events and a current mileage.
#pragma once

#include "apps/app.hpp"
#include "result.hpp"
#include "json/json.hpp"

#include <cstddef>
#include <string_view>

namespace vft::apps::inventory {

inline constexpr std::size_t kMaxItems = 3000;
inline constexpr std::size_t kMaxEvents = 200;

// A mileage or cost: a finite JSON number from 0 to 100,000,000.
bool is_reasonable_amount(const Json &value);

// currentMileage and mileageAsOf from the event with the latest eventDate that carries a
// mileage (the later-added one on equal dates); left as they are when no event has one.
void recompute_mileage(Json &item);

} // namespace vft::apps::inventory

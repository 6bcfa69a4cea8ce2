#include "apps/handlers.hpp"

namespace vft::apps {

const AppHandler &inventory_handler() {
  // The app's tools arrive with their own change; until then every name is unknown here.
  static constexpr AppHandler kHandler{"Unknown inventory operation", {}};
  return kHandler;
}

} // namespace vft::apps

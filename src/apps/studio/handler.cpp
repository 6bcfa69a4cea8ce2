#include "apps/handlers.hpp"
#include "apps/studio/studio.hpp"

#include <array>

namespace vft::apps {

const AppHandler &studio_handler() {
  static constexpr std::array<ToolEntry, 7> kTools{{
      {"list_free_tools", studio::list_free_tools},
      {"get_free_tool", studio::get_free_tool},
      {"register_free_tool", studio::register_free_tool},
      {"update_free_tool", studio::update_free_tool},
      {"claim_free_tool", studio::claim_free_tool},
      {"release_free_tool", studio::release_free_tool},
      {"record_tool_evidence", studio::record_tool_evidence},
  }};
  static constexpr AppHandler kHandler{"Unknown Studio operation", kTools};
  return kHandler;
}

} // namespace vft::apps

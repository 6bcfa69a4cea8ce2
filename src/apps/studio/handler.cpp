#include "apps/handlers.hpp"
#include "apps/studio/studio.hpp"

namespace vft::apps {

namespace studio {

Result<Json> list_free_tools(ToolCall &call);
Result<Json> get_free_tool(ToolCall &call);
Result<Json> register_free_tool(ToolCall &call);
Result<Json> update_free_tool(ToolCall &call);
Result<Json> claim_free_tool(ToolCall &call);
Result<Json> release_free_tool(ToolCall &call);
Result<Json> record_tool_evidence(ToolCall &call);

} // namespace studio

const AppHandler &studio_handler() {
  static constexpr ToolEntry kTools[] = {
      {"get_storage_info", get_storage_info},
      {"list_free_tools", studio::list_free_tools},
      {"get_free_tool", studio::get_free_tool},
      {"register_free_tool", studio::register_free_tool},
      {"update_free_tool", studio::update_free_tool},
      {"claim_free_tool", studio::claim_free_tool},
      {"release_free_tool", studio::release_free_tool},
      {"record_tool_evidence", studio::record_tool_evidence},
  };
  static constexpr AppHandler kHandler{"Unknown Studio operation", kTools};
  return kHandler;
}

} // namespace vft::apps

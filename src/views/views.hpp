// The views (MCP Apps): HTML documents embedded at build time, one set per app, served
// as ui:// resources and bound to the app's tools. Static bytes, never parsed.
#pragma once

#include <span>
#include <string_view>

namespace vft::views {

struct View {
  std::string_view uri;                    // e.g. "ui://bills/summary"
  std::string_view name;                   // short human name for resources/list
  std::string_view description;            // one sentence
  std::string_view html;                   // the embedded document
  std::span<const std::string_view> tools; // the app's tools bound to this view
};

// The views of one app (empty for an app without views); static bytes, never parsed.
std::span<const View> views_for(std::string_view app);

} // namespace vft::views

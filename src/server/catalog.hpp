// The tool catalogue embedded at build time, with this platform's texts filled in; beside it,
// the tools only an app's views call (app-tools.json) and every tool's short title
// (titles.json), embedded the same way.
#pragma once

#include <string_view>

namespace vft::server {

std::string_view catalog_text();
std::string_view app_tools_text();
std::string_view titles_text();

} // namespace vft::server

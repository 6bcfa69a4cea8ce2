// The tool catalogue embedded at build time, with this platform's texts filled in; beside it,
// the tools only an app's views call (app-tools.json) and every tool's short title
// (titles.json), embedded the same way.
#pragma once

#include <string_view>

namespace vft::server {

std::string_view catalog_text();
std::string_view app_tools_text();
std::string_view titles_text();
// Each app's one-sentence description (cmake/bundle-apps.json, which the bundles use too).
std::string_view app_descriptions_text();
// The program's icon: the bytes of doc/icon.png.
std::string_view icon_png();

} // namespace vft::server

// The tool catalogue embedded at build time, with this platform's texts filled in.
#pragma once

#include <string_view>

namespace vft::server {

std::string_view catalog_text();

} // namespace vft::server

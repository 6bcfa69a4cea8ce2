// The seven apps' handlers; each is defined in its app's folder.
#pragma once

#include "apps/app.hpp"

namespace vft::apps {

const AppHandler &studio_handler();
const AppHandler &clipboard_handler();
const AppHandler &bookmarks_handler();
const AppHandler &inventory_handler();
const AppHandler &wallet_handler();
const AppHandler &media_handler();
const AppHandler &bills_handler();

} // namespace vft::apps

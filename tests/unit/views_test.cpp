// Holds the embedded views to what the server relies on: one per app that has one, a ui://
// address of that app, a whole document within the size bound with nothing left to fill in,
// and bound tools that the app really serves.
#include "apps/app.hpp"
#include "views/views.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

namespace {

bool app_serves(std::string_view app, std::string_view tool) {
  const vft::apps::AppHandler *handler = vft::apps::handler_for(app);
  if (handler == nullptr) return false;
  for (const vft::apps::ToolEntry &entry : handler->tools) {
    if (entry.name == tool) return true;
  }
  return false;
}

TEST(Views, EachAppWithAViewHasOneBoundToItsOwnTools) {
  std::set<std::string_view> uris;
  for (const std::string_view app : {"bills", "inventory", "media", "studio"}) {
    const auto views = vft::views::views_for(app);
    ASSERT_EQ(views.size(), 1u) << app;
    const vft::views::View &view = views.front();
    EXPECT_TRUE(view.uri.starts_with("ui://" + std::string(app) + "/")) << view.uri;
    EXPECT_TRUE(uris.insert(view.uri).second) << view.uri;
    EXPECT_FALSE(view.name.empty()) << app;
    EXPECT_TRUE(view.description.ends_with(".")) << app;
    EXPECT_TRUE(view.html.starts_with("<!DOCTYPE html>")) << app;
    EXPECT_TRUE(view.html.ends_with("</html>\n")) << app;
    EXPECT_LE(view.html.size(), 32u * 1024u) << app;
    EXPECT_EQ(view.html.find("@@"), std::string_view::npos) << app;
    ASSERT_FALSE(view.tools.empty()) << app;
    for (const std::string_view tool : view.tools) {
      EXPECT_TRUE(app_serves(app, tool)) << app << " " << tool;
    }
  }
}

TEST(Views, AppsWithoutViewsAndUnknownNamesHaveNone) {
  for (const std::string_view app : {"clipboard", "bookmarks", "wallet", "", "Bills", "bills "}) {
    EXPECT_TRUE(vft::views::views_for(app).empty()) << app;
  }
}

} // namespace

// Process entry: choose the app, then serve a session on stdio or run one tool once.
#include "platform/clipboard.hpp"
#include "platform/platform.hpp"
#include "platform/texts.hpp"
#include "server/server.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::array<std::string_view, 7> kApps = {"studio", "clipboard", "bookmarks", "inventory",
                                                   "wallet", "media",     "bills"};
constexpr const char *kChooseApp =
    "Choose studio, clipboard, bookmarks, inventory, wallet, media or bills";

bool is_known_app(std::string_view name) {
  for (const auto app : kApps) {
    if (app == name) return true;
  }
  return false;
}

} // namespace

int main(int argc, char **argv) {
  using namespace vft;
  // A clipboard holder started by a write: nothing of the app runs in it.
  if (argc == 2 && std::string_view(argv[1]) == platform::kClipboardHolderMode) {
    return platform::run_clipboard_holder();
  }
  platform::prepare_stdio();
  const std::vector<std::string> args = platform::command_line(argc, argv);
  const std::string app = args.size() > 1 ? args[1] : "studio";
  if (!is_known_app(app)) {
    platform::write_stderr(std::string(kChooseApp) + "\n");
    return 2;
  }
  if (args.size() > 2 && args[2] == "call") {
    if (args.size() < 4) {
      platform::write_stderr(std::string(platform_texts::kUsage) + "\n");
      return 2;
    }
    server::run_one_shot(app, args[3], args.size() > 4 ? args[4] : "{}");
  }
  return server::run_session(app);
}

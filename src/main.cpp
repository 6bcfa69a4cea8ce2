// Process entry: choose the app, then serve a session on stdio or run one tool once.
#include "platform/clipboard.hpp"
#include "platform/platform.hpp"
#include "platform/texts.hpp"
#include "server/pipeline.hpp"
#include "server/protocol.hpp"
#include "server/session.hpp"
#include "store/files.hpp"

#include <array>
#include <cstdlib>
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

// Ends the process: the call is over and its store unlocked. The system takes back the
// loaded document at once, where freeing it node by node takes about as long as reading it.
[[noreturn]] void run_one_shot(const std::string &app, const std::string &tool,
                               const std::string &arguments) {
  using namespace vft;
  auto args = parse_json(arguments);
  if (!args) {
    platform::write_stderr(args.error() + "\n");
    std::exit(2);
  }
  server::CallContext context;
  context.keeps_store = false;
  auto result = server::call_tool(app, tool, args.value(), context);
  if (!result) {
    platform::write_stderr(result.error() + "\n");
    std::exit(1);
  }
  (void)platform::write_stdout(to_pretty(result.value()) + "\n");
  platform::flush_stdout();
  std::exit(0);
}

int run_session(const std::string &app) {
  using namespace vft;
  // Owned by the session: what one call leaves for the next (see CallContext).
  server::CallContext context;
  const server::ToolRunner run_tool = [&](const std::string &tool, const Json &args,
                                          const apps::Progress *progress) {
    return server::call_tool(app, tool, args, context, progress);
  };
  server::SessionIo io{platform::read_stdin,
                       [](std::string_view bytes) {
                         if (!platform::write_stdout(bytes)) return false;
                         platform::flush_stdout();
                         return true;
                       },
                       platform::write_stderr};
  // Progress lines go out between the request and its response; a reader that went away
  // ends the session at the response.
  const server::Notify notify = [&](const std::string &line) { (void)io.write(line + "\n"); };
  server::run_session(io, [&](std::string_view line) {
    return server::respond_to_line(line, app, run_tool, notify);
  });
  return 0;
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
    run_one_shot(app, args[3], args.size() > 4 ? args[4] : "{}");
  }
  return run_session(app);
}

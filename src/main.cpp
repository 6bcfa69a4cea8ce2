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
// A request to stop the process cancels the call, which cleans up (a render ends FFmpeg and
// removes its partial output), and then ends the process as that request would have.
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
  CancelToken cancel;
  auto watch =
      platform::StopWatch::start([&](platform::StopWatch::Event) { cancel.cancel(); }, false);
  auto result = server::call_tool(app, tool, args.value(), context, nullptr, &cancel);
  if (cancel.cancelled() && watch) watch.value()->end_process();
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
                                          const apps::Progress *progress,
                                          const CancelToken *cancel) {
    return server::call_tool(app, tool, args, context, progress, cancel);
  };
  server::Session session(
      {platform::read_stdin,
       [](std::string_view bytes) {
         if (!platform::write_stdout(bytes)) return false;
         platform::flush_stdout();
         return true;
       },
       platform::write_stderr},
      [&](const Json &request, const CancelToken &cancel, const server::Notify &notify) {
        return server::respond_to_request(request, app, run_tool, notify, &cancel);
      });
  // Started before the session's threads, which inherit what it sets up.
  auto watch = platform::StopWatch::start(
      [&](platform::StopWatch::Event event) {
        session.stop(event == platform::StopWatch::Event::stop ? server::SessionEnd::stopped
                                                               : server::SessionEnd::output_gone);
      },
      true);
  const server::SessionEnd end = session.run();
  if (end == server::SessionEnd::stopped && watch) watch.value()->end_process();
  // The reader may still be waiting for input that will not come.
  if (end != server::SessionEnd::input_ended) std::_Exit(end == server::SessionEnd::failed ? 1 : 0);
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

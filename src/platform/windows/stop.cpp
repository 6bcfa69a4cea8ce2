// Requests to stop the process on Windows: the console's control events, which the system
// hands to a handler on a thread of its own.
#include "platform/platform.hpp"
#include "platform/windows/win.hpp"

#include <atomic>
#include <cstdlib>

namespace vft::platform {

struct StopWatch::State {
  Report report;
  std::atomic<bool> reported{false};
};

namespace {

// The handler gets no argument of ours, so the watch it reports to is the one piece of
// global state: set while a watch lives, read only by the handler.
std::atomic<StopWatch::State *> g_watch{nullptr};

// Close, log-off and shut-down end the process as soon as the handler returns; the running
// call gets this long to clean up and end the process itself.
constexpr DWORD kCleanUpMs = 4000;

BOOL WINAPI on_console_event(DWORD type) {
  StopWatch::State *state = g_watch.load();
  if (state == nullptr) return FALSE;
  if (!state->reported.exchange(true)) state->report(StopWatch::Event::stop);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    ::Sleep(kCleanUpMs);
  }
  return TRUE;
}

} // namespace

StopWatch::StopWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}

StopWatch::~StopWatch() {
  ::SetConsoleCtrlHandler(on_console_event, FALSE);
  g_watch.store(nullptr);
}

Result<std::unique_ptr<StopWatch>> StopWatch::start(Report report, bool) {
  auto state = std::make_unique<State>();
  state->report = std::move(report);
  g_watch.store(state.get());
  if (!::SetConsoleCtrlHandler(on_console_event, TRUE)) {
    g_watch.store(nullptr);
    return win::last_error();
  }
  return std::unique_ptr<StopWatch>(new StopWatch(std::move(state)));
}

void StopWatch::end_process() {
  // What a console program ended by Ctrl+C reports.
  ::ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

} // namespace vft::platform

// Requests to stop the process on Linux: the signals are blocked in every thread and read
// from a signal descriptor by the watch's own thread.
#include "platform/platform.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vft::platform {

struct StopWatch::State {
  Report report;
  bool watch_output = false;
  int signals = -1; // the signal descriptor
  int quit = -1;    // written to end the thread
  std::atomic<int> received{0};
  std::thread thread;

  State() = default;
  State(const State &) = delete;
  State &operator=(const State &) = delete;
  ~State() {
    if (signals >= 0) ::close(signals);
    if (quit >= 0) ::close(quit);
  }
};

namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

void watch(StopWatch::State &state) {
  bool output = state.watch_output;
  for (;;) {
    pollfd fds[3] = {{state.signals, POLLIN, 0}, {state.quit, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    if (::poll(fds, output ? 3 : 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      // Every stop request is taken and reported, not only the first: the process ends as
      // the first one would have ended it.
      if (::read(state.signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        int none = 0;
        (void)state.received.compare_exchange_strong(none, static_cast<int>(info.ssi_signo));
        state.report(StopWatch::Event::stop);
      }
    }
    if (!output) continue;
    // The reading end of a pipe gone shows as an error on the writing end; a descriptor that
    // is no pipe (or none at all) tells nothing, and is no longer watched.
    if ((fds[2].revents & (POLLERR | POLLHUP)) != 0) {
      output = false;
      state.report(StopWatch::Event::output_gone);
    } else if ((fds[2].revents & POLLNVAL) != 0) {
      output = false;
    }
  }
}

} // namespace

StopWatch::StopWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}

StopWatch::~StopWatch() {
  const std::uint64_t one = 1;
  (void)!::write(state_->quit, &one, sizeof one);
  state_->thread.join();
}

Result<std::unique_ptr<StopWatch>> StopWatch::start(Report report, bool watch_output) {
  auto state = std::make_unique<State>();
  state->report = std::move(report);
  state->watch_output = watch_output;
  const sigset_t set = stop_signals();
  state->quit = ::eventfd(0, EFD_CLOEXEC);
  if (state->quit < 0) return fail(std::strerror(errno));
  if (int e = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); e != 0) return fail(std::strerror(e));
  state->signals = ::signalfd(-1, &set, SFD_CLOEXEC);
  if (state->signals < 0) {
    const int e = errno;
    (void)::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return fail(std::strerror(e));
  }
  try {
    state->thread = std::thread(watch, std::ref(*state));
  } catch (const std::system_error &error) {
    (void)::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return fail(error.what());
  }
  return std::unique_ptr<StopWatch>(new StopWatch(std::move(state)));
}

void StopWatch::end_process() {
  const int received = state_->received.load();
  if (received > 0) {
    std::signal(received, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, received);
    (void)::raise(received);
    (void)::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  }
  std::_Exit(128 + received);
}

} // namespace vft::platform

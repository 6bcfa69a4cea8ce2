// Time limits pinned down with clocks the tests move by hand: the X11 per-answer wait inside a
// transfer, the growing waits between attempts at something held (Windows), and a previous
// clipboard holder that will not give way; and a cancel that ends a wait.
#include "platform/posix/clipboard_holder.hpp"
#include "platform/waits.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
namespace platform = vft::platform;
using platform::Milliseconds;
using platform::TimePoint;

namespace {

// Stands still until paused (a pause moves it on and is recorded); with a tick, each reading
// moves it on by that much first.
class HandClock final : public platform::WaitClock {
public:
  explicit HandClock(Milliseconds tick = 0ms) : tick_(tick) {}
  TimePoint now() const override { return at_ += tick_; }
  void pause(Milliseconds time) const override {
    pauses.push_back(time);
    at_ += time;
  }
  void move(Milliseconds by) { at_ += by; }
  mutable std::vector<Milliseconds> pauses;

private:
  Milliseconds tick_;
  mutable TimePoint at_{1000s};
};

} // namespace

TEST(Waits, AnOwnerGetsOneAnswerTimeWithinTheTransfersDeadline) {
  HandClock clock;
  const platform::Waiter waiter(nullptr, clock);
  const TimePoint start = clock.now();
  const TimePoint operation = start + platform::limits::kOperation;
  const TimePoint transfer = waiter.within(operation, platform::limits::kReadTransfer);
  EXPECT_EQ(transfer, start + 8s);
  EXPECT_EQ(platform::answer_deadline(waiter, transfer), start + 1s);
  clock.move(7500ms); // the last half second of the transfer
  EXPECT_EQ(platform::answer_deadline(waiter, transfer), transfer);
  // Late in the operation the transfer gets only what is left of it.
  clock.move(7000ms);
  EXPECT_EQ(waiter.within(operation, platform::limits::kReadTransfer), operation);
}

TEST(Waits, HeldThingsAreTriedAgainAfterGrowingWaitsWithinTheirBound) {
  HandClock clock;
  const platform::Waiter waiter(nullptr, clock);
  platform::GrowingWaits waits(waiter, platform::limits::kFirstHoldWait,
                               platform::limits::kLongestHoldWait, platform::limits::kHoldBound);
  int attempts = 1;
  while (attempts < 1000 && waits.next()) // a bound of its own: waits that never pause spin
    ++attempts;
  const std::vector<Milliseconds> first(clock.pauses.begin(), clock.pauses.begin() + 6);
  EXPECT_EQ(first, (std::vector<Milliseconds>{5ms, 10ms, 20ms, 40ms, 80ms, 100ms}));
  Milliseconds total{0};
  for (const Milliseconds pause : clock.pauses) {
    EXPECT_GT(pause, 0ms);
    EXPECT_LE(pause, 100ms);
    total += pause;
  }
  EXPECT_EQ(total, platform::limits::kHoldBound);
  EXPECT_EQ(attempts, 25); // 5 growing waits, 18 of the longest, the rest of the bound

  // A cancelled call tries no more, and waits for nothing.
  vft::CancelToken cancel;
  cancel.cancel();
  HandClock still;
  platform::GrowingWaits cancelled(platform::Waiter(&cancel, still), 5ms, 40ms, 400ms);
  EXPECT_FALSE(cancelled.next());
  EXPECT_TRUE(still.pauses.empty());
}

TEST(Waits, APreviousHolderThatWillNotGiveWayIsGoneWhenTheWriteEnds) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    while (true)
      ::pause(); // a holder that never sees its selection taken
  }
  const int process = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  ASSERT_GE(process, 0);
  // Each reading of this clock is a second later: the give-way time runs out at once.
  HandClock clock(1s);
  platform::PreviousHolder(process).end(TimePoint::max(), platform::Waiter(nullptr, clock));
  int status = 0;
  const pid_t ended = ::waitpid(child, &status, WNOHANG);
  if (ended == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  EXPECT_EQ(ended, child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}

TEST(Waits, ACancelEndsAWaitLongBeforeItsDeadline) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0); // never written: only the cancel can end the wait
  vft::CancelToken cancel;
  std::thread canceller([&cancel] { cancel.cancel(); });
  const platform::Waiter waiter(&cancel);
  EXPECT_FALSE(platform::x11::wait_ready(ends[0], POLLIN, waiter.now() + 1h, waiter));
  canceller.join();
  ::close(ends[0]);
  ::close(ends[1]);
}

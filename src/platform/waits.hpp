// Time limits as values, the clock that waits read, and a call's way of waiting: every bounded
// wait of the platform layer takes its limit from here and its time from a WaitClock, so that
// a test can put in a clock of its own and pin a deadline down without waiting for it.
#pragma once

#include "../cancel.hpp"

#include <algorithm>
#include <chrono>

namespace vft::platform {

using TimePoint = std::chrono::steady_clock::time_point;
using Milliseconds = std::chrono::milliseconds;

// Where waits read the time and how they pause: the steady clock in the program, a clock that
// a test moves by hand (its pause moves it on).
class WaitClock {
public:
  virtual ~WaitClock() = default;
  virtual TimePoint now() const = 0;
  virtual void pause(Milliseconds time) const = 0;
};

// The process's steady clock; it keeps no state.
const WaitClock &steady_clock();

// How a call waits: the clock it reads, and the token that ends its waits early (null when
// nobody can cancel it).
class Waiter {
public:
  explicit Waiter(const CancelToken *cancel = nullptr, const WaitClock &clock = steady_clock())
      : clock_(&clock), cancel_(cancel) {}
  TimePoint now() const { return clock_->now(); }
  const WaitClock &clock() const { return *clock_; }
  bool cancelled() const { return cancel_ != nullptr && cancel_->cancelled(); }
  // The sooner of the outer deadline and the limit from now.
  TimePoint within(TimePoint outer, Milliseconds limit) const {
    return std::min(outer, now() + limit);
  }
  // What is left until the deadline, as a system wait's time-out: 0 once it has passed, and
  // never more than one look at the token apart when the call can be cancelled.
  int wait_ms(TimePoint deadline) const;

private:
  const WaitClock *clock_;
  const CancelToken *cancel_;
};

namespace limits {

// How often a wait that can be cancelled looks at the token.
inline constexpr Milliseconds kCancelLook{50};

// The X11 clipboard, the tool's side. Owners answer at their own pace, so each answer, each
// transfer and the whole operation have a deadline; past one the call is busy.
inline constexpr Milliseconds kDisplayConnect{3000}; // connect and answer the first requests
inline constexpr Milliseconds kOwnerAnswer{1000};    // an owner answers one request (a piece)
inline constexpr Milliseconds kReadTransfer{8000};   // TARGETS, a text or an image, INCR included
inline constexpr Milliseconds kOperation{15000};     // one clipboard session, all of it
inline constexpr Milliseconds kHolderStart{6000};    // the holder owns the selection
inline constexpr Milliseconds kGiveWay{2000};        // a previous holder exits before it is killed

// The X11 clipboard, the holder's side: a reader of a large content (INCR) takes each piece
// within the piece time and the whole content within the served-transfer time, or that
// transfer is dropped.
inline constexpr Milliseconds kServedPiece{2000};
inline constexpr Milliseconds kServedTransfer{30000};

// Windows: the attempts at a file another program holds for a moment (the same order as the
// store lock's wait), and at the clipboard another program has open.
inline constexpr Milliseconds kFirstHoldWait{5};
inline constexpr Milliseconds kLongestHoldWait{100};
inline constexpr Milliseconds kHoldBound{2000};
inline constexpr Milliseconds kFirstClipboardWait{5};
inline constexpr Milliseconds kLongestClipboardWait{40};
inline constexpr Milliseconds kClipboardOpenBound{400};

} // namespace limits

// The end of the next wait for an owner's answer: one answer's time from now, within the
// transfer's deadline.
inline TimePoint answer_deadline(const Waiter &waiter, TimePoint transfer_deadline) {
  return waiter.within(transfer_deadline, limits::kOwnerAnswer);
}

// The waits between attempts at something another program holds for a moment: short at
// first, doubling up to the longest, until the bound. A cancel ends them at once.
class GrowingWaits {
public:
  GrowingWaits(const Waiter &waiter, Milliseconds first, Milliseconds longest, Milliseconds bound)
      : waiter_(waiter), deadline_(waiter.now() + bound), next_(first), longest_(longest) {}
  // Pauses before the next attempt; false once the bound is reached or the call is cancelled
  // (no attempt follows).
  bool next();

private:
  Waiter waiter_;
  TimePoint deadline_;
  Milliseconds next_;
  Milliseconds longest_;
};

} // namespace vft::platform

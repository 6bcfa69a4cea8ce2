// The clock and the waits of waits.hpp; the same on both systems.
#include "platform/waits.hpp"

#include <thread>

namespace vft::platform {

namespace {

class SteadyClock final : public WaitClock {
public:
  TimePoint now() const override { return std::chrono::steady_clock::now(); }
  void pause(Milliseconds time) const override { std::this_thread::sleep_for(time); }
};

} // namespace

const WaitClock &steady_clock() {
  static const SteadyClock clock; // stateless, so shared
  return clock;
}

int Waiter::wait_ms(TimePoint deadline) const {
  auto left = std::chrono::duration_cast<Milliseconds>(deadline - now());
  if (cancel_ != nullptr) left = std::min(left, limits::kCancelLook);
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

bool GrowingWaits::next() {
  const TimePoint now = waiter_.now();
  if (now >= deadline_ || waiter_.cancelled()) return false;
  waiter_.clock().pause(std::min(next_, std::chrono::ceil<Milliseconds>(deadline_ - now)));
  next_ = std::min(next_ * 2, longest_);
  return !waiter_.cancelled();
}

} // namespace vft::platform

// A cancellation flag that one thread sets and a running tool call reads where it waits.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vft {

inline constexpr const char *kCancelled = "The call was cancelled";

class CancelToken {
public:
  void cancel() {
    {
      const std::lock_guard lock(mutex_);
      cancelled_.store(true, std::memory_order_release);
    }
    changed_.notify_all();
  }
  bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }

  // Waits up to `bound` and returns early once cancelled: a call's pause between attempts
  // ends at once when nobody waits for the call any more. True when cancelled.
  bool wait_for(std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [this] { return cancelled(); });
  }

private:
  std::atomic<bool> cancelled_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
};

} // namespace vft

// A cancellation flag that one thread sets and a running tool call reads where it waits.
#pragma once

#include <atomic>

namespace vft {

inline constexpr const char *kCancelled = "The call was cancelled";

class CancelToken {
public:
  void cancel() { cancelled_.store(true, std::memory_order_release); }
  bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }

private:
  std::atomic<bool> cancelled_{false};
};

} // namespace vft

// The holder of a written clipboard on X11: a detached process that owns the CLIPBOARD
// selection and serves its content until another program takes the selection.
#pragma once

#include "platform/clipboard.hpp"
#include "platform/posix/posix.hpp"
#include "platform/posix/x11.hpp"

#include <cstdint>
#include <optional>

namespace vft::platform {

// Starts the holder for the content (text or image) and waits, until the deadline at the
// latest, until it owns the selection. Returns the clipboard sequence number of the new owner.
// On a failure or a cancel the holder it started is ended before it returns.
Result<std::uint32_t> start_holder(const ClipboardWrite &content, TimePoint deadline,
                                   const Waiter &waiter);

// A holder of ours that owns the selection before a write. It gives way when the write takes
// the selection; end() makes sure it has gone before the write returns.
class PreviousHolder {
public:
  // The holder behind the current owner, if the owner is one.
  static std::optional<PreviousHolder> find(x11::Display &display, TimePoint deadline);
  // Waits for it to exit, the give-way time within the deadline; one that has not exited by
  // then, or by a cancel, is killed, and is gone when this returns.
  void end(TimePoint deadline, const Waiter &waiter);

  // The holder behind a pidfd, which this takes (find makes them; tests make their own).
  explicit PreviousHolder(int process) : process_(process) {}
  PreviousHolder(PreviousHolder &&other) noexcept : process_(other.process_.release()) {}
  PreviousHolder &operator=(PreviousHolder &&) = delete;

private:
  posix::Fd process_; // a pidfd
};

} // namespace vft::platform

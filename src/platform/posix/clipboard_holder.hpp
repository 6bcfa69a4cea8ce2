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
Result<std::uint32_t> start_holder(const ClipboardWrite &content, x11::Clock::time_point deadline);

// A holder of ours that owns the selection before a write. It gives way when the write takes
// the selection; end() makes sure it has gone before the write returns.
class PreviousHolder {
public:
  // The holder behind the current owner, if the owner is one.
  static std::optional<PreviousHolder> find(x11::Display &display, x11::Clock::time_point deadline);
  // Waits for it to exit; one that has not by the deadline is killed.
  void end(x11::Clock::time_point deadline);

  PreviousHolder(PreviousHolder &&other) noexcept : process_(other.process_.release()) {}
  PreviousHolder &operator=(PreviousHolder &&) = delete;

private:
  explicit PreviousHolder(int process) : process_(process) {}
  posix::Fd process_; // a pidfd
};

} // namespace vft::platform

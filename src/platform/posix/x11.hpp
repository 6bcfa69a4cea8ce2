// The pieces of X11 (through XCB) that the clipboard session and the selection holder share:
// a connection closed on every path, the atoms of the CLIPBOARD selection, and waiting for
// an event or a reply with a deadline (XCB's own waits have none).
#pragma once

#include "result.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vft::platform::x11 {

using Clock = std::chrono::steady_clock;
// How long a clipboard owner gets to answer one request.
inline constexpr std::chrono::milliseconds kAnswerTime{1000};
// How long the display gets to accept the connection and answer the first requests.
inline constexpr std::chrono::seconds kConnectTime{3};

// What is left until the deadline, as a poll() time-out (0 once it has passed).
inline int milliseconds_until(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

struct EventDeleter {
  void operator()(xcb_generic_event_t *event) const { std::free(event); }
};
using Event = std::unique_ptr<xcb_generic_event_t, EventDeleter>;

template <class T> struct ReplyDeleter {
  void operator()(T *reply) const { std::free(reply); }
};
template <class T> using Reply = std::unique_ptr<T, ReplyDeleter<T>>;

struct Atoms {
  xcb_atom_t clipboard = XCB_NONE;
  xcb_atom_t targets = XCB_NONE;
  xcb_atom_t timestamp = XCB_NONE;
  xcb_atom_t multiple = XCB_NONE;
  xcb_atom_t save_targets = XCB_NONE;
  xcb_atom_t delete_target = XCB_NONE;
  xcb_atom_t incr = XCB_NONE;
  xcb_atom_t utf8_string = XCB_NONE;
  xcb_atom_t text_plain_utf8 = XCB_NONE;
  xcb_atom_t image_png = XCB_NONE;
  xcb_atom_t image_bmp = XCB_NONE;
  xcb_atom_t transfer = XCB_NONE; // the property our window receives conversions in
  xcb_atom_t holder = XCB_NONE;   // marks the window of a holder of ours
};

// A connection to the display with one unmapped window that receives property changes.
class Display {
public:
  // Connects to $DISPLAY and makes the window, by the deadline; the failure text says why (no
  // display, refused connection, a display that does not answer, ...).
  static Result<Display> open(Clock::time_point deadline);
  Display(Display &&other) noexcept;
  Display &operator=(Display &&) = delete;
  Display(const Display &) = delete;
  ~Display();

  xcb_connection_t *connection() const { return connection_; }
  xcb_window_t window() const { return window_; }
  xcb_window_t root() const { return root_; }
  const Atoms &atoms() const { return atoms_; }
  int fd() const { return xcb_get_file_descriptor(connection_); }
  bool broken() const { return xcb_connection_has_error(connection_) != 0; }

  // The next event that satisfies the predicate, waiting until the deadline at the latest;
  // other events are dropped. None on time-out or a broken connection.
  template <class Predicate> Event wait_for(Clock::time_point deadline, const Predicate &wanted) {
    while (true) {
      Event event = next_event(deadline);
      if (!event) return nullptr;
      if (wanted(event.get())) return event;
    }
  }
  // The next event of any kind; none on time-out or a broken connection. A deadline of
  // time_point::max() waits without bound.
  Event next_event(Clock::time_point deadline);

  // The reply to a request, waiting until the deadline at the latest; none on time-out, an
  // X11 error or a broken connection.
  template <class T> Reply<T> reply(unsigned int sequence, Clock::time_point deadline) {
    return Reply<T>(static_cast<T *>(await_reply(sequence, deadline)));
  }
  // Whether a request without a reply went through (no X11 error) by the deadline.
  bool succeeded(xcb_void_cookie_t request, Clock::time_point deadline);

  // The owner of the CLIPBOARD selection (XCB_NONE: none); nothing when the server does not
  // answer by the deadline.
  std::optional<xcb_window_t> selection_owner(Clock::time_point deadline);
  // A real server time: the time of a property change on our own window.
  std::optional<xcb_timestamp_t> server_time(Clock::time_point deadline);

private:
  Display(xcb_connection_t *connection, xcb_window_t root);
  void *await_reply(unsigned int sequence, Clock::time_point deadline);
  // Waits until the connection has something to read or the deadline passes; false then.
  bool wait_readable(Clock::time_point deadline);
  xcb_connection_t *connection_;
  xcb_window_t root_;
  xcb_window_t window_ = XCB_NONE;
  Atoms atoms_;
};

// The clipboard change counter of an owner: its window id mixed with the time it answers
// for TIMESTAMP, or the window id alone when it gives none.
std::uint32_t sequence_of(xcb_window_t owner, std::optional<xcb_timestamp_t> time);

} // namespace vft::platform::x11

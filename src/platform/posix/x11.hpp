// The pieces of X11 (through XCB) that the clipboard session and the selection holder share:
// a connection closed on every path, the atoms of the CLIPBOARD selection, and waiting for
// an event or a reply with a deadline (XCB's own waits have none).
#pragma once

#include "platform/waits.hpp"
#include "result.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vft::platform::x11 {

// Waits until the descriptor is ready for one of the events; false once the deadline has
// passed or the call was cancelled. A deadline of TimePoint::max() waits without bound.
bool wait_ready(int fd, short events, TimePoint deadline, const Waiter &waiter);

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
  // display, refused connection, a display that does not answer, ...). Every wait of the
  // connection then reads the waiter's clock and ends early when its call is cancelled.
  static Result<Display> open(TimePoint deadline, const Waiter &waiter);
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
  const Waiter &waiter() const { return waiter_; }
  // The failure of a wait that ended without its answer: the call was cancelled, or the
  // other side is busy.
  Failure gave_up() const;

  // The next event that satisfies the predicate, waiting until the deadline at the latest;
  // other events are dropped. None on time-out or a broken connection.
  template <class Predicate> Event wait_for(TimePoint deadline, const Predicate &wanted) {
    while (true) {
      Event event = next_event(deadline);
      if (!event) return nullptr;
      if (wanted(event.get())) return event;
    }
  }
  // The next event of any kind; none on time-out or a broken connection. A deadline of
  // time_point::max() waits without bound.
  Event next_event(TimePoint deadline);

  // The reply to a request, waiting until the deadline at the latest; none on time-out, an
  // X11 error or a broken connection.
  template <class T> Reply<T> reply(unsigned int sequence, TimePoint deadline) {
    return Reply<T>(static_cast<T *>(await_reply(sequence, deadline)));
  }
  // Whether a request without a reply went through (no X11 error) by the deadline.
  bool succeeded(xcb_void_cookie_t request, TimePoint deadline);

  // The owner of the CLIPBOARD selection (XCB_NONE: none); nothing when the server does not
  // answer by the deadline.
  std::optional<xcb_window_t> selection_owner(TimePoint deadline);
  // A real server time: the time of a property change on our own window.
  std::optional<xcb_timestamp_t> server_time(TimePoint deadline);

private:
  Display(xcb_connection_t *connection, xcb_window_t root, const Waiter &waiter);
  void *await_reply(unsigned int sequence, TimePoint deadline);
  // Waits until the connection has something to read or the deadline passes; false then.
  bool wait_readable(TimePoint deadline);
  xcb_connection_t *connection_;
  xcb_window_t root_;
  xcb_window_t window_ = XCB_NONE;
  Atoms atoms_;
  Waiter waiter_;
};

// The clipboard change counter of an owner: its window id mixed with the time it answers
// for TIMESTAMP, or the window id alone when it gives none.
std::uint32_t sequence_of(xcb_window_t owner, std::optional<xcb_timestamp_t> time);

} // namespace vft::platform::x11

// Hostile programs on the X11 clipboard for the black-box tests, written against XCB directly
// so that they share nothing with the program under test. Each writes one line to standard
// output once it is in place ("owned", "stalled") and stays until standard input ends.
//
// Usage: x11_peer trickle   owns CLIPBOARD and answers UTF8_STRING with an INCR transfer
//                           that never ends: one byte per piece, each well within a second
//        x11_peer stall     asks the current owner for UTF8_STRING and, once an INCR
//                           transfer has begun, never takes a piece
//        x11_peer bare      owns CLIPBOARD like trickle, but its TARGETS list is empty
#ifndef _WIN32
#include <xcb/xcb.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

xcb_atom_t atom(xcb_connection_t *connection, const char *name) {
  xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr);
  if (reply == nullptr) std::exit(1);
  const xcb_atom_t found = reply->atom;
  std::free(reply);
  return found;
}

void announce(const char *line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

bool input_ended(xcb_connection_t *connection, int timeout_ms) {
  pollfd waits[2] = {{0, POLLIN, 0}, {xcb_get_file_descriptor(connection), POLLIN, 0}};
  ::poll(waits, 2, timeout_ms);
  char byte;
  return (waits[0].revents & (POLLIN | POLLHUP)) != 0 && ::read(0, &byte, 1) <= 0;
}

int trickle(xcb_connection_t *connection, xcb_window_t window, bool bare) {
  const xcb_atom_t clipboard = atom(connection, "CLIPBOARD");
  const xcb_atom_t targets = atom(connection, "TARGETS");
  const xcb_atom_t utf8 = atom(connection, "UTF8_STRING");
  const xcb_atom_t incr = atom(connection, "INCR");
  xcb_set_selection_owner(connection, window, clipboard, XCB_CURRENT_TIME);
  xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
      connection, xcb_get_selection_owner(connection, clipboard), nullptr);
  if (owner == nullptr || owner->owner != window) return 1;
  std::free(owner);
  announce("owned");

  xcb_window_t reader = XCB_NONE;
  xcb_atom_t property = XCB_NONE;
  auto next_piece = Clock::time_point::max();
  int pieces = 0;
  while (true) {
    while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
      const int type = event->response_type & 0x7f;
      if (type == XCB_SELECTION_REQUEST) {
        auto *request = reinterpret_cast<xcb_selection_request_event_t *>(event);
        xcb_selection_notify_event_t notify{};
        notify.response_type = XCB_SELECTION_NOTIFY;
        notify.time = request->time;
        notify.requestor = request->requestor;
        notify.selection = request->selection;
        notify.target = request->target;
        notify.property = request->property;
        if (request->target == targets) {
          const xcb_atom_t list[] = {targets, utf8};
          xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor,
                              request->property, XCB_ATOM_ATOM, 32, bare ? 0 : 2, list);
        } else if (request->target == utf8) {
          const std::uint32_t events =
              XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
          xcb_change_window_attributes(connection, request->requestor, XCB_CW_EVENT_MASK, &events);
          const std::uint32_t size = 1'000'000;
          xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor,
                              request->property, incr, 32, 1, &size);
          // Said once, so a test knows a reader is in the middle of a transfer.
          if (reader == XCB_NONE && pieces == 0) announce("transferring");
          reader = request->requestor;
          property = request->property;
        } else {
          notify.property = XCB_NONE;
        }
        char bytes[32] = {};
        std::memcpy(bytes, &notify, sizeof notify);
        xcb_send_event(connection, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT, bytes);
      } else if (type == XCB_PROPERTY_NOTIFY) {
        auto *change = reinterpret_cast<xcb_property_notify_event_t *>(event);
        if (change->window == reader && change->atom == property &&
            change->state == XCB_PROPERTY_DELETE) {
          next_piece = Clock::now() + std::chrono::milliseconds(300);
        }
      } else if (type == XCB_DESTROY_NOTIFY) {
        // A reader that is gone is forgotten: a later program's window may get its id (and
        // its property name), and pieces for the old transfer would land in that window.
        if (reinterpret_cast<xcb_destroy_notify_event_t *>(event)->window == reader) {
          reader = XCB_NONE;
          next_piece = Clock::time_point::max();
        }
      }
      std::free(event);
    }
    if (Clock::now() >= next_piece) {
      const std::uint32_t size = ++pieces <= 100 ? 1 : 0; // the empty piece ends it
      xcb_change_property(connection, XCB_PROP_MODE_REPLACE, reader, property, utf8, 8, size, "x");
      next_piece = Clock::time_point::max();
    }
    xcb_flush(connection);
    if (xcb_connection_has_error(connection)) return 1;
    if (input_ended(connection, next_piece == Clock::time_point::max() ? 100 : 20)) return 0;
  }
}

int stall(xcb_connection_t *connection, xcb_window_t window) {
  const xcb_atom_t property = atom(connection, "VFT_TEST_STALL");
  xcb_convert_selection(connection, window, atom(connection, "CLIPBOARD"),
                        atom(connection, "UTF8_STRING"), property, XCB_CURRENT_TIME);
  xcb_flush(connection);
  const xcb_atom_t incr = atom(connection, "INCR");
  while (xcb_generic_event_t *event = xcb_wait_for_event(connection)) {
    const bool answered = (event->response_type & 0x7f) == XCB_SELECTION_NOTIFY;
    std::free(event);
    if (answered) break;
  }
  // Looks at the answer without deleting it: the owner waits for that deletion for ever.
  xcb_get_property_reply_t *reply = xcb_get_property_reply(
      connection,
      xcb_get_property(connection, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1), nullptr);
  if (reply == nullptr || reply->type != incr) return 1;
  std::free(reply);
  announce("stalled");
  while (!input_ended(connection, 1000)) {
    while (xcb_generic_event_t *event = xcb_poll_for_event(connection))
      std::free(event);
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  int screen_number = 0;
  xcb_connection_t *connection = xcb_connect(nullptr, &screen_number);
  if (xcb_connection_has_error(connection)) return 1;
  const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  const xcb_window_t window = xcb_generate_id(connection);
  const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
  const std::string mode = argv[1];
  const int status = mode == "trickle" ? trickle(connection, window, false)
                     : mode == "bare"  ? trickle(connection, window, true)
                     : mode == "stall" ? stall(connection, window)
                                       : 2;
  xcb_disconnect(connection);
  return status;
}
#else
// The Windows clipboard has no transfers in pieces.
int main() { return 2; }
#endif

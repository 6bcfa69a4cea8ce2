#include "platform/posix/x11.hpp"

#include "platform/clipboard.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string_view>

namespace vft::platform::x11 {

namespace {

std::string connection_problem(int code) {
  const char *display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    return "no X11 display is available (DISPLAY is not set)";
  }
  const std::string name = std::string("\"") + display + "\"";
  switch (code) {
  case XCB_CONN_CLOSED_PARSE_ERR:
    return "the X11 display name " + name + " is not valid";
  case XCB_CONN_CLOSED_INVALID_SCREEN:
    return "the X11 display " + name + " has no such screen";
  case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
    return "not enough memory to connect to the X11 display " + name;
  default:
    return "cannot connect to the X11 display " + name;
  }
}

xcb_atom_t intern(xcb_connection_t *connection, xcb_intern_atom_cookie_t cookie) {
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr));
  return reply ? reply->atom : XCB_NONE;
}

} // namespace

Display::Display(xcb_connection_t *connection, xcb_window_t root)
    : connection_(connection), root_(root) {}

Display::Display(Display &&other) noexcept
    : connection_(other.connection_), root_(other.root_), window_(other.window_),
      atoms_(other.atoms_) {
  other.connection_ = nullptr;
  other.window_ = XCB_NONE;
}

Display::~Display() {
  if (connection_ == nullptr) return;
  if (window_ != XCB_NONE && !broken()) {
    xcb_destroy_window(connection_, window_);
    xcb_flush(connection_);
  }
  xcb_disconnect(connection_);
}

Result<Display> Display::open() {
  int screen_number = 0;
  xcb_connection_t *connection = xcb_connect(nullptr, &screen_number);
  if (const int code = xcb_connection_has_error(connection); code != 0) {
    xcb_disconnect(connection);
    return fail(std::string(kClipboardOwnerWindow) + ": " + connection_problem(code));
  }
  // The socket must not reach programs this process starts.
  const int fd = xcb_get_file_descriptor(connection);
  ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);

  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screen_number && screens.rem > 0; ++i)
    xcb_screen_next(&screens);
  if (screens.rem == 0) {
    xcb_disconnect(connection);
    return fail(std::string(kClipboardOwnerWindow) + ": the X11 display has no screen");
  }
  Display display(connection, screens.data->root);

  constexpr std::string_view kNames[] = {"CLIPBOARD", "TARGETS",      "TIMESTAMP",
                                         "MULTIPLE",  "SAVE_TARGETS", "DELETE",
                                         "INCR",      "UTF8_STRING",  "text/plain;charset=utf-8",
                                         "image/png", "image/bmp",    "VFT_CLIPBOARD_TRANSFER"};
  xcb_atom_t *slots[] = {
      &display.atoms_.clipboard, &display.atoms_.targets,      &display.atoms_.timestamp,
      &display.atoms_.multiple,  &display.atoms_.save_targets, &display.atoms_.delete_target,
      &display.atoms_.incr,      &display.atoms_.utf8_string,  &display.atoms_.text_plain_utf8,
      &display.atoms_.image_png, &display.atoms_.image_bmp,    &display.atoms_.transfer};
  xcb_intern_atom_cookie_t cookies[std::size(kNames)];
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    cookies[i] = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(kNames[i].size()),
                                 kNames[i].data());
  }
  for (std::size_t i = 0; i < std::size(kNames); ++i)
    *slots[i] = intern(connection, cookies[i]);

  // An unmapped window: it never shows, it only takes part in selection transfers.
  const xcb_window_t window = xcb_generate_id(connection);
  const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_void_cookie_t created = xcb_create_window_checked(
      connection, XCB_COPY_FROM_PARENT, window, display.root_, 0, 0, 1, 1, 0,
      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
  if (xcb_generic_error_t *error = xcb_request_check(connection, created)) {
    std::free(error);
    return fail(std::string(kClipboardOwnerWindow) + ": the X11 server refused the window");
  }
  display.window_ = window;
  for (xcb_atom_t *slot : slots) {
    if (*slot == XCB_NONE) {
      return fail(std::string(kClipboardOwnerWindow) + ": the X11 server refused an atom");
    }
  }
  return display;
}

Event Display::next_event(Clock::time_point deadline) {
  while (true) {
    if (Event event{xcb_poll_for_event(connection_)}) return event;
    if (broken()) return nullptr;
    int timeout = -1;
    if (deadline != Clock::time_point::max()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return nullptr;
      timeout = static_cast<int>(left);
    }
    pollfd wait{fd(), POLLIN, 0};
    const int ready = ::poll(&wait, 1, timeout);
    if (ready < 0 && errno != EINTR) return nullptr;
  }
}

xcb_window_t Display::selection_owner() {
  Reply<xcb_get_selection_owner_reply_t> reply(xcb_get_selection_owner_reply(
      connection_, xcb_get_selection_owner(connection_, atoms_.clipboard), nullptr));
  return reply ? reply->owner : XCB_NONE;
}

std::optional<xcb_timestamp_t> Display::server_time() {
  xcb_change_property(connection_, XCB_PROP_MODE_APPEND, window_, atoms_.transfer, XCB_ATOM_STRING,
                      8, 0, nullptr);
  xcb_flush(connection_);
  const xcb_window_t window = window_;
  const xcb_atom_t property = atoms_.transfer;
  Event event = wait_for(Clock::now() + kAnswerTime, [&](xcb_generic_event_t *e) {
    if ((e->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
    auto *change = reinterpret_cast<xcb_property_notify_event_t *>(e);
    return change->window == window && change->atom == property;
  });
  if (!event) return std::nullopt;
  return reinterpret_cast<xcb_property_notify_event_t *>(event.get())->time;
}

std::uint32_t sequence_of(xcb_window_t owner, std::optional<xcb_timestamp_t> time) {
  if (owner == XCB_NONE) return 0;
  if (!time) return owner;
  // A 64-bit finaliser (splitmix64) spreads both values over the low 32 bits.
  std::uint64_t mixed = (static_cast<std::uint64_t>(owner) << 32) | *time;
  mixed ^= mixed >> 30;
  mixed *= 0xbf58476d1ce4e5b9ULL;
  mixed ^= mixed >> 27;
  mixed *= 0x94d049bb133111ebULL;
  mixed ^= mixed >> 31;
  return static_cast<std::uint32_t>(mixed);
}

} // namespace vft::platform::x11

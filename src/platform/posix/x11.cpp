#include "platform/posix/x11.hpp"

#include "platform/clipboard.hpp"
#include "platform/posix/posix.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <xcb/xcbext.h>

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

std::string display_did_not_answer() {
  const char *display = std::getenv("DISPLAY");
  return std::string(kClipboardOwnerWindow) + ": the X11 display \"" +
         (display == nullptr ? "" : display) + "\" did not answer";
}

// The descriptors this process has open.
std::optional<std::set<int>> open_descriptors() {
  std::set<int> found;
  DIR *folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return std::nullopt;
  while (const dirent *entry = ::readdir(folder)) {
    if (entry->d_name[0] != '.') found.insert(std::atoi(entry->d_name));
  }
  found.erase(::dirfd(folder));
  ::closedir(folder);
  return found;
}

// xcb_connect waits without bound for the server's answer to the connection setup, and a
// display that accepts but never answers (a dead server, a stale socket) would hold the call
// for ever. So it runs on a thread of its own, with every signal blocked there; past the
// deadline the sockets it opened are shut down, which ends its wait with a failed setup.
// Nothing else opens descriptors meanwhile: the main thread only waits for it.
Result<xcb_connection_t *> connect_by(Clock::time_point deadline, int &screen) {
  const auto refused = [](int code) {
    return fail(std::string(kClipboardOwnerWindow) + ": " + std::strerror(code));
  };
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return refused(errno);
  const posix::Fd done(ends[0]);
  const posix::Fd done_writer(ends[1]);
  const auto before = open_descriptors();
  if (!before) return refused(errno);
  xcb_connection_t *connection = nullptr;
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::optional<std::thread> connecting;
  try {
    connecting.emplace([&, signal_end = done_writer.get()] {
      connection = xcb_connect(nullptr, &screen);
      (void)!::write(signal_end, "x", 1);
    });
  } catch (const std::system_error &error) {
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return refused(error.code().value());
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  bool late = false;
  int wait = milliseconds_until(deadline);
  while (true) {
    pollfd ready{done.get(), POLLIN, 0};
    const int n = ::poll(&ready, 1, wait);
    if (n > 0) break;
    if (n < 0 && errno == EINTR) continue;
    late = true;
    for (const int fd : open_descriptors().value_or(std::set<int>())) {
      struct stat info {};
      if (!before->contains(fd) && fd != done.get() && fd != done_writer.get() &&
          ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode)) {
        ::shutdown(fd, SHUT_RDWR);
      }
    }
    wait = 100; // the thread ends at once now; a socket it opened since is shut down next
  }
  connecting->join();
  if (late) {
    xcb_disconnect(connection);
    return fail(display_did_not_answer());
  }
  return connection;
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

Result<Display> Display::open(Clock::time_point deadline) {
  int screen_number = 0;
  VFT_TRY(auto connected, connect_by(deadline, screen_number));
  xcb_connection_t *connection = connected;
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

  // An unmapped window: it never shows, it only takes part in selection transfers.
  const xcb_window_t window = xcb_generate_id(connection);
  const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
  const xcb_void_cookie_t created = xcb_create_window_checked(
      connection, XCB_COPY_FROM_PARENT, window, display.root_, 0, 0, 1, 1, 0,
      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);

  constexpr std::string_view kNames[] = {"CLIPBOARD",
                                         "TARGETS",
                                         "TIMESTAMP",
                                         "MULTIPLE",
                                         "SAVE_TARGETS",
                                         "DELETE",
                                         "INCR",
                                         "UTF8_STRING",
                                         "text/plain;charset=utf-8",
                                         "image/png",
                                         "image/bmp",
                                         "VFT_CLIPBOARD_TRANSFER",
                                         "VFT_CLIPBOARD_HOLDER"};
  xcb_atom_t *slots[] = {
      &display.atoms_.clipboard, &display.atoms_.targets,      &display.atoms_.timestamp,
      &display.atoms_.multiple,  &display.atoms_.save_targets, &display.atoms_.delete_target,
      &display.atoms_.incr,      &display.atoms_.utf8_string,  &display.atoms_.text_plain_utf8,
      &display.atoms_.image_png, &display.atoms_.image_bmp,    &display.atoms_.transfer,
      &display.atoms_.holder};
  xcb_intern_atom_cookie_t cookies[std::size(kNames)];
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    cookies[i] = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(kNames[i].size()),
                                 kNames[i].data());
  }
  // The first round trip: a server that took the connection but stopped answering is
  // given up here.
  for (std::size_t i = 0; i < std::size(kNames); ++i) {
    auto reply = display.reply<xcb_intern_atom_reply_t>(cookies[i].sequence, deadline);
    if (!reply) {
      if (display.broken() || Clock::now() >= deadline) return fail(display_did_not_answer());
      return fail(std::string(kClipboardOwnerWindow) + ": the X11 server refused an atom");
    }
    *slots[i] = reply->atom;
  }
  if (!display.succeeded(created, deadline)) {
    return fail(std::string(kClipboardOwnerWindow) + ": the X11 server refused the window");
  }
  display.window_ = window;
  return display;
}

bool Display::wait_readable(Clock::time_point deadline) {
  while (true) {
    if (broken()) return false;
    int timeout = -1;
    if (deadline != Clock::time_point::max()) {
      if (Clock::now() >= deadline) return false;
      timeout = std::max(1, milliseconds_until(deadline));
    }
    pollfd wait{fd(), POLLIN, 0};
    const int ready = ::poll(&wait, 1, timeout);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

Event Display::next_event(Clock::time_point deadline) {
  while (true) {
    if (Event event{xcb_poll_for_event(connection_)}) return event;
    if (!wait_readable(deadline)) return nullptr;
  }
}

void *Display::await_reply(unsigned int sequence, Clock::time_point deadline) {
  xcb_flush(connection_);
  while (true) {
    void *reply = nullptr;
    xcb_generic_error_t *error = nullptr;
    // Reads what has arrived without blocking; a broken connection counts as answered.
    if (xcb_poll_for_reply(connection_, sequence, &reply, &error) != 0) {
      std::free(error);
      return reply;
    }
    if (!wait_readable(deadline)) return nullptr;
  }
}

bool Display::succeeded(xcb_void_cookie_t request, Clock::time_point deadline) {
  xcb_flush(connection_);
  while (true) {
    void *reply = nullptr;
    xcb_generic_error_t *error = nullptr;
    // A request without a reply is known done once an answer to a later one has arrived.
    if (xcb_poll_for_reply(connection_, request.sequence, &reply, &error) != 0) {
      std::free(reply);
      const bool failed = error != nullptr || broken();
      std::free(error);
      return !failed;
    }
    if (!wait_readable(deadline)) return false;
  }
}

std::optional<xcb_window_t> Display::selection_owner(Clock::time_point deadline) {
  auto reply = this->reply<xcb_get_selection_owner_reply_t>(
      xcb_get_selection_owner(connection_, atoms_.clipboard).sequence, deadline);
  if (!reply) return std::nullopt;
  return reply->owner;
}

std::optional<xcb_timestamp_t> Display::server_time(Clock::time_point deadline) {
  xcb_change_property(connection_, XCB_PROP_MODE_APPEND, window_, atoms_.transfer, XCB_ATOM_STRING,
                      8, 0, nullptr);
  xcb_flush(connection_);
  const xcb_window_t window = window_;
  const xcb_atom_t property = atoms_.transfer;
  Event event = wait_for(deadline, [&](xcb_generic_event_t *e) {
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

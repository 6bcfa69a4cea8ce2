#include "platform/posix/x11.hpp"

#include "platform/clipboard.hpp"
#include "platform/posix/posix.hpp"

#include <X11/X.h>
#include <X11/Xauth.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
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

// The socket to the display that DISPLAY names: "[protocol/][host]:number[.screen]". No host
// (or "unix") is the local socket, abstract first as the X server offers it; any other host
// is TCP, port 6000 + number. Connecting waits until the deadline at the most.
struct Target {
  std::string host;
  int number = 0;
  int screen = 0;
};

bool connect_until(int fd, const sockaddr *address, socklen_t size, TimePoint deadline,
                   const Waiter &waiter) {
  while (true) {
    if (::connect(fd, address, size) == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EINPROGRESS) {
      if (!wait_ready(fd, POLLOUT, deadline, waiter)) return false;
      int code = 0;
      socklen_t length = sizeof code;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length) != 0 || code != 0) {
        errno = code == 0 ? errno : code;
        return false;
      }
      return true;
    }
    // A local server whose queue is full takes no connection now: try again shortly.
    if (errno != EAGAIN || waiter.now() >= deadline || waiter.cancelled()) return false;
    waiter.clock().pause(Milliseconds(std::min(10, waiter.wait_ms(deadline))));
  }
}

// The connected socket, or -1 with errno saying why.
int open_local(const Target &target, TimePoint deadline, const Waiter &waiter) {
  const std::string path = "/tmp/.X11-unix/X" + std::to_string(target.number);
  for (const bool abstract : {true, false}) {
    posix::Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t at = abstract ? 1 : 0; // an abstract name starts with a zero byte
    std::memcpy(address.sun_path + at, path.data(), path.size());
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + at + path.size() +
                                             (abstract ? 0 : 1));
    if (connect_until(fd.get(), reinterpret_cast<const sockaddr *>(&address), size, deadline,
                      waiter)) {
      return fd.release();
    }
    if (abstract && (errno == ENOENT || errno == ECONNREFUSED)) continue;
    break;
  }
  return -1;
}

// The host name is looked up by the system's resolver, whose own time-outs bound it.
int open_tcp(const Target &target, TimePoint deadline, const Waiter &waiter) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  const std::string port = std::to_string(6000 + target.number);
  if (::getaddrinfo(target.host.c_str(), port.c_str(), &hints, &found) != 0) {
    errno = ECONNREFUSED;
    return -1;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo *)> addresses(found, ::freeaddrinfo);
  for (const addrinfo *at = found; at != nullptr; at = at->ai_next) {
    posix::Fd fd(::socket(at->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) continue;
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect_until(fd.get(), at->ai_addr, at->ai_addrlen, deadline, waiter)) {
      return fd.release();
    }
  }
  return -1;
}

// The MIT-MAGIC-COOKIE-1 entry of the user's authority file for the display the socket leads
// to, chosen as the X libraries choose it: the host's own name for a local or loopback peer,
// the peer's address otherwise.
Xauth *authority_for(int fd, int number) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) != 0) return nullptr;
  unsigned short family = FamilyLocal;
  const char *address = nullptr;
  std::size_t length = 0;
  if (peer.ss_family == AF_INET6) {
    const auto *in6 = &reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(in6)) {
      address = reinterpret_cast<const char *>(in6) + 12;
      length = 4;
    } else if (!IN6_IS_ADDR_LOOPBACK(in6)) {
      family = FamilyInternet6;
      address = reinterpret_cast<const char *>(in6);
      length = 16;
    }
  } else if (peer.ss_family == AF_INET) {
    address =
        reinterpret_cast<const char *>(&reinterpret_cast<const sockaddr_in *>(&peer)->sin_addr);
    length = 4;
  } else if (peer.ss_family != AF_UNIX) {
    return nullptr;
  }
  if (length == 4) {
    in_addr_t ip = 0;
    std::memcpy(&ip, address, 4);
    if (ip != htonl(INADDR_LOOPBACK)) family = FamilyInternet;
  }
  char host[256] = {};
  if (family == FamilyLocal) {
    if (::gethostname(host, sizeof host - 1) != 0) return nullptr;
    address = host;
    length = std::strlen(host);
  }
  const std::string display = std::to_string(number);
  char name[] = "MIT-MAGIC-COOKIE-1";
  char *names[] = {name};
  int name_lengths[] = {static_cast<int>(sizeof name - 1)};
  return ::XauGetBestAuthByAddr(family, static_cast<unsigned short>(length), address,
                                static_cast<unsigned short>(display.size()), display.c_str(), 1,
                                names, name_lengths);
}

// xcb waits without bound for the server's answer to the connection setup, and a display that
// accepts but never answers (a dead server, a stale socket) would hold the call for ever. So
// the socket is ours: we connect it, hand it to xcb on a thread of its own (every signal
// blocked there), and keep a second descriptor of the same socket. Past the deadline, or on
// a cancel, shutting that one down ends xcb's wait with a failed setup; no descriptor is ever
// used by both threads.
Result<xcb_connection_t *> connect_by(TimePoint deadline, const Waiter &waiter, int &screen) {
  const auto refused = [](int code) {
    return fail(std::string(kClipboardOwnerWindow) + ": " + std::strerror(code));
  };
  Target target;
  {
    char *host = nullptr;
    if (xcb_parse_display(nullptr, &host, &target.number, &target.screen) == 0) {
      return fail(std::string(kClipboardOwnerWindow) + ": " +
                  connection_problem(XCB_CONN_CLOSED_PARSE_ERR));
    }
    target.host = host;
    std::free(host);
  }
  screen = target.screen;
  const bool local = target.host.empty() || target.host == "unix";
  posix::Fd socket(local ? open_local(target, deadline, waiter)
                         : open_tcp(target, deadline, waiter));
  if (waiter.cancelled()) return fail(kCancelled);
  if (socket.get() < 0) {
    if (waiter.now() >= deadline) return fail(display_did_not_answer());
    return fail(std::string(kClipboardOwnerWindow) + ": " + connection_problem(XCB_CONN_ERROR));
  }
  std::unique_ptr<Xauth, void (*)(Xauth *)> authority(authority_for(socket.get(), target.number),
                                                      ::XauDisposeAuth);
  xcb_auth_info_t auth{};
  if (authority) {
    auth.namelen = authority->name_length;
    auth.name = authority->name;
    auth.datalen = authority->data_length;
    auth.data = authority->data;
  }
  const posix::Fd watch(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0));
  if (watch.get() < 0) return refused(errno);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return refused(errno);
  const posix::Fd done(ends[0]);
  const posix::Fd done_writer(ends[1]);

  xcb_connection_t *connection = nullptr;
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  std::optional<std::thread> connecting;
  try {
    // The socket and the pipe's writing end are the thread's from here on (xcb closes the
    // socket itself on a failed setup).
    connecting.emplace([&connection, &auth, fd = socket.get(), signal_end = done_writer.get(),
                        with_auth = authority != nullptr] {
      connection = xcb_connect_to_fd(fd, with_auth ? &auth : nullptr);
      (void)!::write(signal_end, "x", 1);
    });
    socket.release();
  } catch (const std::system_error &error) {
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return refused(error.code().value());
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  const bool answered = wait_ready(done.get(), POLLIN, deadline, waiter);
  // The shutdown ends the setup's wait at once: the join that follows is short.
  if (!answered) ::shutdown(watch.get(), SHUT_RDWR);
  connecting->join();
  if (!answered) {
    xcb_disconnect(connection);
    if (waiter.cancelled()) return fail(kCancelled);
    return fail(display_did_not_answer());
  }
  return connection;
}

} // namespace

bool wait_ready(int fd, short events, TimePoint deadline, const Waiter &waiter) {
  while (true) {
    if (waiter.cancelled()) return false;
    int timeout = -1;
    if (deadline != TimePoint::max()) {
      if (waiter.now() >= deadline) return false;
      timeout = std::max(1, waiter.wait_ms(deadline));
    } else if (waiter.wait_ms(deadline) < (1 << 30)) {
      timeout = waiter.wait_ms(deadline); // unbounded, but the token is looked at
    }
    pollfd wait{fd, events, 0};
    const int ready = ::poll(&wait, 1, timeout);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

Display::Display(xcb_connection_t *connection, xcb_window_t root, const Waiter &waiter)
    : connection_(connection), root_(root), waiter_(waiter) {}

Display::Display(Display &&other) noexcept
    : connection_(other.connection_), root_(other.root_), window_(other.window_),
      atoms_(other.atoms_), waiter_(other.waiter_) {
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

Failure Display::gave_up() const { return fail(waiter_.cancelled() ? kCancelled : kClipboardBusy); }

Result<Display> Display::open(TimePoint deadline, const Waiter &waiter) {
  int screen_number = 0;
  VFT_TRY(auto connected, connect_by(deadline, waiter, screen_number));
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
    return fail(std::string(kClipboardOwnerWindow) + ": " +
                connection_problem(XCB_CONN_CLOSED_INVALID_SCREEN));
  }
  Display display(connection, screens.data->root, waiter);

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
      if (waiter.cancelled()) return fail(kCancelled);
      if (display.broken() || waiter.now() >= deadline) return fail(display_did_not_answer());
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

bool Display::wait_readable(TimePoint deadline) {
  return !broken() && wait_ready(fd(), POLLIN, deadline, waiter_);
}

Event Display::next_event(TimePoint deadline) {
  while (true) {
    if (Event event{xcb_poll_for_event(connection_)}) return event;
    if (!wait_readable(deadline)) return nullptr;
  }
}

void *Display::await_reply(unsigned int sequence, TimePoint deadline) {
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

bool Display::succeeded(xcb_void_cookie_t request, TimePoint deadline) {
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

std::optional<xcb_window_t> Display::selection_owner(TimePoint deadline) {
  auto reply = this->reply<xcb_get_selection_owner_reply_t>(
      xcb_get_selection_owner(connection_, atoms_.clipboard).sequence, deadline);
  if (!reply) return std::nullopt;
  return reply->owner;
}

std::optional<xcb_timestamp_t> Display::server_time(TimePoint deadline) {
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

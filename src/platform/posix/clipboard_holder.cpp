// The holder of a written clipboard. X11 keeps no clipboard data of its own: the owner of the
// CLIPBOARD selection serves it to each program that asks. So that a write outlives the tool
// call, a detached process (double fork: no zombie of the server, its own session, stdio on
// /dev/null, none of the tool's descriptors) takes the selection, reports the new sequence
// number through a pipe and serves the content until another program takes the selection.
#include "platform/posix/clipboard_holder.hpp"

#include "platform/posix/x11.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace vft::platform {

namespace {

using x11::Clock;

// How long the tool waits for the holder to own the selection: it needs one round trip for
// a server time and one for the ownership, each bounded by the answer time.
constexpr std::chrono::seconds kHolderStartTime{5};
// A reader that stops taking pieces of a large transfer is given up after this long.
constexpr std::chrono::seconds kTransferPatience{10};
constexpr std::size_t kLargestPiece = 262'144;

// Messages on the report pipe: a tag byte and a 32-bit value, or a failure text.
constexpr char kHolderPid = 'P';
constexpr char kOwned = 'S';
constexpr char kFailed = 'F';

bool write_all(int fd, const void *data, std::size_t size) {
  const char *bytes = static_cast<const char *>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void report_value(int fd, char tag, std::uint32_t value) {
  char message[5] = {tag};
  std::memcpy(message + 1, &value, 4);
  write_all(fd, message, sizeof message);
}

void report_failure(int fd, std::string_view text) {
  std::string message(1, kFailed);
  message += text.substr(0, 400);
  write_all(fd, message.data(), message.size());
}

// Standard streams on /dev/null and every other descriptor of the tool closed: the holder
// must not keep the store's lock, the tool's pipes or its X connection.
int detach_descriptors(int report) {
  if (report < 3) report = ::fcntl(report, F_DUPFD_CLOEXEC, 3);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    for (int target = 0; target < 3; ++target)
      ::dup2(null, target);
  }
  const auto keep = static_cast<unsigned>(report);
  bool closed = ::close_range(3, keep - 1, 0) == 0 || keep == 3;
  closed = ::close_range(keep + 1, ~0U, 0) == 0 && closed;
  if (!closed) {
    const long most = std::min(::sysconf(_SC_OPEN_MAX), 1L << 20);
    for (long fd = 3; fd < most; ++fd) {
      if (fd != report) ::close(static_cast<int>(fd));
    }
  }
  return report;
}

struct Offer {
  xcb_atom_t target;
  const std::string *bytes;
};

// A large content sent in pieces (INCR): the next piece goes when the reader deleted the last.
struct Transfer {
  xcb_window_t requestor;
  xcb_atom_t property;
  xcb_atom_t target;
  const std::string *bytes;
  std::size_t offset;
  Clock::time_point deadline;
};

class Server {
public:
  Server(x11::Display &display, const ClipboardWrite &content, xcb_timestamp_t owned_since)
      : display_(display), owned_since_(owned_since) {
    const x11::Atoms &atoms = display.atoms();
    if (content.kind == ClipboardWrite::Kind::text) {
      offers_ = {{atoms.utf8_string, &content.text}, {atoms.text_plain_utf8, &content.text}};
    } else {
      offers_ = {{atoms.image_png, &content.png}, {atoms.image_bmp, &content.bmp}};
    }
    const std::size_t largest =
        static_cast<std::size_t>(xcb_get_maximum_request_length(display.connection())) * 4;
    piece_ = std::min(kLargestPiece, largest > 1024 ? largest - 1024 : largest / 2);
  }

  // Serves until another program owns the selection and every transfer has ended.
  void run() {
    while (!(cleared_ && transfers_.empty())) {
      Clock::time_point deadline = Clock::time_point::max();
      for (const Transfer &transfer : transfers_)
        deadline = std::min(deadline, transfer.deadline);
      x11::Event event = display_.next_event(deadline);
      if (!event) {
        if (display_.broken()) return;
        const auto now = Clock::now();
        std::erase_if(transfers_, [&](const Transfer &t) { return t.deadline <= now; });
        continue;
      }
      switch (event->response_type & 0x7f) {
      case XCB_SELECTION_CLEAR:
        if (reinterpret_cast<xcb_selection_clear_event_t *>(event.get())->selection ==
            display_.atoms().clipboard) {
          cleared_ = true;
        }
        break;
      case XCB_SELECTION_REQUEST:
        answer(*reinterpret_cast<xcb_selection_request_event_t *>(event.get()));
        break;
      case XCB_PROPERTY_NOTIFY:
        advance(*reinterpret_cast<xcb_property_notify_event_t *>(event.get()));
        break;
      default:
        break; // errors about readers' windows that went away, among others
      }
    }
  }

private:
  void answer(const xcb_selection_request_event_t &request) {
    xcb_connection_t *connection = display_.connection();
    const x11::Atoms &atoms = display_.atoms();
    // Obsolete clients name no property: the target is used instead.
    const xcb_atom_t property = request.property == XCB_NONE ? request.target : request.property;
    bool served = false;
    const bool ours = !cleared_ && request.selection == atoms.clipboard &&
                      (request.time == XCB_CURRENT_TIME || request.time >= owned_since_);
    if (ours && request.target == atoms.targets) {
      std::vector<xcb_atom_t> list{atoms.targets, atoms.timestamp};
      for (const Offer &offer : offers_)
        list.push_back(offer.target);
      xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                          XCB_ATOM_ATOM, 32, static_cast<std::uint32_t>(list.size()), list.data());
      served = true;
    } else if (ours && request.target == atoms.timestamp) {
      xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                          XCB_ATOM_INTEGER, 32, 1, &owned_since_);
      served = true;
    } else if (ours) {
      for (const Offer &offer : offers_) {
        if (offer.target != request.target) continue;
        served = true;
        if (offer.bytes->size() <= piece_) {
          xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                              offer.target, 8, static_cast<std::uint32_t>(offer.bytes->size()),
                              offer.bytes->data());
        } else {
          const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
          xcb_change_window_attributes(connection, request.requestor, XCB_CW_EVENT_MASK, &events);
          const auto size = static_cast<std::uint32_t>(offer.bytes->size());
          xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                              atoms.incr, 32, 1, &size);
          transfers_.push_back({request.requestor, property, offer.target, offer.bytes, 0,
                                Clock::now() + kTransferPatience});
        }
        break;
      }
    }
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request.time;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.property = served ? property : XCB_NONE;
    char event[32] = {}; // send_event always takes 32 bytes
    std::memcpy(event, &notify, sizeof notify);
    xcb_send_event(connection, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, event);
    xcb_flush(connection);
  }

  void advance(const xcb_property_notify_event_t &change) {
    if (change.state != XCB_PROPERTY_DELETE) return;
    const auto found = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer &t) {
      return t.requestor == change.window && t.property == change.atom;
    });
    if (found == transfers_.end()) return;
    const std::size_t size = std::min(piece_, found->bytes->size() - found->offset);
    xcb_change_property(display_.connection(), XCB_PROP_MODE_REPLACE, found->requestor,
                        found->property, found->target, 8, static_cast<std::uint32_t>(size),
                        found->bytes->data() + found->offset);
    xcb_flush(display_.connection());
    found->offset += size;
    found->deadline = Clock::now() + kTransferPatience;
    if (size == 0) transfers_.erase(found); // the empty piece ends the transfer
  }

  x11::Display &display_;
  xcb_timestamp_t owned_since_;
  std::vector<Offer> offers_;
  std::vector<Transfer> transfers_;
  std::size_t piece_ = 0;
  bool cleared_ = false;
};

void hold(const ClipboardWrite &content, int report) {
  auto display = x11::Display::open();
  if (!display) return report_failure(report, display.error());
  const std::optional<xcb_timestamp_t> time = display->server_time();
  if (!time) return report_failure(report, "the X11 server did not answer");
  xcb_set_selection_owner(display->connection(), display->window(), display->atoms().clipboard,
                          *time);
  if (display->selection_owner() != display->window()) {
    return report_failure(report, "the X11 server did not give the selection");
  }
  report_value(report, kOwned, x11::sequence_of(display->window(), *time));
  ::close(report);
  Server(*display, content, *time).run();
}

[[noreturn]] void become_holder(const ClipboardWrite &content, int report) {
  report = detach_descriptors(report);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  hold(content, report);
  ::_exit(0);
}

} // namespace

Result<std::uint32_t> start_holder(const ClipboardWrite &content) {
  const std::string failed = std::string(kClipboardWriteFailed) + ": ";
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return fail(failed + std::strerror(errno));
  const int read_end = ends[0];
  const pid_t child = ::fork();
  if (child < 0) {
    const int code = errno;
    ::close(ends[0]);
    ::close(ends[1]);
    return fail(failed + std::strerror(code));
  }
  if (child == 0) {
    // The first child only starts the holder in a new session and ends, so the holder is
    // nobody's child here and never becomes a zombie of the tool.
    ::close(read_end);
    if (::setsid() < 0) ::_exit(1);
    const pid_t holder = ::fork();
    if (holder == 0) become_holder(content, ends[1]);
    if (holder > 0) report_value(ends[1], kHolderPid, static_cast<std::uint32_t>(holder));
    ::_exit(holder > 0 ? 0 : 1);
  }
  ::close(ends[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  // Both children's ends close when they are done with them: read until then.
  std::string messages;
  const auto deadline = Clock::now() + kHolderStartTime;
  bool ended = false;
  while (!ended) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd wait{read_end, POLLIN, 0};
    const int ready = ::poll(&wait, 1, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buffer[512];
    const ssize_t n = ::read(read_end, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ended = true;
    else
      messages.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(read_end);

  std::optional<pid_t> holder;
  std::optional<std::uint32_t> sequence;
  std::optional<std::string> problem;
  for (std::size_t at = 0; at < messages.size();) {
    const char tag = messages[at];
    if (tag == kFailed) {
      problem = messages.substr(at + 1);
      break;
    }
    if (at + 5 > messages.size()) break;
    std::uint32_t value = 0;
    std::memcpy(&value, messages.data() + at + 1, 4);
    if (tag == kHolderPid) holder = static_cast<pid_t>(value);
    if (tag == kOwned) sequence = value;
    at += 5;
  }
  if (sequence && ended) return *sequence;
  if (!ended && holder) ::kill(*holder, SIGKILL); // it did not answer in time: end it
  if (problem) return fail(failed + *problem);
  return fail(failed + (ended ? "the clipboard holder ended unexpectedly"
                              : "the clipboard holder did not answer"));
}

} // namespace vft::platform

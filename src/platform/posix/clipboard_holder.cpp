// The holder of a written clipboard. X11 keeps no clipboard data of its own: the owner of the
// CLIPBOARD selection serves it to each program that asks. So that a write outlives the tool
// call, a detached process takes the selection and serves the content until another program
// takes it.
//
// The holder is this executable started afresh in its holder mode, not a fork of the tool: a
// fork would carry the opened store, the undo snapshot and the call's arguments for as long
// as it holds the clipboard. It gets the one content over a socket (its descriptor 3), so its
// command line names nothing of the call, and its memory is what it serves. It forks once to
// leave the tool (no zombie, a session of its own), reports the new sequence number and
// serves. Standard streams are /dev/null; it has no other descriptor than its X connection.
#include "platform/posix/clipboard_holder.hpp"

#include "undo_guard.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace vft::platform {

namespace {

using limits::kGiveWay;
using limits::kHolderStart;
using limits::kServedPiece;
using limits::kServedTransfer;

// Transfers served at once; requests beyond are refused until one ends.
constexpr std::size_t kMostTransfers = 16;
constexpr std::size_t kLargestPiece = 262'144;

// The holder's end of the socket to the tool.
constexpr int kChannel = 3;

// The holder's first word on the channel: a tag byte and its process id, so that a tool that
// gives up can end it. Then its answer: a tag byte and the sequence number, or a failure
// text; then the tool's acceptance.
constexpr char kProcess = 'P';
constexpr char kOwned = 'S';
constexpr char kFailed = 'F';
constexpr char kAccepted = 'A';

// Process descriptors: waiting for a process that is not our child, and signalling exactly
// the process that was checked (its id may be reused, the descriptor is not).
int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
void pidfd_kill(int process) { ::syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0); }

bool wait_ready(int fd, short events, TimePoint deadline, const Waiter &waiter) {
  return x11::wait_ready(fd, events, deadline, waiter);
}

// Sends all bytes by the deadline (the descriptor is non-blocking on the tool's side).
bool send_all(int fd, std::string_view bytes, TimePoint deadline, const Waiter &waiter) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
        wait_ready(fd, POLLOUT, deadline, waiter)) {
      continue;
    }
    return false;
  }
  return true;
}

// Reads exactly size bytes by the deadline.
bool receive_all(int fd, char *into, std::size_t size, TimePoint deadline, const Waiter &waiter) {
  while (size > 0) {
    if (!wait_ready(fd, POLLIN, deadline, waiter)) return false;
    const ssize_t n = ::recv(fd, into, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    into += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The content on the channel: a kind byte, then each of text, PNG and BMP as a 64-bit length
// and its bytes.
std::string encode(const ClipboardWrite &content) {
  std::string message(1, content.kind == ClipboardWrite::Kind::text ? 't' : 'i');
  for (const std::string *part : {&content.text, &content.png, &content.bmp}) {
    const std::uint64_t size = part->size();
    message.append(reinterpret_cast<const char *>(&size), sizeof size);
    message += *part;
  }
  return message;
}

std::optional<ClipboardWrite> receive_content(int fd, TimePoint deadline) {
  const Waiter waiter;
  char kind = 0;
  if (!receive_all(fd, &kind, 1, deadline, waiter) || (kind != 't' && kind != 'i'))
    return std::nullopt;
  ClipboardWrite content;
  content.kind = kind == 't' ? ClipboardWrite::Kind::text : ClipboardWrite::Kind::image;
  for (std::string *part : {&content.text, &content.png, &content.bmp}) {
    std::uint64_t size = 0;
    if (!receive_all(fd, reinterpret_cast<char *>(&size), sizeof size, deadline, waiter)) {
      return std::nullopt;
    }
    // Nothing larger than the tool can send (a BMP of a 20 MiB PNG can be large, but a
    // 32-bit X11 property length bounds what could be served at all).
    if (size > 0xffff'ffffULL) return std::nullopt;
    part->resize(static_cast<std::size_t>(size));
    if (!receive_all(fd, part->data(), part->size(), deadline, waiter)) return std::nullopt;
  }
  return content;
}

void report_value(int fd, char tag, std::uint32_t value) {
  char message[5] = {tag};
  std::memcpy(message + 1, &value, 4);
  const Waiter waiter;
  (void)send_all(fd, std::string_view(message, sizeof message), waiter.now() + limits::kOwnerAnswer,
                 waiter);
}

void report_failure(int fd, std::string_view text) {
  std::string message(1, kFailed);
  message += text.substr(0, 400);
  const Waiter waiter;
  (void)send_all(fd, message, waiter.now() + limits::kOwnerAnswer, waiter);
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
  TimePoint piece_deadline;
  TimePoint deadline;
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

  // Serves until another program owns the selection. Transfers still running then are
  // dropped: their readers asked for a content that is no longer the clipboard's.
  void run() {
    while (true) {
      TimePoint deadline = TimePoint::max();
      for (const Transfer &transfer : transfers_)
        deadline = std::min({deadline, transfer.piece_deadline, transfer.deadline});
      x11::Event event = display_.next_event(deadline);
      if (!event) {
        if (display_.broken()) return;
        const auto now = display_.waiter().now();
        std::erase_if(transfers_, [&](const Transfer &t) {
          return t.piece_deadline <= now || t.deadline <= now;
        });
        continue;
      }
      switch (event->response_type & 0x7f) {
      case XCB_SELECTION_CLEAR:
        if (reinterpret_cast<xcb_selection_clear_event_t *>(event.get())->selection ==
            display_.atoms().clipboard) {
          return;
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
    const bool ours = request.selection == atoms.clipboard &&
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
        if (offer.bytes->size() <= piece_) {
          xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                              offer.target, 8, static_cast<std::uint32_t>(offer.bytes->size()),
                              offer.bytes->data());
          served = true;
        } else if (transfers_.size() < kMostTransfers) {
          const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
          xcb_change_window_attributes(connection, request.requestor, XCB_CW_EVENT_MASK, &events);
          const auto size = static_cast<std::uint32_t>(offer.bytes->size());
          xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request.requestor, property,
                              atoms.incr, 32, 1, &size);
          const auto now = display_.waiter().now();
          transfers_.push_back({request.requestor, property, offer.target, offer.bytes, 0,
                                now + kServedPiece, now + kServedTransfer});
          served = true;
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
    found->piece_deadline = display_.waiter().now() + kServedPiece;
    if (size == 0) transfers_.erase(found); // the empty piece ends the transfer
  }

  x11::Display &display_;
  xcb_timestamp_t owned_since_;
  std::vector<Offer> offers_;
  std::vector<Transfer> transfers_;
  std::size_t piece_ = 0;
};

void hold(int channel) {
  const Waiter waiter; // nobody cancels the holder: the tool ends it instead
  const auto start_deadline = waiter.now() + kHolderStart;
  report_value(channel, kProcess, static_cast<std::uint32_t>(::getpid()));
  const std::optional<ClipboardWrite> content = receive_content(channel, start_deadline);
  if (!content) return report_failure(channel, "the clipboard holder got no content");
  auto display = x11::Display::open(waiter.within(start_deadline, limits::kDisplayConnect), waiter);
  if (!display) return report_failure(channel, display.error());
  const std::optional<xcb_timestamp_t> time = display->server_time(start_deadline);
  if (!time) return report_failure(channel, "the X11 server did not answer");
  // The mark lets the next write of ours find this process and see it gone.
  const auto pid = static_cast<std::uint32_t>(::getpid());
  xcb_change_property(display->connection(), XCB_PROP_MODE_REPLACE, display->window(),
                      display->atoms().holder, XCB_ATOM_CARDINAL, 32, 1, &pid);
  xcb_set_selection_owner(display->connection(), display->window(), display->atoms().clipboard,
                          *time);
  const auto owner = display->selection_owner(start_deadline);
  if (!owner || *owner != display->window()) {
    return report_failure(channel, "the X11 server did not give the selection");
  }
  report_value(channel, kOwned, x11::sequence_of(display->window(), *time));
  char accepted = 0;
  if (!receive_all(channel, &accepted, 1, start_deadline, waiter) || accepted != kAccepted) {
    // The tool gave up and reports a failed write: leave no owner behind.
    xcb_set_selection_owner(display->connection(), XCB_NONE, display->atoms().clipboard, *time);
    xcb_flush(display->connection());
    return;
  }
  ::close(channel);
  Server(*display, *content, *time).run();
}

// Standard streams on /dev/null, the channel as descriptor 3 and nothing else; a session
// of its own and every signal at its default, none blocked.
int prepare(posix::SpawnSetup &setup, int channel) {
  if (int e = posix_spawn_file_actions_init(&setup.actions); e != 0) return e;
  setup.actions_ready = true;
  for (const int target : {0, 1, 2}) {
    if (int e = posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null", O_RDWR, 0)) {
      return e;
    }
  }
  if (int e = posix_spawn_file_actions_adddup2(&setup.actions, channel, kChannel)) return e;
  if (int e = posix_spawn_file_actions_addclosefrom_np(&setup.actions, kChannel + 1)) return e;
  if (int e = posix_spawnattr_init(&setup.attributes); e != 0) return e;
  setup.attributes_ready = true;
  sigset_t all;
  sigfillset(&all);
  sigset_t none;
  sigemptyset(&none);
  if (int e = posix_spawnattr_setsigdefault(&setup.attributes, &all)) return e;
  if (int e = posix_spawnattr_setsigmask(&setup.attributes, &none)) return e;
  return posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                                         POSIX_SPAWN_SETSIGMASK);
}

bool is_holder_process(int pid) {
  struct stat ours {};
  struct stat theirs {};
  const std::string folder = "/proc/" + std::to_string(pid);
  if (::stat("/proc/self/exe", &ours) != 0 || ::stat((folder + "/exe").c_str(), &theirs) != 0 ||
      ours.st_dev != theirs.st_dev || ours.st_ino != theirs.st_ino) {
    return false;
  }
  const posix::Fd file(::open((folder + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return false;
  char buffer[4096];
  const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
  if (n <= 0) return false;
  const std::string_view line(buffer, static_cast<std::size_t>(n));
  const auto first_end = line.find('\0');
  return first_end != std::string_view::npos &&
         line.substr(first_end + 1) == std::string(kClipboardHolderMode) + '\0';
}

} // namespace

int run_clipboard_holder() {
  struct stat channel {};
  if (::fstat(kChannel, &channel) != 0 || !S_ISSOCK(channel.st_mode)) return 2;
  ::fcntl(kChannel, F_SETFD, FD_CLOEXEC);
  // The started process ends at once, so the holder is nobody's child in the tool.
  const pid_t holder = ::fork();
  if (holder != 0) ::_exit(holder > 0 ? 0 : 1);
  ::prctl(PR_SET_NAME, "veymora-holder");
  hold(kChannel);
  ::_exit(0);
}

Result<std::uint32_t> start_holder(const ClipboardWrite &content, TimePoint deadline,
                                   const Waiter &waiter) {
  const std::string failed = std::string(kClipboardWriteFailed) + ": ";
  deadline = waiter.within(deadline, kHolderStart);
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    return fail(failed + std::strerror(errno));
  }
  const posix::Fd ours(ends[0]);
  // Above the descriptors the holder gets, so that moving it to 3 clears close-on-exec.
  posix::Fd theirs(ends[1] > kChannel ? ends[1] : ::fcntl(ends[1], F_DUPFD_CLOEXEC, kChannel + 1));
  if (ends[1] <= kChannel) ::close(ends[1]);
  if (theirs.get() < 0) return fail(failed + std::strerror(errno));

  pid_t child = 0;
  {
    posix::SpawnSetup setup;
    if (int e = prepare(setup, theirs.get()); e != 0) return fail(failed + std::strerror(e));
    char name[] = "veymora-free-tools";
    std::string mode = kClipboardHolderMode;
    char *argv[] = {name, mode.data(), nullptr};
    if (int e = ::posix_spawn(&child, "/proc/self/exe", &setup.actions, &setup.attributes, argv,
                              environ);
        e != 0) {
      return fail(failed + std::strerror(e));
    }
  }
  // Only the holder keeps that end: when it is gone, our reads end at once.
  ::close(theirs.release());
  // The started process forks the holder and ends at once; it is reaped on every path.
  const posix::Fd started(pidfd_open(child));
  const UndoGuard reap([&] {
    const Waiter kernel; // the system's own pace, not the call's
    if (started.get() < 0 ||
        !wait_ready(started.get(), POLLIN, kernel.now() + limits::kOwnerAnswer, kernel)) {
      ::kill(child, SIGKILL);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  });
  ::fcntl(ours.get(), F_SETFL, ::fcntl(ours.get(), F_GETFL) | O_NONBLOCK);
  const posix::Fd holder_process([&] {
    char word[5] = {};
    if (!receive_all(ours.get(), word, sizeof word, deadline, waiter) || word[0] != kProcess) {
      return -1;
    }
    std::uint32_t pid = 0;
    std::memcpy(&pid, word + 1, 4);
    posix::Fd process(pid == 0 || pid > 0x3fff'ffff ? -1 : pidfd_open(static_cast<pid_t>(pid)));
    if (process.get() < 0 || !is_holder_process(static_cast<int>(pid))) return -1;
    ::fcntl(process.get(), F_SETFD, FD_CLOEXEC);
    return process.release();
  }());
  const int holder = holder_process.get();
  // A holder that this write does not keep (a failure, a cancel) is ended before the write
  // returns: nothing of a failed write goes on serving.
  UndoGuard end_holder([holder] {
    if (holder >= 0) pidfd_kill(holder);
  });

  std::optional<std::uint32_t> sequence;
  std::string problem;
  if (holder < 0) {
    problem = "the clipboard holder did not start";
  } else if (!send_all(ours.get(), encode(content), deadline, waiter)) {
    problem = "the clipboard holder did not take the content";
  } else {
    char answer[5] = {};
    if (receive_all(ours.get(), answer, 1, deadline, waiter) && answer[0] == kOwned &&
        receive_all(ours.get(), answer + 1, 4, deadline, waiter)) {
      std::uint32_t value = 0;
      std::memcpy(&value, answer + 1, 4);
      // The holder serves only once it knows the tool took its answer in time.
      if (send_all(ours.get(), std::string_view(&kAccepted, 1), deadline, waiter)) {
        sequence = value;
      }
    } else if (answer[0] == kFailed) {
      char text[400];
      const ssize_t n = ::recv(ours.get(), text, sizeof text, 0);
      problem.assign(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    if (!sequence && problem.empty()) problem = "the clipboard holder did not answer";
  }
  if (sequence) {
    end_holder.commit();
    return *sequence;
  }
  if (waiter.cancelled()) return fail(kCancelled);
  return fail(failed + problem);
}

std::optional<PreviousHolder> PreviousHolder::find(x11::Display &display, TimePoint deadline) {
  const auto owner = display.selection_owner(deadline);
  if (!owner || *owner == XCB_NONE) return std::nullopt;
  auto mark = display.reply<xcb_get_property_reply_t>(
      xcb_get_property(display.connection(), 0, *owner, display.atoms().holder, XCB_ATOM_CARDINAL,
                       0, 1)
          .sequence,
      deadline);
  if (!mark || xcb_get_property_value_length(mark.get()) != 4) return std::nullopt;
  std::uint32_t pid = 0;
  std::memcpy(&pid, xcb_get_property_value(mark.get()), 4);
  if (pid == 0 || pid > 0x3fff'ffff) return std::nullopt;
  // Any program can write the mark: only a holder of ours, checked after the pidfd pins the
  // process, is ever waited for or killed.
  const int process = pidfd_open(static_cast<pid_t>(pid));
  if (process < 0) return std::nullopt;
  PreviousHolder previous(process);
  ::fcntl(process, F_SETFD, FD_CLOEXEC);
  if (!is_holder_process(static_cast<int>(pid))) return std::nullopt;
  return previous;
}

void PreviousHolder::end(TimePoint deadline, const Waiter &waiter) {
  // A cancelled write does not wait for it to give way: it goes at once.
  if (wait_ready(process_.get(), POLLIN, waiter.within(deadline, kGiveWay), waiter)) return;
  pidfd_kill(process_.get());
  const Waiter kernel; // the system's own pace, not the call's
  (void)wait_ready(process_.get(), POLLIN, kernel.now() + limits::kOwnerAnswer, kernel);
}

} // namespace vft::platform

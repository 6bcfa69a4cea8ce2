// The clipboard on Linux: the X11 CLIPBOARD selection. Reading converts the selection into a
// property of our own unmapped window (INCR transfers included); writing hands the content to
// a detached holder process (clipboard_holder.cpp) that owns the selection until another
// program takes it. Owners answer at their own pace, so each wait, each transfer and the
// whole operation have a deadline (platform/waits.hpp); past one the call is busy, and a
// cancel ends any of them.
#include "platform/clipboard.hpp"

#include "image/image.hpp"
#include "platform/posix/clipboard_holder.hpp"
#include "platform/posix/x11.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace vft::platform {

namespace {

using x11::Event;
using x11::Reply;

// The bytes and type of a property, or why it could not be had.
struct Property {
  xcb_atom_t type = XCB_NONE;
  std::string bytes;
};

enum class Refusal { none, refused, too_large };

// The end of the next wait for an owner's answer within the transfer's deadline. The X
// server's own replies are waited for until the deadline itself.
TimePoint next_wait(const x11::Display &display, TimePoint transfer_deadline) {
  return answer_deadline(display.waiter(), transfer_deadline);
}

// Reads the whole property of our window and deletes it. Properties larger than max bytes
// are refused without being read.
Result<Property> take_property(x11::Display &display, std::uint64_t max, Refusal &refusal,
                               TimePoint deadline) {
  xcb_connection_t *connection = display.connection();
  Property property;
  std::uint32_t offset = 0; // in 32-bit units
  constexpr std::uint32_t kChunkUnits = 1 << 18;
  while (true) {
    auto reply = display.reply<xcb_get_property_reply_t>(
        xcb_get_property(connection, 0, display.window(), display.atoms().transfer,
                         XCB_GET_PROPERTY_TYPE_ANY, offset, kChunkUnits)
            .sequence,
        deadline);
    if (!reply) return display.gave_up();
    const auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply.get()));
    if (offset == 0) {
      property.type = reply->type;
      if (length + reply->bytes_after > max) {
        refusal = Refusal::too_large;
        break;
      }
    }
    const char *value = static_cast<const char *>(xcb_get_property_value(reply.get()));
    property.bytes.append(value, length);
    if (reply->bytes_after == 0) break;
    offset += static_cast<std::uint32_t>(length / 4);
  }
  xcb_delete_property(connection, display.window(), display.atoms().transfer);
  xcb_flush(connection);
  return property;
}

bool is_transfer_change(xcb_generic_event_t *event, const x11::Display &display) {
  if ((event->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
  auto *change = reinterpret_cast<xcb_property_notify_event_t *>(event);
  return change->window == display.window() && change->atom == display.atoms().transfer &&
         change->state == XCB_PROPERTY_NEW_VALUE;
}

// Takes and drops the rest of a refused INCR transfer, until the transfer's deadline.
void drain(x11::Display &display, TimePoint deadline) {
  while (true) {
    Event piece = display.wait_for(next_wait(display, deadline), [&](xcb_generic_event_t *e) {
      return is_transfer_change(e, display);
    });
    if (!piece) return;
    auto reply = display.reply<xcb_get_property_reply_t>(
        xcb_get_property(display.connection(), 0, display.window(), display.atoms().transfer,
                         XCB_GET_PROPERTY_TYPE_ANY, 0, 0)
            .sequence,
        deadline);
    xcb_delete_property(display.connection(), display.window(), display.atoms().transfer);
    xcb_flush(display.connection());
    if (!reply || reply->bytes_after == 0) return; // the empty piece ends the transfer
  }
}

// Asks the owner for the selection in the target. None when the owner refuses it; the busy
// message when it does not answer in time. A transfer given up is left to the owner: our
// window goes with the session, which ends its side too.
Result<std::optional<std::string>> convert(x11::Display &display, xcb_atom_t target,
                                           std::uint64_t max, bool &too_large,
                                           TimePoint operation_deadline) {
  const TimePoint deadline = display.waiter().within(operation_deadline, limits::kReadTransfer);
  xcb_connection_t *connection = display.connection();
  const x11::Atoms &atoms = display.atoms();
  xcb_delete_property(connection, display.window(), atoms.transfer);
  xcb_convert_selection(connection, display.window(), atoms.clipboard, target, atoms.transfer,
                        XCB_CURRENT_TIME);
  xcb_flush(connection);
  const xcb_window_t window = display.window();
  Event answer = display.wait_for(next_wait(display, deadline), [&](xcb_generic_event_t *e) {
    if ((e->response_type & 0x7f) != XCB_SELECTION_NOTIFY) return false;
    // A late answer to an earlier request names another target.
    auto *notify = reinterpret_cast<xcb_selection_notify_event_t *>(e);
    return notify->requestor == window && notify->target == target;
  });
  if (!answer) return display.gave_up();
  if (reinterpret_cast<xcb_selection_notify_event_t *>(answer.get())->property == XCB_NONE) {
    return std::optional<std::string>();
  }
  Refusal refusal = Refusal::none;
  VFT_TRY(auto first, take_property(display, max, refusal, deadline));
  if (refusal == Refusal::too_large) {
    too_large = true;
    return std::optional<std::string>();
  }
  if (first.type != atoms.incr) return std::optional<std::string>(std::move(first.bytes));

  // INCR: the owner sends the data in pieces, each after we deleted the previous one (the
  // deletion of the INCR property above started the transfer); an empty piece ends it.
  std::string data;
  while (true) {
    Event piece = display.wait_for(next_wait(display, deadline), [&](xcb_generic_event_t *e) {
      return is_transfer_change(e, display);
    });
    if (!piece) return display.gave_up();
    VFT_TRY(auto chunk, take_property(display, max - data.size(), refusal, deadline));
    if (refusal == Refusal::too_large) {
      // An owner stopped midway would wait for us for ever: take the rest and drop it.
      too_large = true;
      drain(display, deadline);
      return std::optional<std::string>();
    }
    if (chunk.bytes.empty()) break;
    data += chunk.bytes;
  }
  return std::optional<std::string>(std::move(data));
}

// The targets the owner offers; none when it does not say.
Result<std::optional<std::vector<xcb_atom_t>>> offered_targets(x11::Display &display,
                                                               TimePoint deadline) {
  bool too_large = false;
  VFT_TRY(auto list,
          convert(display, display.atoms().targets, kMaxClipboardPayload, too_large, deadline));
  // A list that is not whole atoms is not an answer to this request: as if none was given.
  if (!list || list->size() % 4 != 0) return std::optional<std::vector<xcb_atom_t>>();
  const std::string &bytes = *list;
  std::vector<xcb_atom_t> atoms(bytes.size() / 4);
  // An empty list has no storage to copy into (and memcpy takes no null pointer).
  if (!atoms.empty()) std::memcpy(atoms.data(), bytes.data(), atoms.size() * 4);
  return std::optional<std::vector<xcb_atom_t>>(std::move(atoms));
}

// The bytes of the first of the targets that the owner offers, within the payload limit.
// Owners that do not list their targets are asked for each in turn.
Result<std::string> read_payload(x11::Display &display, std::initializer_list<xcb_atom_t> targets,
                                 bool allow_empty, TimePoint deadline) {
  const auto owner = display.selection_owner(deadline);
  if (!owner) return display.gave_up();
  if (*owner == XCB_NONE) return fail(kClipboardFormatUnavailable);
  VFT_TRY(auto offered, offered_targets(display, deadline));
  for (const xcb_atom_t target : targets) {
    if (offered && std::find(offered->begin(), offered->end(), target) == offered->end()) {
      continue;
    }
    bool too_large = false;
    VFT_TRY(auto data, convert(display, target, kMaxClipboardPayload, too_large, deadline));
    if (too_large) return fail(kClipboardPayloadSize);
    if (!data) continue;
    if (data->empty() && !allow_empty) return fail(kClipboardPayloadSize);
    return std::move(*data);
  }
  return fail(kClipboardFormatUnavailable);
}

} // namespace

struct ClipboardSession::Impl {
  x11::Display display;
  TimePoint deadline;                   // of the whole operation
  std::optional<std::uint32_t> written; // the holder's sequence number after a write
};

ClipboardSession::ClipboardSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ClipboardSession::ClipboardSession(ClipboardSession &&) noexcept = default;
ClipboardSession &ClipboardSession::operator=(ClipboardSession &&) noexcept = default;
ClipboardSession::~ClipboardSession() = default;

Result<ClipboardSession> open_clipboard(const CancelToken *cancel) {
  const Waiter waiter(cancel);
  const TimePoint deadline = waiter.now() + limits::kOperation;
  VFT_TRY(auto display,
          x11::Display::open(waiter.within(deadline, limits::kDisplayConnect), waiter));
  return ClipboardSession(std::make_unique<ClipboardSession::Impl>(
      ClipboardSession::Impl{std::move(display), deadline, {}}));
}

Result<ClipboardFormats> ClipboardSession::formats() {
  x11::Display &display = impl_->display;
  ClipboardFormats formats;
  const auto owner = display.selection_owner(impl_->deadline);
  if (!owner) return display.gave_up();
  if (*owner == XCB_NONE) return formats;
  VFT_TRY(auto offered, offered_targets(display, impl_->deadline));
  formats.empty = false;
  if (!offered) return formats; // an owner that lists nothing offers nothing we know
  const x11::Atoms &atoms = display.atoms();
  bool only_meta = true;
  for (const xcb_atom_t atom : *offered) {
    if (atom == atoms.utf8_string || atom == atoms.text_plain_utf8) formats.text = true;
    if (atom == atoms.image_png || atom == atoms.image_bmp) formats.image = true;
    if (atom != atoms.targets && atom != atoms.timestamp && atom != atoms.multiple &&
        atom != atoms.save_targets && atom != atoms.delete_target) {
      only_meta = false;
    }
  }
  formats.empty = only_meta;
  return formats;
}

Result<std::string> ClipboardSession::read_text() {
  x11::Display &display = impl_->display;
  // An empty selection text is the empty string, as a lone terminating zero is on Windows.
  VFT_TRY(auto bytes,
          read_payload(display, {display.atoms().utf8_string, display.atoms().text_plain_utf8},
                       true, impl_->deadline));
  std::string text = std::move(bytes);
  // GCC 12 misjudges a find of the zero here (-Wstringop-overread); a plain search is as quick.
  text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
  if (!text::is_valid_utf8(text)) return fail(kClipboardTextNotUnicode);
  return text;
}

Result<std::string> ClipboardSession::read_image() {
  x11::Display &display = impl_->display;
  // image/bmp holds a whole BMP file, so both are plain encoded images.
  VFT_TRY(auto bytes, read_payload(display, {display.atoms().image_png, display.atoms().image_bmp},
                                   false, impl_->deadline));
  return image::normalise_to_png(bytes);
}

std::uint32_t ClipboardSession::sequence() {
  x11::Display &display = impl_->display;
  // A server that does not answer shows no owner: the write or the guard that follows fails
  // on the same silence.
  const xcb_window_t owner = display.selection_owner(impl_->deadline).value_or(XCB_NONE);
  if (owner == XCB_NONE) return 0;
  // Only an owner that lists TIMESTAMP is asked: some answer any target with their data.
  std::optional<xcb_timestamp_t> time;
  auto offered = offered_targets(display, impl_->deadline);
  if (!offered || !offered.value() ||
      std::find(offered.value()->begin(), offered.value()->end(), display.atoms().timestamp) ==
          offered.value()->end()) {
    return x11::sequence_of(owner, time);
  }
  bool too_large = false;
  auto answer = convert(display, display.atoms().timestamp, 64, too_large, impl_->deadline);
  if (answer && answer.value() && answer.value()->size() == 4) {
    xcb_timestamp_t value = 0;
    std::memcpy(&value, answer.value()->data(), 4);
    time = value;
  }
  return x11::sequence_of(owner, time);
}

Result<void> ClipboardSession::replace(const ClipboardWrite &content) {
  x11::Display &display = impl_->display;
  // At most one holder of ours: the one that owns the selection now gives way to this write,
  // and is gone before the write returns.
  auto previous = PreviousHolder::find(display, impl_->deadline);
  // The last point at which a cancel leaves the clipboard as it was.
  if (display.waiter().cancelled()) return fail(kCancelled);
  if (content.kind == ClipboardWrite::Kind::empty) {
    // No owner is the empty clipboard; a holder of ours sees SelectionClear and exits.
    xcb_set_selection_owner(display.connection(), XCB_NONE, display.atoms().clipboard,
                            XCB_CURRENT_TIME);
    const auto owner = display.selection_owner(impl_->deadline);
    if (!owner) return display.gave_up();
    if (*owner != XCB_NONE) {
      return fail(std::string(kClipboardNotCleared) + ": the X11 server kept the owner");
    }
    impl_->written = 0;
  } else {
    VFT_TRY(auto sequence, start_holder(content, impl_->deadline, display.waiter()));
    impl_->written = sequence;
  }
  if (previous) previous->end(impl_->deadline, display.waiter());
  return {};
}

std::uint32_t ClipboardSession::end() {
  const std::uint32_t result = impl_->written ? *impl_->written : sequence();
  impl_.reset();
  return result;
}

} // namespace vft::platform

// The Win32 clipboard: a message-only owner window, OpenClipboard with a bounded retry that a
// cancel ends,
// CF_UNICODETEXT for text, the registered "PNG" format and CF_DIBV5/CF_DIB for images.
#include "platform/clipboard.hpp"

#include "image/image.hpp"
#include "platform/waits.hpp"
#include "platform/windows/win.hpp"
#include "text/unicode.hpp"

#include <cstring>

namespace vft::platform {

namespace {

// MESSAGE, then ": ", the system's text, " (os error N)".
Failure with_system_error(const char *message, DWORD code) {
  return fail(std::string(message) + ": " + win::error_text(code) + " (os error " +
              std::to_string(code) + ")");
}

// Asked for afresh at every use: the identifier is the system's, never cached here.
UINT png_format() { return ::RegisterClipboardFormatW(L"PNG"); }

Result<std::string> read_format(UINT format) {
  HANDLE handle = ::GetClipboardData(format);
  if (handle == nullptr) return fail(kClipboardFormatUnavailable);
  const SIZE_T size = ::GlobalSize(handle);
  if (size < 1 || size > kMaxClipboardPayload) return fail(kClipboardPayloadSize);
  const void *memory = ::GlobalLock(handle);
  if (memory == nullptr) return with_system_error(kClipboardMemory, ::GetLastError());
  std::string bytes(static_cast<const char *>(memory), size);
  ::GlobalUnlock(handle);
  return bytes;
}

// Strict UTF-16 to UTF-8: an unpaired surrogate is an error.
Result<std::string> utf16_to_utf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t point = units[i];
    if (point >= 0xd800 && point <= 0xdbff) {
      if (i + 1 >= units.size() || units[i + 1] < 0xdc00 || units[i + 1] > 0xdfff) {
        return fail(kClipboardTextNotUnicode);
      }
      point = 0x10000 + ((point - 0xd800) << 10) + (units[++i] - 0xdc00);
    } else if (point >= 0xdc00 && point <= 0xdfff) {
      return fail(kClipboardTextNotUnicode);
    }
    text::append_utf8(point, out);
  }
  return out;
}

// A global memory block handed to the clipboard; freed here only when that fails.
Result<void> set_format(UINT format, std::string_view bytes) {
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  if (block == nullptr) return with_system_error(kClipboardAllocation, ::GetLastError());
  void *memory = ::GlobalLock(block);
  if (memory == nullptr) {
    const DWORD code = ::GetLastError();
    ::GlobalFree(block);
    return with_system_error(kClipboardLockFailed, code);
  }
  std::memcpy(memory, bytes.data(), bytes.size());
  ::GlobalUnlock(block);
  if (::SetClipboardData(format, block) == nullptr) {
    const DWORD code = ::GetLastError();
    ::GlobalFree(block);
    return with_system_error(kClipboardWriteFailed, code);
  }
  return {}; // the block belongs to the clipboard now
}

} // namespace

struct ClipboardSession::Impl {
  HWND owner = nullptr;
  bool open = false;

  ~Impl() { close(); }
  void close() {
    if (open) ::CloseClipboard();
    open = false;
    if (owner != nullptr) ::DestroyWindow(owner);
    owner = nullptr;
  }
};

ClipboardSession::ClipboardSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ClipboardSession::ClipboardSession(ClipboardSession &&) noexcept = default;
ClipboardSession &ClipboardSession::operator=(ClipboardSession &&) noexcept = default;
ClipboardSession::~ClipboardSession() = default;

Result<ClipboardSession> open_clipboard(const CancelToken *cancel) {
  auto impl = std::make_unique<ClipboardSession::Impl>();
  impl->owner = ::CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
  if (impl->owner == nullptr) return with_system_error(kClipboardOwnerWindow, ::GetLastError());
  // Another program has it open for a moment, as a rule.
  const Waiter waiter(cancel);
  GrowingWaits waits(waiter, limits::kFirstClipboardWait, limits::kLongestClipboardWait,
                     limits::kClipboardOpenBound);
  do {
    if (::OpenClipboard(impl->owner)) {
      impl->open = true;
      return ClipboardSession(std::move(impl));
    }
  } while (waits.next());
  return fail(waiter.cancelled() ? kCancelled : kClipboardBusy); // the window goes with impl
}

Result<ClipboardFormats> ClipboardSession::formats() {
  ClipboardFormats formats;
  formats.empty = ::CountClipboardFormats() == 0;
  formats.text = ::IsClipboardFormatAvailable(CF_UNICODETEXT) != 0;
  formats.image = ::IsClipboardFormatAvailable(CF_DIB) || ::IsClipboardFormatAvailable(CF_DIBV5) ||
                  ::IsClipboardFormatAvailable(png_format());
  return formats;
}

Result<std::string> ClipboardSession::read_text() {
  VFT_TRY(auto bytes, read_format(CF_UNICODETEXT));
  std::u16string units;
  for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
    const auto unit = static_cast<char16_t>(static_cast<unsigned char>((bytes)[at]) |
                                            (static_cast<unsigned char>((bytes)[at + 1]) << 8));
    if (unit == 0) break;
    units += unit;
  }
  return utf16_to_utf8(units);
}

Result<std::string> ClipboardSession::read_image() {
  if (const UINT png = png_format(); png != 0 && ::IsClipboardFormatAvailable(png)) {
    VFT_TRY(auto bytes, read_format(png));
    return image::normalise_to_png(bytes);
  }
  VFT_TRY(auto dib, read_format(::IsClipboardFormatAvailable(CF_DIBV5) ? CF_DIBV5 : CF_DIB));
  VFT_TRY(auto bmp, image::dib_to_bmp_file(dib));
  return image::normalise_to_png(bmp);
}

std::uint32_t ClipboardSession::sequence() { return ::GetClipboardSequenceNumber(); }

Result<void> ClipboardSession::replace(const ClipboardWrite &content) {
  if (!::EmptyClipboard()) return with_system_error(kClipboardNotCleared, ::GetLastError());
  switch (content.kind) {
  case ClipboardWrite::Kind::image: {
    if (auto set = set_format(png_format(), content.png); !set) return set;
    // CF_DIB is the BMP file without its 14-byte file header.
    const std::string_view bmp = content.bmp;
    return set_format(CF_DIB, bmp.size() > 14 ? bmp.substr(14) : std::string_view());
  }
  case ClipboardWrite::Kind::text: {
    std::wstring wide = win::widen(content.text);
    wide.push_back(L'\0');
    return set_format(CF_UNICODETEXT, std::string_view(reinterpret_cast<const char *>(wide.data()),
                                                       wide.size() * sizeof(wchar_t)));
  }
  case ClipboardWrite::Kind::empty:
    break;
  }
  return {};
}

std::uint32_t ClipboardSession::end() {
  impl_->close();
  return ::GetClipboardSequenceNumber();
}

// The Windows clipboard keeps a written content itself: there is no holder to run.
int run_clipboard_holder() { return 2; }

} // namespace vft::platform

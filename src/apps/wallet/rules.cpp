#include "apps/wallet/rules.hpp"

#include "store/selected_file.hpp"

#include "apps/common/records.hpp"
#include "platform/platform.hpp"
#include "text/unicode.hpp"

#include <array>
#include <limits>

namespace vft::apps::wallet {

namespace {

constexpr std::string_view kPdfSignature = "%PDF-";
constexpr std::string_view kPngSignature = "\x89PNG\r\n\x1a\n";
constexpr std::string_view kJpegSignature = "\xFF\xD8\xFF";

constexpr std::string_view kContentSuffix = ".dpapi";

// Names that Windows opens as devices in any folder, whatever extension follows.
constexpr std::array<std::string_view, 6> kDeviceNames{"con", "prn",    "aux",
                                                       "nul", "conin$", "conout$"};

bool is_device_name(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ')
    stem.pop_back();
  for (char &c : stem) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const std::string_view device : kDeviceNames) {
    if (stem == device) return true;
  }
  // COM0-COM9 and LPT0-LPT9 (the digit may also be a superscript one, two or three).
  if (stem.size() >= 4 && (stem.starts_with("com") || stem.starts_with("lpt"))) {
    const std::string_view digit = std::string_view(stem).substr(3);
    return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
           digit == "\xC2\xB2" || digit == "\xC2\xB3";
  }
  return false;
}

} // namespace

std::string extension_of(std::string_view file_name) {
  const auto extension = store::file_extension(file_name);
  if (!extension) return {};
  return text::to_lower(text::utf8_decode_lossy(*extension));
}

Result<DocumentType> check_document_type(std::string_view file_name, std::string_view content) {
  const std::string extension = extension_of(file_name);
  const char *mime_type = nullptr;
  if (extension == "pdf") {
    if (content.starts_with(kPdfSignature)) mime_type = "application/pdf";
  } else if (extension == "png") {
    if (content.starts_with(kPngSignature)) mime_type = "image/png";
  } else if (extension == "jpg" || extension == "jpeg") {
    if (content.starts_with(kJpegSignature)) mime_type = "image/jpeg";
  } else if (extension == "txt") {
    if (text::is_valid_utf8(content)) mime_type = "text/plain";
  }
  if (mime_type == nullptr) return fail(kUnsupportedDocument);
  return DocumentType{extension, mime_type};
}

Result<void> check_capacity(const Json &records, std::uint64_t new_bytes) {
  if (records.size() >= kMaxDocuments) return fail(kDocumentLimit);
  // Saturating sum: a damaged record must not wrap the total round to a small number.
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t total = new_bytes;
  for (const Json &record : records) {
    if (!record.is_object()) continue;
    const auto bytes = record.find("bytes");
    if (bytes == record.end() || !bytes->is_number_unsigned()) continue;
    const auto size = bytes->get<std::uint64_t>();
    total = size > kMax - total ? kMax : total + size;
  }
  if (total > kMaxTotalBytes) return fail(kSizeLimit);
  return {};
}

Result<std::string> content_file_name(const Json &record) {
  const auto blob = record.is_object() ? record.find("blob") : record.end();
  if (blob == record.end() || !blob->is_string()) {
    return fail(std::string("blob") + apps::kMustBeText);
  }
  const std::string &name = blob->get_ref<const std::string &>();
  // Beyond the separators: NUL would cut the name short, ':' names a drive or a stream on
  // Windows, control characters have no business in our names, and device names would
  // read a device instead of a file.
  bool plain = name.size() >= kContentSuffix.size() && name.ends_with(kContentSuffix);
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || c == ':' || b < 0x20 || b == 0x7F) plain = false;
  }
  if (!plain || is_device_name(name)) return fail(kInvalidReference);
  return name;
}

} // namespace vft::apps::wallet

#include "store/selected_file.hpp"

#include "platform/platform.hpp"

namespace vft::store {

bool is_whole_absolute_path(std::string_view path) {
  return path.find('\0') == std::string_view::npos && platform::is_absolute_path(path);
}

Result<std::string> check_selected_file(std::string_view path, std::uint64_t max_bytes,
                                        const SelectionMessages &messages) {
  if (!is_whole_absolute_path(path)) return fail(messages.not_absolute);
  auto canonical = platform::canonical_path(std::string(path));
  if (!canonical) return fail(canonical.error());
  auto info = platform::file_info(canonical.value());
  if (!info) return fail(info.error());
  if (!info->regular || info->size > max_bytes) return fail(messages.not_regular);
  return std::move(canonical.value());
}

Result<SelectedFile> read_selected_file(std::string_view path) {
  auto canonical =
      check_selected_file(path, kMaxSelectedFile, {kChooseAbsolutePath, kChooseRegularFile});
  if (!canonical) return fail(canonical.error());
  auto bytes = platform::read_file_up_to(canonical.value(), kMaxSelectedFile);
  if (!bytes) return fail(bytes.error());
  // It grew past the limit between the check and the read.
  if (!bytes.value()) return fail(kChooseRegularFile);
  return SelectedFile{std::move(canonical.value()), std::move(*bytes.value())};
}

std::optional<std::string_view> file_extension(std::string_view path) {
  const std::string_view name = platform::file_name(path);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return name.substr(dot + 1);
}

namespace {

std::string hex(std::string_view digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest.size() * 2);
  for (const char c : digest) {
    const auto b = static_cast<unsigned char>(c);
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
  }
  return out;
}

} // namespace

std::string fingerprint(std::string_view bytes) { return hex(platform::sha256(bytes)); }

Result<std::optional<std::string>> fingerprint_file(const std::string &path,
                                                    std::uint64_t max_bytes) {
  auto digest = platform::sha256_of_file(path, max_bytes);
  if (!digest) return fail(digest.error());
  if (!digest.value()) return std::optional<std::string>();
  return std::optional<std::string>(hex(*digest.value()));
}

} // namespace vft::store

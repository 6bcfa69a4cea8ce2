#include "store/selected_file.hpp"

#include "platform/platform.hpp"

namespace vft::store {

bool is_whole_absolute_path(std::string_view path) {
  return path.find('\0') == std::string_view::npos && platform::is_absolute_path(path);
}

Result<std::string> check_selected_file(std::string_view path, std::uint64_t max_bytes,
                                        const SelectionMessages &messages) {
  if (!is_whole_absolute_path(path)) return fail(messages.not_absolute);
  VFT_TRY(auto canonical, platform::canonical_path(std::string(path)));
  VFT_TRY(auto info, platform::file_info(canonical));
  if (!info.regular || info.size > max_bytes) return fail(messages.not_regular);
  return canonical;
}

Result<SelectedFile> read_selected_file(std::string_view path) {
  VFT_TRY(auto canonical,
          check_selected_file(path, kMaxSelectedFile, {kChooseAbsolutePath, kChooseRegularFile}));
  VFT_TRY(auto bytes, platform::read_file_up_to(canonical, kMaxSelectedFile));
  // It grew past the limit between the check and the read.
  if (!bytes) return fail(kChooseRegularFile);
  return SelectedFile{std::move(canonical), std::move(*bytes)};
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
  VFT_TRY(auto digest, platform::sha256_of_file(path, max_bytes));
  if (!digest) return std::optional<std::string>();
  return std::optional<std::string>(hex(*digest));
}

} // namespace vft::store

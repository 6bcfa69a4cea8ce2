// Base64 of RFC 4648 (standard alphabet, '=' padding), strict in what it reads.
#include "base64.hpp"

#include <array>
#include <cstdint>

namespace vft::text {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> make_values() {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotInAlphabet);
  for (std::uint8_t i = 0; i < 64; ++i)
    values[static_cast<unsigned char>(kAlphabet[i])] = i;
  return values;
}
constexpr std::array<std::uint8_t, 256> kValues = make_values();

std::string invalid_symbol(std::size_t offset) {
  return std::string(kBase64InvalidSymbol) + std::to_string(offset);
}

} // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  const auto byte = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at]));
  };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    const std::uint32_t group = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

Result<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return fail(kBase64InvalidLength);
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  const std::size_t symbols = text.size() - padding;

  std::string out;
  out.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  for (std::size_t i = 0; i < symbols; ++i) {
    const std::uint8_t value = kValues[static_cast<unsigned char>(text[i])];
    if (value == kNotInAlphabet) {
      return fail(text[i] == '=' ? std::string(kBase64InvalidPadding) : invalid_symbol(i));
    }
    group = group << 6 | value;
    if (i % 4 == 3) {
      out += static_cast<char>(group >> 16);
      out += static_cast<char>((group >> 8) & 0xFF);
      out += static_cast<char>(group & 0xFF);
      group = 0;
    }
  }
  // The last group: two symbols carry one byte, three carry two. The bits beyond them must
  // be zero, or two different texts would decode to the same bytes.
  if (padding == 2) {
    if ((group & 0x0F) != 0) return fail(invalid_symbol(symbols - 1));
    out += static_cast<char>(group >> 4);
  } else if (padding == 1) {
    if ((group & 0x03) != 0) return fail(invalid_symbol(symbols - 1));
    out += static_cast<char>(group >> 10);
    out += static_cast<char>((group >> 2) & 0xFF);
  }
  return out;
}

} // namespace vft::text

// The byte-level pieces the JSON reader, the writer and the store's check of its text share:
// UTF-8 sequences as nlohmann takes them, runs of string bytes that need no care, and words.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace vft::json_fast {

// Length of the well-formed UTF-8 sequence at p (lead byte at least 0x80), or 0. These are
// the exact ranges nlohmann's lexer and serializer accept: no overlong forms, no surrogates,
// nothing above U+10FFFF.
inline std::size_t utf8_sequence(const unsigned char *p, const unsigned char *end) {
  const auto in = [](unsigned char c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
  const std::size_t left = static_cast<std::size_t>(end - p);
  const unsigned char c = p[0];
  if (in(c, 0xC2, 0xDF)) return left >= 2 && in(p[1], 0x80, 0xBF) ? 2 : 0;
  if (in(c, 0xE0, 0xEF)) {
    if (left < 3) return 0;
    const unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
    const unsigned hi = c == 0xED ? 0x9F : 0xBF;
    return in(p[1], lo, hi) && in(p[2], 0x80, 0xBF) ? 3 : 0;
  }
  if (in(c, 0xF0, 0xF4)) {
    if (left < 4) return 0;
    const unsigned lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
    return in(p[1], lo, hi) && in(p[2], 0x80, 0xBF) && in(p[3], 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

// The first byte from p on that a JSON string cannot carry as it is: a control character,
// a quotation mark, a backslash, or the start of a multi-byte sequence. Eight bytes at a time,
// the last few too: most strings in a store are short.
inline const unsigned char *skip_plain(const unsigned char *p, const unsigned char *end) {
  static_assert(std::endian::native == std::endian::little, "bytes are counted from the low end");
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  // The high bit of each byte that needs care. Borrows only run upwards, so the lowest bit
  // set always marks a byte that does.
  const auto special = [](std::uint64_t word) {
    const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    const std::uint64_t below_space = (word - kOnes * 0x20) & ~word;
    return (below_space | has_zero(word ^ (kOnes * '"')) | has_zero(word ^ (kOnes * '\\')) | word) &
           kHighs;
  };
#ifdef __SSE2__
  // Sixteen bytes at a time where the processor has SSE2 (every x86-64 one). As signed bytes,
  // the start of a multi-byte sequence is negative, so "below a space" covers it too.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(0x20);
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i care =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                     _mm_cmplt_epi8(bytes, space));
    if (const auto found = static_cast<unsigned>(_mm_movemask_epi8(care))) {
      return p + std::countr_zero(found);
    }
    p += 16;
  }
#endif
  while (end - p >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, 8);
    if (const std::uint64_t found = special(word)) return p + std::countr_zero(found) / 8;
    p += 8;
  }
  if (p < end) {
    // The last few bytes, gathered in a register (a short copy through memory would stall
    // the load after it), over plain filling.
    std::uint64_t word = kOnes * 'a';
    for (std::size_t i = 0; p + i < end; ++i) {
      const unsigned shift = 8 * static_cast<unsigned>(i);
      word = (word & ~(std::uint64_t{0xFF} << shift)) | (std::uint64_t{p[i]} << shift);
    }
    if (const std::uint64_t found = special(word)) return p + std::countr_zero(found) / 8;
  }
  return end;
}

// Moves p past word when the text there starts with it.
inline bool take_word(const unsigned char *&p, const unsigned char *end, std::string_view word) {
  if (static_cast<std::size_t>(end - p) < word.size() ||
      std::memcmp(p, word.data(), word.size()) != 0) {
    return false;
  }
  p += word.size();
  return true;
}

} // namespace vft::json_fast

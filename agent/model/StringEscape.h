// The inner loop of the JSON writer: escaping the bytes of one string. Two kernels do the same
// work; the writer picks the fastest one the processor supports, once per process.
//
// Escapes: '"' '\' '/' get a backslash; \b \f \n \r \t by name; other bytes below 0x20 as
// \u00xx (lower-case hex); every other byte (0x7f and all bytes >= 0x80 included) as is.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace model::escape {

// Bytes the output buffer must hold beyond the escaped text: kernels store whole vectors (or
// 8-byte table entries) and let later bytes overwrite the surplus.
inline constexpr std::size_t kSlack = 64;

// Any processor: 16-byte blocks without escapes are copied whole (SSE2 on x86-64), the rest
// byte by byte through the escape table.
struct Portable {
  // At least the escaped length of s (exact unless s holds \b \f \n \r \t, counted as six).
  static std::size_t sizeBound(std::string_view s);
  // At least the length of writeArray's text for items.
  static std::size_t sizeBound(const std::vector<std::string>& items);
  // Writes the escaped bytes of s (without quotes) at p; returns the end of the written text.
  static char* write(char* p, std::string_view s);
  // Writes items as a JSON array of strings: ["a","b"], or [] when empty.
  static char* writeArray(char* p, const std::vector<std::string>& items);
};

// x86-64 with AVX-512 VBMI2: 32 bytes per step, each flagged byte paired with a backslash and
// the pairs compressed in one instruction, so dense escapes ('/' in paths) cost no branches.
struct Avx512 {
  static bool available();
  static std::size_t sizeBound(std::string_view s);
  static std::size_t sizeBound(const std::vector<std::string>& items);
  static char* write(char* p, std::string_view s);
  static char* writeArray(char* p, const std::vector<std::string>& items);
};

namespace detail {

// How one byte is written: `size` 0 means as is, otherwise the first `size` bytes of `text`.
struct Escape {
  char text[7];
  unsigned char size;
};
static_assert(sizeof(Escape) == 8);

constexpr std::array<Escape, 256> makeEscapeTable() {
  std::array<Escape, 256> table{};
  constexpr char kHex[] = "0123456789abcdef";
  for (int c = 0; c < 0x20; ++c) {
    table[c] = Escape{{'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf], 0}, 6};
  }
  const auto named = [&table](unsigned char c, char name) {
    table[c] = Escape{{'\\', name, 0, 0, 0, 0, 0}, 2};
  };
  named('\b', 'b');
  named('\f', 'f');
  named('\n', 'n');
  named('\r', 'r');
  named('\t', 't');
  named('"', '"');
  named('\\', '\\');
  named('/', '/');
  return table;
}
inline constexpr std::array<Escape, 256> kEscapes = makeEscapeTable();

// Byte by byte through the table; an escape copies the whole 8-byte entry (surplus in slack).
inline char* writeBytes(char* p, const char* src, const char* end) {
  for (; src < end; ++src) {
    const auto c = static_cast<unsigned char>(*src);
    const Escape& escape = kEscapes[c];
    if (escape.size == 0) {
      *p++ = static_cast<char>(c);
    } else {
      std::memcpy(p, &escape, sizeof(Escape));
      p += escape.size;
    }
  }
  return p;
}

#if defined(__x86_64__)
// 0xff in each byte that needs an escape (controls, '"', '\', '/').
inline __m128i flaggedBytes(__m128i v) {
  const __m128i limit = _mm_set1_epi8(0x1f);
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, limit), limit);
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  const __m128i solidus = _mm_cmpeq_epi8(v, _mm_set1_epi8('/'));
  return _mm_or_si128(_mm_or_si128(control, quote), _mm_or_si128(backslash, solidus));
}
#endif

}  // namespace detail

// Most strings of a document are short texts (times, names, identifiers); written here, inline
// in the writer, they cost no call. Returns the end of the escaped text, or nullptr, having
// written nothing that counts, for a string longer than 32 bytes or one of 16 to 32 bytes that
// needs an escape: those go to a kernel.
inline char* writeShort(char* p, std::string_view s) {
  const std::size_t n = s.size();
  if (n < 16) return detail::writeBytes(p, s.data(), s.data() + n);
#if defined(__x86_64__)
  if (n <= 32) {
    // Two overlapping 16-byte blocks cover the string without reading past it.
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data()));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + n - 16));
    if (_mm_movemask_epi8(_mm_or_si128(detail::flaggedBytes(head), detail::flaggedBytes(tail))) !=
        0) {
      return nullptr;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), head);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + n - 16), tail);
    return p + n;
  }
#endif
  return nullptr;
}

}  // namespace model::escape

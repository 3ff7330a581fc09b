// The agent's JSON writer. Encoding runs once per event on the delivery thread, so it is built
// for speed: one walk over the tree computes an upper bound of the document size (and finds any
// non-finite `Date` before a byte is written), the buffer is sized once, and a second walk
// writes through a raw pointer. Keys are compile-time text; strings are scanned 16 bytes at a
// time for the few bytes that need escaping.
#include <array>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "agent/model/JsonEncoding.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace model {
namespace {

using coding::Record;
using coding::Table;

// Room kept after the last byte so that the writer may store 16 (or 8) bytes at once and let
// later bytes overwrite the surplus.
constexpr std::size_t kSlack = 16;

// Longest text of each value type.
constexpr std::size_t kIntMax = 20;     // "-9223372036854775808"
constexpr std::size_t kUInt32Max = 10;  // "4294967295"
constexpr std::size_t kBoolMax = 5;     // "false"
constexpr std::size_t kDateMax = 24;    // "-2.2250738585072014e-308", shortest round-trip form

// ---------------------------------------------------------------------------------------------
// Escaping

// How one byte is written inside a string: `size` 0 means as is, otherwise `text[0..size)`.
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
constexpr std::array<Escape, 256> kEscapes = makeEscapeTable();

// Writes the escape of byte c; copies all 8 table bytes, the surplus is overwritten later.
inline char* writeEscape(char* p, unsigned char c) {
  std::memcpy(p, &kEscapes[c], sizeof(Escape));
  return p + kEscapes[c].size;
}

inline char* writeEscapedTail(char* p, const char* src, const char* end) {
  for (; src < end; ++src) {
    const auto c = static_cast<unsigned char>(*src);
    if (kEscapes[c].size == 0) {
      *p++ = static_cast<char>(c);
    } else {
      p = writeEscape(p, c);
    }
  }
  return p;
}

#if defined(__SSE2__)
// Bytes below 0x20 (unsigned compare).
inline __m128i controlBytes(__m128i v) {
  const __m128i limit = _mm_set1_epi8(0x1f);
  return _mm_cmpeq_epi8(_mm_max_epu8(v, limit), limit);
}

// Bytes that need an escape: controls, '"', '\' and '/'.
inline __m128i escapedBytes(__m128i v) {
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  const __m128i solidus = _mm_cmpeq_epi8(v, _mm_set1_epi8('/'));
  return _mm_or_si128(_mm_or_si128(controlBytes(v), quote), _mm_or_si128(backslash, solidus));
}
#endif

// Upper bound of the escaped length of s (exact unless it holds \b \f \n \r \t, which are
// counted as six bytes when found in a 16-byte block).
inline std::size_t escapedSizeBound(std::string_view s) {
  const char* src = s.data();
  const char* const end = src + s.size();
  std::size_t extra = 0;
#if defined(__SSE2__)
  for (; end - src >= 16; src += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const auto escaped = static_cast<unsigned>(_mm_movemask_epi8(escapedBytes(v)));
    if (escaped != 0) {
      const auto controls = static_cast<unsigned>(_mm_movemask_epi8(controlBytes(v)));
      extra += static_cast<std::size_t>(std::popcount(escaped)) +
               4 * static_cast<std::size_t>(std::popcount(controls));
    }
  }
#endif
  for (; src < end; ++src) {
    const unsigned char size = kEscapes[static_cast<unsigned char>(*src)].size;
    extra += size == 0 ? 0 : size - 1;
  }
  return s.size() + extra;
}

inline char* writeString(char* p, std::string_view s) {
  *p++ = '"';
  const char* src = s.data();
  const char* const end = src + s.size();
#if defined(__SSE2__)
  while (end - src >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
    const auto escaped = static_cast<unsigned>(_mm_movemask_epi8(escapedBytes(v)));
    if (escaped == 0) {
      src += 16;
      p += 16;
      continue;
    }
    const int clean = std::countr_zero(escaped);  // bytes before the first escape, already stored
    src += clean;
    p += clean;
    p = writeEscape(p, static_cast<unsigned char>(*src++));
  }
#endif
  p = writeEscapedTail(p, src, end);
  *p++ = '"';
  return p;
}

// ---------------------------------------------------------------------------------------------
// Numbers

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline int decimalDigits(std::uint64_t v) {
  static constexpr std::uint64_t kPowers[] = {1ull,
                                              10ull,
                                              100ull,
                                              1000ull,
                                              10000ull,
                                              100000ull,
                                              1000000ull,
                                              10000000ull,
                                              100000000ull,
                                              1000000000ull,
                                              10000000000ull,
                                              100000000000ull,
                                              1000000000000ull,
                                              10000000000000ull,
                                              100000000000000ull,
                                              1000000000000000ull,
                                              10000000000000000ull,
                                              100000000000000000ull,
                                              1000000000000000000ull,
                                              10000000000000000000ull};
  // log10 estimate from the bit width (1233/4096 ~ log10(2)), corrected by one comparison;
  // `| 1` keeps 0 at one digit and changes no other count (powers of ten are even).
  v |= 1;
  const int guess = (std::bit_width(v) * 1233) >> 12;
  return guess + 1 - (v < kPowers[guess] ? 1 : 0);
}

inline char* writeUnsigned(char* p, std::uint64_t v) {
  char* const end = p + decimalDigits(v);
  char* q = end;
  while (v >= 100) {
    q -= 2;
    std::memcpy(q, kDigitPairs + 2 * (v % 100), 2);
    v /= 100;
  }
  if (v >= 10) {
    std::memcpy(q - 2, kDigitPairs + 2 * v, 2);
  } else {
    q[-1] = static_cast<char>('0' + v);
  }
  return end;
}

inline char* writeSigned(char* p, std::int64_t v) {
  auto magnitude = static_cast<std::uint64_t>(v);
  if (v < 0) {
    *p++ = '-';
    magnitude = 0 - magnitude;
  }
  return writeUnsigned(p, magnitude);
}

inline char* writeDate(char* p, double seconds) {
  // Whole seconds (the usual case) as plain integers; every integer below 2^53 is exact.
  constexpr double kExactIntegers = 9007199254740992.0;
  if (seconds > -kExactIntegers && seconds < kExactIntegers) {
    const auto whole = static_cast<std::int64_t>(seconds);
    if (static_cast<double>(whole) == seconds && (whole != 0 || !std::signbit(seconds))) {
      return writeSigned(p, whole);
    }
  }
  return std::to_chars(p, p + kDateMax, seconds).ptr;
}

// ---------------------------------------------------------------------------------------------
// Walking the records through their field tables

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T, std::size_t I>
inline constexpr const auto& kRow = std::get<I>(Table<T>::fields);

// ,"key":
template <class T, std::size_t I>
inline constexpr auto kKeyPrefix = [] {
  constexpr std::string_view key = kRow<T, I>.key;
  std::array<char, key.size() + 4> text{};
  text[0] = ',';
  text[1] = '"';
  for (std::size_t i = 0; i < key.size(); ++i) text[i + 2] = key[i];
  text[key.size() + 2] = '"';
  text[key.size() + 3] = ':';
  return text;
}();

// Size bound -------------------------------------------------------------------------------

struct Sizer {
  bool finite = true;

  std::size_t value(std::int64_t) { return kIntMax; }
  std::size_t value(std::uint32_t) { return kUInt32Max; }
  std::size_t value(bool) { return kBoolMax; }
  std::size_t value(const Date& d) {
    finite &= std::isfinite(d.timeIntervalSinceReferenceDate);
    return kDateMax;
  }
  std::size_t value(const std::string& s) { return 2 + escapedSizeBound(s); }
  template <class E>
  std::size_t value(const std::vector<E>& items) {
    std::size_t n = 2;
    for (const E& item : items) n += 1 + value(item);
    return n;
  }
  template <Record T>
  std::size_t value(const T& record) {
    return 2 + fields(record, std::make_index_sequence<coding::kFieldCount<T>>{});
  }

  template <class T, std::size_t... I>
  std::size_t fields(const T& record, std::index_sequence<I...>) {
    return (field<T, I>(record) + ...);
  }

  template <class T, std::size_t I>
  std::size_t field(const T& record) {
    const auto& member = record.*(kRow<T, I>.member);
    if constexpr (IsOptional<std::remove_cvref_t<decltype(member)>>::value) {
      return member ? kKeyPrefix<T, I>.size() + value(*member) : 0;
    } else {
      return kKeyPrefix<T, I>.size() + value(member);
    }
  }
};

// Writing ------------------------------------------------------------------------------------

// Objects and arrays: each member or element is written after a ',' and the first ',' is then
// turned into the opening bracket, which spares a "first member?" test per optional field.
inline char* closeAggregate(char* start, char* p, char open, char close) {
  if (p == start) {
    *p++ = open;
  } else {
    *start = open;
  }
  *p++ = close;
  return p;
}

char* writeValue(char* p, std::int64_t v) {
  return writeSigned(p, v);
}
char* writeValue(char* p, std::uint32_t v) {
  return writeUnsigned(p, v);
}
char* writeValue(char* p, bool v) {
  // Both texts are copied as 8 bytes (the surplus lies in the slack or is overwritten).
  std::memcpy(p, v ? "true\0\0\0" : "false\0\0", 8);
  return p + (v ? 4 : 5);
}
char* writeValue(char* p, const Date& d) {
  return writeDate(p, d.timeIntervalSinceReferenceDate);
}
char* writeValue(char* p, const std::string& s) {
  return writeString(p, s);
}
template <Record T>
char* writeValue(char* p, const T& record);
template <class E>
char* writeValue(char* p, const std::vector<E>& items) {
  char* const start = p;
  for (const E& item : items) {
    *p++ = ',';
    p = writeValue(p, item);
  }
  return closeAggregate(start, p, '[', ']');
}

template <class T, std::size_t I>
inline char* writeField(char* p, const T& record) {
  const auto& member = record.*(kRow<T, I>.member);
  constexpr auto& prefix = kKeyPrefix<T, I>;
  if constexpr (IsOptional<std::remove_cvref_t<decltype(member)>>::value) {
    if (!member) return p;
    std::memcpy(p, prefix.data(), prefix.size());
    return writeValue(p + prefix.size(), *member);
  } else {
    std::memcpy(p, prefix.data(), prefix.size());
    return writeValue(p + prefix.size(), member);
  }
}

template <class T, std::size_t... I>
inline char* writeFields(char* p, const T& record, std::index_sequence<I...>) {
  ((p = writeField<T, I>(p, record)), ...);
  return p;
}

template <Record T>
char* writeValue(char* p, const T& record) {
  char* const start = p;
  p = writeFields(p, record, std::make_index_sequence<coding::kFieldCount<T>>{});
  return closeAggregate(start, p, '{', '}');
}

template <Record T>
bool appendDocument(std::string& out, const T& record) {
  Sizer sizer;
  const std::size_t bound = sizer.value(record);
  if (!sizer.finite) return false;
  const std::size_t start = out.size();
  out.resize(start + bound + kSlack);
  char* const end = writeValue(out.data() + start, record);
  assert(end <= out.data() + start + bound && "document outgrew its size bound");
  out.resize(static_cast<std::size_t>(end - out.data()));
  return true;
}

}  // namespace

#define MODEL_DEFINE_WRITER(Type)                               \
  bool appendJson(std::string& out, const Type& record) {       \
    return appendDocument(out, record);                         \
  }                                                             \
  std::optional<std::string> encode(const Type& record) {       \
    std::string document;                                       \
    if (!appendDocument(document, record)) return std::nullopt; \
    return document;                                            \
  }
MODEL_RECORD_TYPES(MODEL_DEFINE_WRITER)
#undef MODEL_DEFINE_WRITER

}  // namespace model

// The agent's JSON writer. Encoding runs once per event on the delivery thread, so it is built
// for speed: one walk over the tree computes an upper bound of the document size (and finds any
// non-finite `Date` before a byte is written), the buffer is sized once, and a second walk
// writes through a raw pointer. Keys are compile-time text; string bytes go through the fastest
// escaping kernel the processor has (StringEscape.h).
#include <array>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "agent/model/JsonEncoding.h"
#include "agent/model/StringEscape.h"

namespace model {
namespace {

using coding::Record;
using coding::Table;

// Room kept after the last byte so that the writer may store whole vectors or 8-byte blocks and
// let later bytes overwrite the surplus.
constexpr std::size_t kSlack = escape::kSlack;

// Longest text of each value type.
constexpr std::size_t kIntMax = 20;         // "-9223372036854775808"
constexpr std::size_t kUInt32Max = 10;      // "4294967295"
constexpr std::size_t kBoolMax = 5;         // "false"
constexpr std::size_t kDateMax = 24;        // "-2.2250738585072014e-308", shortest round-trip form
constexpr std::size_t kMaxEscapedByte = 6;  // a control byte as \u00xx
constexpr std::size_t kScanListsAbove = 4096;  // bytes of text in a list of strings

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

template <class Kernel>
struct Sizer {
  bool finite = true;

  std::size_t value(std::int64_t) { return kIntMax; }
  std::size_t value(std::uint32_t) { return kUInt32Max; }
  std::size_t value(bool) { return kBoolMax; }
  std::size_t value(const Date& d) {
    finite &= std::isfinite(d.timeIntervalSinceReferenceDate);
    return kDateMax;
  }
  // Strings are not scanned: six bytes per byte (\u00xx) bound them, and zeroing the spare room
  // costs less than a scan. Only long lists (a huge argument list) are scanned, to keep the
  // buffer near the document's size.
  std::size_t value(const std::string& s) { return 2 + kMaxEscapedByte * s.size(); }
  std::size_t value(const std::vector<std::string>& items) {
    std::size_t bytes = 0;
    for (const std::string& item : items) bytes += item.size();
    if (bytes > kScanListsAbove) return Kernel::sizeBound(items);
    return 2 + 3 * items.size() + kMaxEscapedByte * bytes;  // brackets; quotes and comma each
  }
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
    if constexpr (kRow<T, I>.kOptional) {
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

template <class Kernel>
struct Writer {
  static char* value(char* p, std::int64_t v) { return writeSigned(p, v); }
  static char* value(char* p, std::uint32_t v) { return writeUnsigned(p, v); }
  static char* value(char* p, bool v) {
    // Both texts are copied as 8 bytes (the surplus lies in the slack or is overwritten).
    std::memcpy(p, v ? "true\0\0\0" : "false\0\0", 8);
    return p + (v ? 4 : 5);
  }
  static char* value(char* p, const Date& d) {
    return writeDate(p, d.timeIntervalSinceReferenceDate);
  }
  static char* value(char* p, const std::string& s) {
    *p++ = '"';
    char* const end = escape::writeShort(p, s);
    p = end != nullptr ? end : Kernel::write(p, s);
    *p++ = '"';
    return p;
  }
  // Argument and environment lists: one call for the whole list.
  static char* value(char* p, const std::vector<std::string>& items) {
    return Kernel::writeArray(p, items);
  }
  template <class E>
  static char* value(char* p, const std::vector<E>& items) {
    char* const start = p;
    for (const E& item : items) {
      *p++ = ',';
      p = value(p, item);
    }
    return closeAggregate(start, p, '[', ']');
  }
  template <Record T>
  static char* value(char* p, const T& record) {
    char* const start = p;
    p = fields(p, record, std::make_index_sequence<coding::kFieldCount<T>>{});
    return closeAggregate(start, p, '{', '}');
  }

  template <class T, std::size_t... I>
  static char* fields(char* p, const T& record, std::index_sequence<I...>) {
    ((p = field<T, I>(p, record)), ...);
    return p;
  }

  template <class T, std::size_t I>
  static char* field(char* p, const T& record) {
    const auto& member = record.*(kRow<T, I>.member);
    constexpr auto& prefix = kKeyPrefix<T, I>;
    if constexpr (kRow<T, I>.kOptional) {
      if (!member) return p;
      std::memcpy(p, prefix.data(), prefix.size());
      return value(p + prefix.size(), *member);
    } else {
      std::memcpy(p, prefix.data(), prefix.size());
      return value(p + prefix.size(), member);
    }
  }
};

// Documents up to this bound are written into a buffer of the thread's and handed over from there:
// growing a string by the bound would zero it first, and the bound (six bytes per string byte) is
// several times the document. Larger ones, rare, are written into a string of their own, so no
// thread keeps a big buffer.
constexpr std::size_t kScratchBytes = 64 * 1024;

// One per thread, whatever the record type.
char* threadScratch() {
  thread_local const std::unique_ptr<char[]> scratch(new char[kScratchBytes]);
  return scratch.get();
}

template <class Kernel, Record T>
bool useWith(const T& record, UseJson use, void* context) {
  Sizer<Kernel> sizer;
  const std::size_t bound = sizer.value(record);
  if (!sizer.finite) return false;
  if (bound + kSlack <= kScratchBytes) {
    char* const scratch = threadScratch();
    char* const end = Writer<Kernel>::value(scratch, record);
    assert(end <= scratch + bound && "document outgrew its size bound");
    use(context, {scratch, static_cast<std::size_t>(end - scratch)});
    return true;
  }
  std::string document;
  document.resize(bound + kSlack);
  char* const end = Writer<Kernel>::value(document.data(), record);
  assert(end <= document.data() + bound && "document outgrew its size bound");
  document.resize(static_cast<std::size_t>(end - document.data()));
  use(context, document);
  return true;
}

template <class Kernel, Record T>
bool appendWith(std::string& out, const T& record) {
  return useWith<Kernel>(
      record,
      [](void* context, std::string_view document) {
        static_cast<std::string*>(context)->append(document);
      },
      &out);
}

bool useVectorKernel() {
  static const bool available = escape::Avx512::available();
  return available;
}

template <Record T>
bool appendDocument(std::string& out, const T& record) {
  return useVectorKernel() ? appendWith<escape::Avx512>(out, record)
                           : appendWith<escape::Portable>(out, record);
}

}  // namespace

#define MODEL_DEFINE_WRITER(Type)                                               \
  bool appendJson(std::string& out, const Type& record) {                       \
    return appendDocument(out, record);                                         \
  }                                                                             \
  std::optional<std::string> encode(const Type& record) {                       \
    std::string document;                                                       \
    if (!appendDocument(document, record)) return std::nullopt;                 \
    return document;                                                            \
  }                                                                             \
  bool withJson(const Type& record, UseJson use, void* context) {               \
    return useVectorKernel() ? useWith<escape::Avx512>(record, use, context)    \
                             : useWith<escape::Portable>(record, use, context); \
  }
MODEL_RECORD_TYPES(MODEL_DEFINE_WRITER)
#undef MODEL_DEFINE_WRITER

}  // namespace model

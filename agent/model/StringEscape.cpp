#include "agent/model/StringEscape.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#define MODEL_HAVE_X86 1
#endif

namespace model::escape {
namespace {

using detail::kEscapes;
using detail::writeBytes;

std::size_t extraBytes(const char* src, const char* end) {
  std::size_t extra = 0;
  for (; src < end; ++src) {
    const unsigned char size = kEscapes[static_cast<unsigned char>(*src)].size;
    extra += size == 0 ? 0 : size - 1u;
  }
  return extra;
}

#if defined(MODEL_HAVE_X86)
using detail::flaggedBytes;
#endif

}  // namespace

// Portable -------------------------------------------------------------------------------------

namespace {

inline std::size_t portableSize(std::string_view s) {
  const char* src = s.data();
  const char* const end = src + s.size();
  std::size_t extra = 0;
#if defined(MODEL_HAVE_X86)
  for (; end - src >= 16; src += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    if (_mm_movemask_epi8(flaggedBytes(v)) != 0) extra += extraBytes(src, src + 16);
  }
#endif
  return s.size() + extra + extraBytes(src, end);
}

inline char* portableWrite(char* p, std::string_view s) {
  const char* src = s.data();
  const char* const end = src + s.size();
#if defined(MODEL_HAVE_X86)
  for (; end - src >= 16; src += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    if (_mm_movemask_epi8(flaggedBytes(v)) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
      p += 16;
    } else {
      p = writeBytes(p, src, src + 16);
    }
  }
#endif
  return writeBytes(p, src, end);
}

}  // namespace

std::size_t Portable::sizeBound(std::string_view s) {
  return portableSize(s);
}

std::size_t Portable::sizeBound(const std::vector<std::string>& items) {
  std::size_t size = 2;
  for (const std::string& item : items) size += 3 + portableSize(item);
  return size;
}

char* Portable::write(char* p, std::string_view s) {
  return portableWrite(p, s);
}

char* Portable::writeArray(char* p, const std::vector<std::string>& items) {
  *p++ = '[';
  for (const std::string& item : items) {
    *p++ = '"';
    p = portableWrite(p, item);
    *p++ = '"';
    *p++ = ',';
  }
  if (!items.empty()) --p;  // the last ','
  *p++ = ']';
  return p;
}

// AVX-512 VBMI2 --------------------------------------------------------------------------------

#if defined(MODEL_HAVE_X86)
#define MODEL_AVX512_TARGET \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2,bmi2,popcnt")))

bool Avx512::available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
         __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2") &&
         __builtin_cpu_supports("popcnt");
}

namespace {

// Up to 32 bytes from src, the rest zero; masked-off bytes are never read.
MODEL_AVX512_TARGET inline __m256i loadUpTo32(const char* src, std::size_t left, __mmask32& live) {
  live = left >= 32 ? ~__mmask32{0} : _bzhi_u32(~0u, static_cast<unsigned>(left));
  return _mm256_maskz_loadu_epi8(live, src);
}

MODEL_AVX512_TARGET inline __mmask32 backslashed(__m256i v) {
  return _mm256_cmpeq_epi8_mask(v, _mm256_set1_epi8('"')) |
         _mm256_cmpeq_epi8_mask(v, _mm256_set1_epi8('\\')) |
         _mm256_cmpeq_epi8_mask(v, _mm256_set1_epi8('/'));
}

MODEL_AVX512_TARGET inline __mmask32 controls(__mmask32 live, __m256i v) {
  return _mm256_mask_cmple_epu8_mask(live, v, _mm256_set1_epi8(0x1f));
}

// Output byte 2j takes '\' (from the second table), byte 2j+1 input byte j.
alignas(64) constexpr std::array<unsigned char, 64> kPairIndex = [] {
  std::array<unsigned char, 64> index{};
  for (int j = 0; j < 32; ++j) {
    index[2 * j] = 64;
    index[2 * j + 1] = static_cast<unsigned char>(j);
  }
  return index;
}();

// Escaped size of s, exact unless s holds \b \f \n \r \t (counted as six bytes).
MODEL_AVX512_TARGET inline std::size_t avx512Size(std::string_view s) {
  std::size_t extra = 0;
  for (std::size_t i = 0; i < s.size(); i += 32) {
    __mmask32 live;
    const __m256i v = loadUpTo32(s.data() + i, s.size() - i, live);
    extra += _mm_popcnt_u32(backslashed(v)) + 5 * _mm_popcnt_u32(controls(live, v));
  }
  return s.size() + extra;
}

struct Avx512Constants {
  __m512i pairIndex;
  __m512i backslashes;
};

MODEL_AVX512_TARGET inline Avx512Constants avx512Constants() {
  return {_mm512_load_si512(kPairIndex.data()), _mm512_set1_epi8('\\')};
}

MODEL_AVX512_TARGET inline char* avx512Write(char* p, std::string_view s,
                                             const Avx512Constants& k) {
  for (std::size_t i = 0; i < s.size(); i += 32) {
    const char* const src = s.data() + i;
    const std::size_t left = s.size() - i;
    __mmask32 live;
    const __m256i v = loadUpTo32(src, left, live);
    if (controls(live, v) != 0) [[unlikely]] {
      p = writeBytes(p, src, src + (left < 32 ? left : 32));
      continue;
    }
    // Keep the backslash of pair j when byte j needs one, and byte j itself while in the string.
    const __mmask64 keep =
        _pdep_u64(backslashed(v), 0x5555555555555555ull) | _pdep_u64(live, 0xAAAAAAAAAAAAAAAAull);
    const __m512i pairs =
        _mm512_permutex2var_epi8(_mm512_castsi256_si512(v), k.pairIndex, k.backslashes);
    _mm512_storeu_si512(p, _mm512_maskz_compress_epi8(keep, pairs));
    p += _mm_popcnt_u64(keep);
  }
  return p;
}

}  // namespace

MODEL_AVX512_TARGET std::size_t Avx512::sizeBound(std::string_view s) {
  return avx512Size(s);
}

MODEL_AVX512_TARGET std::size_t Avx512::sizeBound(const std::vector<std::string>& items) {
  std::size_t size = 2;
  for (const std::string& item : items) size += 3 + avx512Size(item);
  return size;
}

MODEL_AVX512_TARGET char* Avx512::write(char* p, std::string_view s) {
  return avx512Write(p, s, avx512Constants());
}

MODEL_AVX512_TARGET char* Avx512::writeArray(char* p, const std::vector<std::string>& items) {
  const Avx512Constants k = avx512Constants();
  *p++ = '[';
  for (const std::string& item : items) {
    *p++ = '"';
    p = avx512Write(p, item, k);
    *p++ = '"';
    *p++ = ',';
  }
  if (!items.empty()) --p;  // the last ','
  *p++ = ']';
  return p;
}

#else  // not x86-64

bool Avx512::available() {
  return false;
}
std::size_t Avx512::sizeBound(std::string_view s) {
  return Portable::sizeBound(s);
}
char* Avx512::write(char* p, std::string_view s) {
  return Portable::write(p, s);
}

#endif

}  // namespace model::escape

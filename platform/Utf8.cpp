#include "platform/Utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace platform {

bool isValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  std::size_t i = 0;
  while (i < n) {
    // Paths, arguments and environments are mostly ASCII: skip it eight bytes at a time.
    while (n - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if (word & kHighBits) break;
      i += 8;
    }
    if (i == n) break;
    const unsigned char lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // Allowed range of the second byte, which is where overlong forms, surrogates and values
    // above U+10FFFF show; later bytes are plain continuations.
    std::size_t size;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0xC2) {
      return false;  // a continuation byte, or an overlong two-byte form
    } else if (lead < 0xE0) {
      size = 2;
    } else if (lead < 0xF0) {
      size = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead < 0xF5) {
      size = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (n - i < size) return false;
    if (p[i + 1] < low || p[i + 1] > high) return false;
    for (std::size_t k = 2; k < size; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += size;
  }
  return true;
}

}  // namespace platform

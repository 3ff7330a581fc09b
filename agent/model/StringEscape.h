// The inner loop of the JSON writer: escaping the bytes of one string. Two kernels do the same
// work; the writer picks the fastest one the processor supports, once per process.
//
// Escapes: '"' '\' '/' get a backslash; \b \f \n \r \t by name; other bytes below 0x20 as
// \u00xx (lower-case hex); every other byte (0x7f and all bytes >= 0x80 included) as is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

}  // namespace model::escape

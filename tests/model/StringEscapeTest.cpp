#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "agent/model/StringEscape.h"

namespace {

using namespace model::escape;

// One byte as a plain byte-by-byte escaper writes it.
std::string reference(unsigned char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '/':
      return "\\/";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    default:
      break;
  }
  if (c < 0x20) {
    constexpr char kHex[] = "0123456789abcdef";
    return std::string("\\u00") + kHex[c >> 4] + kHex[c & 0xf];
  }
  return std::string(1, static_cast<char>(c));
}

std::string reference(const std::string& s) {
  std::string out;
  for (const char c : s) out += reference(static_cast<unsigned char>(c));
  return out;
}

bool hasNamedControl(const std::string& s) {
  return s.find_first_of("\b\f\n\r\t") != std::string::npos;
}

template <class Kernel>
class StringEscapeKernel : public testing::Test {
 protected:
  void SetUp() override {
    if constexpr (std::is_same_v<Kernel, Avx512>) {
      if (!Avx512::available()) GTEST_SKIP() << "no AVX-512 VBMI2 on this processor";
    }
  }

  // Escapes s into a buffer with the kernel's slack, checking the size bound on the way.
  static std::string escaped(const std::string& s) {
    std::vector<char> buffer(6 * s.size() + kSlack);
    char* const end = Kernel::write(buffer.data(), s);
    const auto written = static_cast<std::size_t>(end - buffer.data());
    EXPECT_LE(written, Kernel::sizeBound(s));
    if (!hasNamedControl(s)) {
      EXPECT_EQ(written, Kernel::sizeBound(s));
    }
    return std::string(buffer.data(), written);
  }
};

// What the writer does with a lone string: the inline short path, else a kernel.
struct ShortThenPortable {
  static std::size_t sizeBound(std::string_view s) { return Portable::sizeBound(s); }
  static std::size_t sizeBound(const std::vector<std::string>& items) {
    return Portable::sizeBound(items);
  }
  static char* write(char* p, std::string_view s) {
    char* const end = writeShort(p, s);
    return end != nullptr ? end : Portable::write(p, s);
  }
  static char* writeArray(char* p, const std::vector<std::string>& items) {
    return Portable::writeArray(p, items);
  }
};

using Kernels = testing::Types<Portable, Avx512, ShortThenPortable>;
class KernelNames {
 public:
  template <class T>
  static std::string GetName(int) {
    if (std::is_same_v<T, Portable>) return "Portable";
    if (std::is_same_v<T, Avx512>) return "Avx512";
    return "ShortThenPortable";
  }
};
TYPED_TEST_SUITE(StringEscapeKernel, Kernels, KernelNames);

// Every byte value at every position of strings whose lengths straddle the 16- and 32-byte
// steps of the kernels and their partial tails.
TYPED_TEST(StringEscapeKernel, EscapesEveryByteAtEveryPosition) {
  const std::string filler = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-_.";
  std::vector<char> buffer(6 * filler.size() + kSlack);
  std::string input, expected;
  for (const std::size_t length : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 48u, 65u}) {
    for (int byte = 0; byte < 256; ++byte) {
      const std::string escapedByte = reference(static_cast<unsigned char>(byte));
      for (std::size_t at = 0; at < length; ++at) {
        input.assign(filler, 0, length);
        input[at] = static_cast<char>(byte);
        expected.assign(filler, 0, at);
        expected += escapedByte;
        expected.append(filler, at + 1, length - at - 1);
        char* const end = TypeParam::write(buffer.data(), input);
        const std::string_view written(buffer.data(),
                                       static_cast<std::size_t>(end - buffer.data()));
        // One comparison per case is cheap; the assertion machinery runs only on a mismatch.
        if (written != expected || written.size() > TypeParam::sizeBound(input)) {
          FAIL() << "byte " << byte << " at " << at << " of " << length << ": " << written;
        }
      }
    }
  }
}

TYPED_TEST(StringEscapeKernel, DenseAndMixedEscapes) {
  const std::vector<std::string> inputs = {
      "",
      std::string(100, '/'),
      std::string(100, '\x01'),
      std::string(70, '\n'),
      "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin:/opt/homebrew/bin",
      "\"\\/\"\\/\"\\/\"\\/\"\\/\"\\/\"\\/\"\\/\"\\/\"\\/\"\\/\"\\/",
      "caf\xc3\xa9 /\x1f\x7f\xff\x80 \xf0\x9f\x98\x80/\ttab" + std::string(40, '\0') + "end/",
  };
  for (const std::string& input : inputs) {
    EXPECT_EQ(this->escaped(input), reference(input)) << input;
  }
}

TYPED_TEST(StringEscapeKernel, WritesArrays) {
  const struct {
    std::vector<std::string> items;
    std::string written;
  } cases[] = {
      {{}, "[]"},
      {{""}, R"([""])"},
      {{"a", "/b", ""}, R"(["a","\/b",""])"},
      {{std::string(40, '/'), "x\ny"}, "[\"" + reference(std::string(40, '/')) + R"(","x\ny"])"},
  };
  for (const auto& c : cases) {
    std::vector<char> buffer(TypeParam::sizeBound(c.items) + kSlack);
    char* const end = TypeParam::writeArray(buffer.data(), c.items);
    const std::string written(buffer.data(), end);
    EXPECT_EQ(written, c.written);
    EXPECT_LE(written.size(), TypeParam::sizeBound(c.items));
  }
}

}  // namespace

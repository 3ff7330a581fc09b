// String tokens and time texts: the rules every converter builds on.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "agent/capture/Conversion.h"

namespace {

using agent::isoDateString;
using agent::optionalStringFromToken;
using agent::stringFromToken;

struct TokenCase {
  const char* name;
  std::optional<std::string> bytes;  // nullopt: null data pointer
  std::size_t length;                // bytes read from `bytes`
  std::string expected;
};

es_string_token_t tokenOf(const TokenCase& c) {
  return {c.length, c.bytes ? c.bytes->data() : nullptr};
}

TEST(StringFromToken, DecodesWellFormedUtf8AndRefusesEverythingElse) {
  using namespace std::string_literals;
  const TokenCase cases[] = {
      {"null pointer", std::nullopt, 0, "unknown"},
      {"null pointer with a length", std::nullopt, 5, "unknown"},
      {"empty", ""s, 0, ""},
      {"one byte", "/"s, 1, "/"},
      {"ascii beyond one word", "/usr/local/bin/zsh"s, 18, "/usr/local/bin/zsh"},
      {"reads exactly length bytes", "abcdef"s, 3, "abc"},
      {"bad bytes after length are not read", "ab\xff"s, 2, "ab"},
      {"embedded NUL is text", "a\0b"s, 3, "a\0b"s},
      {"two-byte form", "caf\xc3\xa9"s, 5, "caf\xc3\xa9"},
      {"three-byte form", "\xe2\x82\xac"s, 3, "\xe2\x82\xac"},
      {"four-byte form", "\xf0\x9f\x98\x80"s, 4, "\xf0\x9f\x98\x80"},
      {"last before surrogates", "\xed\x9f\xbf"s, 3, "\xed\x9f\xbf"},
      {"first after surrogates", "\xee\x80\x80"s, 3, "\xee\x80\x80"},
      {"U+10FFFF", "\xf4\x8f\xbf\xbf"s, 4, "\xf4\x8f\xbf\xbf"},
      {"lone 0xff", "\xff"s, 1, "unknown"},
      {"lone continuation byte", "\x80"s, 1, "unknown"},
      {"overlong two-byte C0", "\xc0\xaf"s, 2, "unknown"},
      {"overlong two-byte C1", "\xc1\xbf"s, 2, "unknown"},
      {"overlong three-byte", "\xe0\x9f\xbf"s, 3, "unknown"},
      {"overlong four-byte", "\xf0\x8f\xbf\xbf"s, 4, "unknown"},
      {"high surrogate", "\xed\xa0\x80"s, 3, "unknown"},
      {"low surrogate", "\xed\xbf\xbf"s, 3, "unknown"},
      {"above U+10FFFF", "\xf4\x90\x80\x80"s, 4, "unknown"},
      {"lead byte F5", "\xf5\x80\x80\x80"s, 4, "unknown"},
      {"truncated two-byte", "\xc3"s, 1, "unknown"},
      {"truncated three-byte", "\xe2\x82"s, 2, "unknown"},
      {"truncated four-byte", "\xf0\x9f\x98"s, 3, "unknown"},
      {"cut by length", "\xe2\x82\xac"s, 2, "unknown"},
      {"truncated after a word of ascii", "abcdefghij\xe2\x82"s, 12, "unknown"},
      {"bad continuation", "\xe2\x28\xa1"s, 3, "unknown"},
      {"bad last continuation", "\xf0\x9f\x98\x28"s, 4, "unknown"},
      {"bad byte right after a word of ascii", "abcdefgh\xff"s, 9, "unknown"},
  };
  for (const TokenCase& c : cases) {
    EXPECT_EQ(stringFromToken(tokenOf(c)), c.expected) << c.name;
  }
}

TEST(OptionalStringFromToken, AbsentBelowTwoBytesOtherwiseAsStringFromToken) {
  using namespace std::string_literals;
  struct Case {
    TokenCase token;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {{"empty", ""s, 0, ""}, std::nullopt},
      {{"one byte", "/"s, 1, ""}, std::nullopt},
      {{"one byte, null pointer", std::nullopt, 1, ""}, std::nullopt},
      {{"two bytes", "/a"s, 2, ""}, "/a"},
      {{"null pointer, length 2", std::nullopt, 2, ""}, "unknown"},
      {{"null pointer, length 5", std::nullopt, 5, ""}, "unknown"},
      {{"two bad bytes", "\xff\xff"s, 2, ""}, "unknown"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(optionalStringFromToken(tokenOf(c.token)), c.expected) << c.token.name;
  }
}

model::Date unixDate(double seconds) {
  return model::Date::fromUnixTime(seconds);
}

TEST(IsoDateString, WholeSecondsUtcWithTheFractionFloored) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    model::Date date;
    const char* expected;
  };
  const Case cases[] = {
      {"unix epoch", unixDate(0), "1970-01-01T00:00:00Z"},
      {"reference date", model::Date{0}, "2001-01-01T00:00:00Z"},
      {"fraction dropped", unixDate(1700000000.5), "2023-11-14T22:13:20Z"},
      {"fraction just below a second", unixDate(1700000000.999), "2023-11-14T22:13:20Z"},
      {"document example", model::Date{736257600.25}, "2024-05-01T12:00:00Z"},
      {"before the reference date floors down", model::Date{-0.5}, "2000-12-31T23:59:59Z"},
      {"a hair before the reference date", model::Date{-1e-9}, "2000-12-31T23:59:59Z"},
      {"before 1970", unixDate(-1), "1969-12-31T23:59:59Z"},
      {"leap day", unixDate(1709251199), "2024-02-29T23:59:59Z"},
      {"leap century", unixDate(951782400), "2000-02-29T00:00:00Z"},
      {"century without leap day", unixDate(-2203891201), "1900-02-28T23:59:59Z"},
      {"after it", unixDate(-2203891200), "1900-03-01T00:00:00Z"},
      {"beyond 32-bit time", unixDate(2147483648), "2038-01-19T03:14:08Z"},
      {"first second of year 0", unixDate(-62167219200), "0000-01-01T00:00:00Z"},
      {"last second of year 9999", unixDate(253402300799), "9999-12-31T23:59:59Z"},
      {"before year 0", unixDate(-62167219201), "unknown"},
      {"year 10000", unixDate(253402300800), "unknown"},
      {"NaN", model::Date{nan}, "unknown"},
      {"+inf", model::Date{inf}, "unknown"},
      {"-inf", model::Date{-inf}, "unknown"},
      {"far beyond 64-bit seconds", model::Date{1e300}, "unknown"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isoDateString(c.date), c.expected) << c.name;
  }
}

// The calendar arithmetic against the C library's, over four centuries in uneven steps.
TEST(IsoDateString, AgreesWithGmtimeFrom1800To2200) {
  const time_t first = -5364662400;  // 1800-01-01
  const time_t last = 7258118400;    // 2200-01-01
  int mismatches = 0;
  for (time_t t = first; t < last && mismatches < 5; t += 98317) {
    struct tm parts {};
    ASSERT_NE(gmtime_r(&t, &parts), nullptr);
    char expected[32];
    std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:%M:%SZ", &parts);
    const std::string actual = isoDateString(unixDate(static_cast<double>(t)));
    if (actual != expected) {
      ++mismatches;
      ADD_FAILURE() << "unix " << t << ": " << actual << " != " << expected;
    }
  }
}

}  // namespace

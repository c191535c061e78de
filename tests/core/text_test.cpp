#include "core/text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelite::core {
namespace {

using namespace std::string_view_literals;

// The expected texts below spell code points as universal character names.
static_assert(sizeof("\uFFFD") == 4, "narrow literals must be UTF-8");

constexpr std::string_view kReplacement = "\uFFFD";

std::string lossy(std::string_view in) {
  std::string out;
  append_utf8_lossy(out, in);
  return out;
}

struct LossyCase {
  const char* what;
  std::string_view input;
  std::string_view expected;
};

// Expected outputs are those of bytes.decode("utf-8", "replace").
const std::vector<LossyCase> kLossyCases = {
    {"empty input", ""sv, ""},
    {"plain ascii", "plain ascii"sv, "plain ascii"},
    {"two-byte sequence", "\xc3\xa9"sv, "\u00e9"},
    {"three-byte sequence", "\xe2\x82\xac"sv, "\u20ac"},
    {"four-byte sequence", "\xf0\x9f\x98\x80"sv, "\U0001F600"},
    {"smallest three-byte value", "\xe0\xa0\x80"sv, "\u0800"},
    {"last value below the surrogates", "\xed\x9f\xbf"sv, "\uD7FF"},
    {"largest three-byte value", "\xef\xbf\xbf"sv, "\uFFFF"},
    {"smallest four-byte value", "\xf0\x90\x80\x80"sv, "\U00010000"},
    {"largest code point", "\xf4\x8f\xbf\xbf"sv, "\U0010FFFF"},
    {"lone continuation byte", "\x80"sv, "\uFFFD"},
    {"two continuation bytes", "\xbf\x80"sv, "\uFFFD\uFFFD"},
    {"overlong two-byte C0", "\xc0\x80"sv, "\uFFFD\uFFFD"},
    {"overlong two-byte C1", "\xc1\xbf"sv, "\uFFFD\uFFFD"},
    {"overlong three-byte", "\xe0\x80\x80"sv, "\uFFFD\uFFFD\uFFFD"},
    {"overlong three-byte just below U+0800", "\xe0\x9f\xbf"sv, "\uFFFD\uFFFD\uFFFD"},
    {"encoded high surrogate", "\xed\xa0\x80"sv, "\uFFFD\uFFFD\uFFFD"},
    {"encoded low surrogate", "\xed\xbf\xbf"sv, "\uFFFD\uFFFD\uFFFD"},
    {"encoded surrogate pair", "\xed\xa0\x80\xed\xb0\x80"sv,
     "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"overlong four-byte", "\xf0\x80\x80\x80"sv, "\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"overlong four-byte just below U+10000", "\xf0\x8f\xbf\xbf"sv, "\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"code point past U+10FFFF", "\xf4\x90\x80\x80"sv, "\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"lead byte F5", "\xf5\x80\x80\x80"sv, "\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"old five-byte form", "\xf8\x88\x80\x80\x80"sv, "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},
    {"byte FE", "\xfe"sv, "\uFFFD"},
    {"byte FF", "\xff"sv, "\uFFFD"},
    {"two-byte lead at the end", "\xc2"sv, "\uFFFD"},
    {"truncated three-byte at the end", "\xe2\x82"sv, "\uFFFD"},
    {"truncated four-byte at the end", "\xf0\x9f\x98"sv, "\uFFFD"},
    {"truncated E0 sequence at the end", "\xe0\xa0"sv, "\uFFFD"},
    {"truncated F4 sequence at the end", "\xf4\x8f"sv, "\uFFFD"},
    {"two-byte lead before a letter", "\xc2z"sv, "\uFFFDz"},
    {"truncated three-byte before a letter", "\xe2\x82z"sv, "\uFFFDz"},
    {"truncated four-byte before a letter", "\xf0\x9f\x98z"sv, "\uFFFDz"},
    {"lead byte before a full sequence", "\xe2\xe2\x82\xac"sv, "\uFFFD\u20ac"},
    {"truncated four-byte before a two-byte", "\xf0\x9f\xc3\xa9"sv, "\uFFFD\u00e9"},
    {"bad byte between ascii", "a\x80z"sv, "a\uFFFDz"},
    {"embedded nul kept", "a\0b"sv, "a\0b"sv},
};

TEST(Text, DecodesEachLossyCaseLikeTheInterpreter) {
  for (const LossyCase& c : kLossyCases) {
    EXPECT_EQ(lossy(c.input), c.expected) << c.what;
  }
}

TEST(Text, LossyDecodingAppendsAfterExistingText) {
  std::string out = "kept:";
  append_utf8_lossy(out, "\xffok"sv);
  EXPECT_EQ(out, "kept:\uFFFDok");
}

TEST(Text, ReplacesABadByteAtEveryOffsetOfALongAsciiRun) {
  // Moves the bad byte across the eight-byte strides of the ASCII scan.
  for (std::size_t at = 0; at < 40; ++at) {
    std::string in(40, 'x');
    in[at] = '\xff';
    std::string expected(40, 'x');
    expected.replace(at, 1, kReplacement);
    EXPECT_EQ(lossy(in), expected) << "bad byte at " << at;
  }
}

TEST(Text, DecodesLongMixedInputsPieceByPiece) {
  std::string in;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    in += "name\xc3\xa9\xed\xa0\x80\xf0\x9f\x98\x80\xe2\x82";
    expected += "name\u00e9\uFFFD\uFFFD\uFFFD\U0001F600\uFFFD";
  }
  EXPECT_EQ(lossy(in), expected);
}

TEST(Text, LeavesLossyOutputUnchangedWhenDecodedAgain) {
  // Every output must itself be well-formed, so a second pass may not alter it.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const char pair[] = {static_cast<char>(a), static_cast<char>(b), '\xbf', '\xbf'};
      const std::string once = lossy(std::string_view(pair, sizeof pair));
      ASSERT_EQ(lossy(once), once) << "bytes " << a << ", " << b;
    }
  }
}

TEST(Text, DetectsAnyByteAboveAscii) {
  EXPECT_TRUE(is_ascii(""));
  // Every length around the short forms' bounds, with the one high byte at every place.
  for (std::size_t n = 1; n <= 40; ++n) {
    EXPECT_TRUE(is_ascii(std::string(n, '\x7f'))) << "length " << n;
    for (std::size_t at = 0; at < n; ++at) {
      std::string s(n, 'a');
      s[at] = '\x80';
      EXPECT_FALSE(is_ascii(s)) << "length " << n << ", byte at " << at;
    }
  }
}

TEST(Text, UpperCasesOnlyAsciiLettersAndAppends) {
  struct Row {
    std::string_view in, expected;
  };
  const std::vector<Row> rows = {
      {"", ""},
      {"left", "LEFT"},
      {"DeSc", "DESC"},
      {"`az{@AZ[", "`AZ{@AZ["},
      {"r\xc3\xa9sum\xc3\xa9", "R\xc3\xa9SUM\xc3\xa9"},
      {"\xff\xfe", "\xff\xfe"},
  };
  for (const Row& row : rows) {
    std::string out = "x:";
    append_ascii_upper(out, row.in);
    EXPECT_EQ(out, "x:" + std::string(row.expected)) << row.in;
  }
}

TEST(Text, ComparesFoldedWholeStringsAndSubstrings) {
  struct Row {
    std::string_view s, lower;
    bool equals, contains;
  };
  const std::vector<Row> rows = {
      {"postgres", "postgres", true, true},
      {"PostGreS", "postgres", true, true},
      {"postgres ", "postgres", false, true},
      {"xpostgres", "postgres", false, true},
      {"my_POSTGRES_db", "postgres", false, true},
      {"postgre", "postgres", false, false},
      {"", "postgres", false, false},
      {"anything", "", false, true},
      {"", "", true, true},
      {"p\xc3\xb6stgres", "postgres", false, false},
      // Neighbours of the letter ranges are not letters: a fold by setting bit 5 fails here.
      {"@", "`", false, false},
      {"[", "{", false, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(equals_ascii_folded(row.s, row.lower), row.equals) << row.s;
    EXPECT_EQ(contains_ascii_folded(row.s, row.lower), row.contains) << row.s;
  }
}

TEST(Text, WritesDecimalsAcrossTheWholeRange) {
  struct Row {
    std::string expected;
    std::string written;
  };
  auto u = [](std::uint64_t v) {
    std::string out = "=";
    append_decimal(out, v);
    return out;
  };
  auto s = [](std::int64_t v) {
    std::string out = "=";
    append_decimal(out, v);
    return out;
  };
  const std::vector<Row> rows = {
      {"=0", u(0)},
      {"=7", u(7)},
      {"=10", u(10)},
      {"=18446744073709551615", u(std::numeric_limits<std::uint64_t>::max())},
      {"=0", s(0)},
      {"=-1", s(-1)},
      {"=9223372036854775807", s(std::numeric_limits<std::int64_t>::max())},
      {"=-9223372036854775808", s(std::numeric_limits<std::int64_t>::min())},
  };
  for (const Row& row : rows) EXPECT_EQ(row.written, row.expected);

  // Every digit count, at both ends of it, into an empty small text (packed whole) and after
  // text already there.
  for (std::uint64_t p = 1, k = 0; k < 20; ++k, p *= 10) {
    for (const std::uint64_t v : {p - 1, p, p + 1, p + p / 2}) {
      SmallText fresh;
      append_decimal(fresh, v);
      EXPECT_EQ(fresh.view(), std::to_string(v));
      SmallText after("id=");
      append_decimal(after, static_cast<std::int64_t>(v / 2) * -1);
      EXPECT_EQ(after.view(), "id=" + std::to_string(static_cast<std::int64_t>(v / 2) * -1));
    }
  }
}

TEST(Text, WritesFloatsAsTheInterpreterShowsThem) {
  auto f = [](double v) {
    std::string out = "=";
    append_float_repr(out, v);
    return out;
  };
  // Each expected text is repr() of the same value.
  EXPECT_EQ(f(0.0), "=0.0");
  EXPECT_EQ(f(-0.0), "=-0.0");
  EXPECT_EQ(f(4.5), "=4.5");
  EXPECT_EQ(f(-2.0), "=-2.0");
  EXPECT_EQ(f(0.1), "=0.1");
  EXPECT_EQ(f(1.0 / 3.0), "=0.3333333333333333");
  EXPECT_EQ(f(123456.0), "=123456.0");
  EXPECT_EQ(f(1e15), "=1000000000000000.0");
  EXPECT_EQ(f(1e16), "=1e+16");
  EXPECT_EQ(f(1.5e16), "=1.5e+16");
  EXPECT_EQ(f(9999999999999998.0), "=9999999999999998.0");
  EXPECT_EQ(f(0.0001), "=0.0001");
  EXPECT_EQ(f(0.00001), "=1e-05");
  EXPECT_EQ(f(0.000123), "=0.000123");
  EXPECT_EQ(f(1.25e-7), "=1.25e-07");
  EXPECT_EQ(f(1e100), "=1e+100");
  EXPECT_EQ(f(std::numeric_limits<double>::max()), "=1.7976931348623157e+308");
  EXPECT_EQ(f(std::numeric_limits<double>::denorm_min()), "=5e-324");
  EXPECT_EQ(f(std::numeric_limits<double>::infinity()), "=inf");
  EXPECT_EQ(f(-std::numeric_limits<double>::infinity()), "=-inf");
  // Values with a few decimals, and the edges of where that shape ends.
  EXPECT_EQ(f(19.99), "=19.99");
  EXPECT_EQ(f(-0.05), "=-0.05");
  EXPECT_EQ(f(1234.567891), "=1234.567891");
  EXPECT_EQ(f(1234.5678912), "=1234.5678912");
  EXPECT_EQ(f(0.30000000000000004), "=0.30000000000000004");
  EXPECT_EQ(f(999999999999999.9), "=999999999999999.9");
  EXPECT_EQ(f(1125899906842623.5), "=1125899906842623.5");
  EXPECT_EQ(f(0.000105), "=0.000105");
  EXPECT_EQ(f(9.999999999999999e-05), "=9.999999999999999e-05");
  EXPECT_EQ(f(std::numeric_limits<double>::quiet_NaN()), "=nan");
  EXPECT_EQ(f(-std::numeric_limits<double>::quiet_NaN()), "=nan");
}

}  // namespace
}  // namespace kestrelite::core

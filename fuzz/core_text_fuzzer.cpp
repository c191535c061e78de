// Fuzzes the core's text routines against plain reference versions written for clarity, not
// speed: lenient UTF-8 decoding, integer and float text, ASCII case folding and SmallText.
// Any difference aborts with both texts printed.

#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "core/small_text.hpp"
#include "core/text.hpp"

namespace core = kestrelite::core;

namespace {

[[noreturn]] void mismatch(const char* what, std::string_view got, std::string_view want) {
  std::fprintf(stderr, "%s: got [%.*s] (%zu bytes), want [%.*s] (%zu bytes)\n", what,
               static_cast<int>(got.size()), got.data(), got.size(), static_cast<int>(want.size()),
               want.data(), want.size());
  std::abort();
}

void expect_equal(const char* what, std::string_view got, std::string_view want) {
  if (got != want) mismatch(what, got, want);
}

void expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
  }
}

/// Lenient UTF-8 decoding one byte at a time: a well-formed sequence is copied, and each
/// maximal prefix of a sequence that cannot be completed becomes one U+FFFD.
std::string reference_lossy(std::string_view in) {
  std::string out;
  std::size_t i = 0;
  while (i < in.size()) {
    const auto lead = static_cast<unsigned char>(in[i]);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    std::size_t trail;
    unsigned lo = 0x80, hi = 0xBF;  // the range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      trail = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      trail = 2;
      if (lead == 0xE0) lo = 0xA0;  // overlong
      if (lead == 0xED) hi = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      trail = 3;
      if (lead == 0xF0) lo = 0x90;  // overlong
      if (lead == 0xF4) hi = 0x8F;  // past U+10FFFF
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    std::size_t k = 0;
    for (; k < trail && j < in.size(); ++k, ++j) {
      const auto c = static_cast<unsigned char>(in[j]);
      if (c < (k == 0 ? lo : 0x80) || c > (k == 0 ? hi : 0xBF)) break;
    }
    if (k == trail) {
      out.append(in.substr(i, trail + 1));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i = j;
  }
  return out;
}

void check_lossy(std::string_view in) {
  const std::string want = reference_lossy(in);
  std::string got = "prefix:";
  core::append_utf8_lossy(got, in);
  expect_equal("append_utf8_lossy(std::string)", std::string_view(got).substr(7), want);
  core::SmallText small;
  small.append("x", 1);
  core::append_utf8_lossy(small, in);
  expect_equal("append_utf8_lossy(SmallText)", small.view().substr(1), want);
  // Decoded text is well-formed: decoding it again changes nothing.
  expect_equal("append_utf8_lossy is idempotent", reference_lossy(want), want);
}

template <class Int>
std::string reference_decimal(Int v) {
  char buf[32];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  expect(ec == std::errc{}, "std::to_chars(int) failed");
  return std::string(buf, end);
}

void check_decimal(std::uint64_t bits) {
  const auto sv = static_cast<std::int64_t>(bits);
  std::string got;
  core::append_decimal(got, bits);
  expect_equal("append_decimal(uint64)", got, reference_decimal(bits));
  got.clear();
  core::append_decimal(got, sv);
  expect_equal("append_decimal(int64)", got, reference_decimal(sv));
  core::SmallText small;
  core::append_decimal(small, sv);
  core::append_decimal(small, bits);
  expect_equal("append_decimal(SmallText)", small.view(),
               reference_decimal(sv) + reference_decimal(bits));
}

/// The interpreter's repr() of a float, from the shortest round-trip digits that the
/// standard library gives in scientific form.
std::string reference_repr(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  expect(ec == std::errc{}, "std::to_chars(double) failed");
  const std::string_view sci(buf, static_cast<std::size_t>(end - buf));
  std::string out;
  std::size_t pos = 0;
  if (sci[0] == '-') {
    out += '-';
    pos = 1;
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (std::size_t i = pos; i < e; ++i)
    if (sci[i] != '.') digits += sci[i];
  const int exponent = std::atoi(std::string(sci.substr(e + 1)).c_str());
  if (exponent < -4 || exponent >= 16) {
    out.append(sci.substr(pos));  // "d.ddde+XX": already the interpreter's form
    return out;
  }
  const int point = exponent + 1;  // digits before the decimal point
  const auto n = static_cast<int>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point < n) {
    out += digits.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(point));
  } else {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
    out += ".0";
  }
  return out;
}

void check_float(double v) {
  std::string got;
  core::append_float_repr(got, v);
  std::string want = reference_repr(v);
  if (std::isnan(v)) {
    expect(got == "nan" || got == "-nan", "append_float_repr(nan) is not nan");
    return;
  }
  expect_equal("append_float_repr", got, want);
  core::SmallText small;
  core::append_float_repr(small, v);
  expect_equal("append_float_repr(SmallText)", small.view(), want);
  const double back = std::strtod(got.c_str(), nullptr);
  expect(std::memcmp(&back, &v, sizeof v) == 0, "append_float_repr does not read back");
}

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
char upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

void check_ascii(FuzzedDataProvider& in) {
  const std::string s = in.ConsumeRandomLengthString(256);
  bool ascii = true;
  for (const char c : s) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  expect(core::is_ascii(s) == ascii, "is_ascii");

  std::string got = "ab";
  core::append_ascii_upper(got, s);
  std::string want = "ab";
  for (const char c : s) want += upper_ascii(c);
  expect_equal("append_ascii_upper", got, want);

  // The folded comparisons take a needle made only of lower-case ASCII.
  std::string folded;
  for (const char c : s) folded += lower_ascii(c);
  std::string needle;
  if (in.ConsumeBool() && !s.empty()) {
    const std::size_t from = in.ConsumeIntegralInRange<std::size_t>(0, s.size() - 1);
    const std::size_t len = in.ConsumeIntegralInRange<std::size_t>(0, s.size() - from);
    needle = folded.substr(from, len);
  } else {
    needle = in.ConsumeRandomLengthString(12);
  }
  for (char& c : needle) {
    c = lower_ascii(static_cast<char>(static_cast<unsigned char>(c) & 0x7F));
  }
  expect(core::equals_ascii_folded(s, needle) == (folded == needle), "equals_ascii_folded");
  expect(core::contains_ascii_folded(s, needle) == (folded.find(needle) != std::string::npos),
         "contains_ascii_folded");
}

/// SmallText against std::string, over a run of edits, including edits whose source is a view
/// of the text itself.
void check_small_text(FuzzedDataProvider& in) {
  core::SmallText text;
  std::string model;
  bool absent = false;
  core::SmallText other;
  std::string other_model;
  bool other_absent = false;
  while (in.remaining_bytes() > 0) {
    const std::string piece = in.ConsumeRandomLengthString(40);
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
      case 0:
        text.assign(piece);
        model = piece;
        absent = false;
        break;
      case 1:
        text.append(piece);
        model += piece;
        absent = false;
        break;
      case 2: {  // a part of the text itself
        const std::size_t from = in.ConsumeIntegralInRange<std::size_t>(0, model.size());
        const std::size_t len = in.ConsumeIntegralInRange<std::size_t>(0, model.size() - from);
        if (in.ConsumeBool()) {
          text.assign(text.view().substr(from, len));
          model = model.substr(from, len);
          absent = false;
        } else {
          text.append(text.view().substr(from, len));
          model += model.substr(from, len);
          absent = false;
        }
        break;
      }
      case 3: {
        const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 20);
        const char c = in.ConsumeIntegral<char>();
        text.append(count, c);
        model.append(count, c);
        if (count > 0) absent = false;
        break;
      }
      case 4:
        text.clear();
        model.clear();
        absent = false;
        break;
      case 5:
        text.make_absent();
        model.clear();
        absent = true;
        break;
      case 6:
        text.swap(other);
        std::swap(model, other_model);
        std::swap(absent, other_absent);
        break;
      case 7: {
        core::SmallText moved(std::move(text));
        text = std::move(moved);
        break;
      }
      case 8:
        other.assign(piece);
        other_model = piece;
        other_absent = false;
        break;
      default:
        text += piece;
        model += piece;
        absent = false;
        break;
    }
    // Writing bytes (even none) makes an absent text an ordinary one; appending a run of
    // zero characters writes nothing.
    expect(text.is_absent() == absent, "SmallText::is_absent");
    expect(other.is_absent() == other_absent, "SmallText::is_absent of the other text");
    expect_equal("SmallText::view", text.view(), model);
    expect(text.size() == model.size(), "SmallText::size");
    if (!absent && !other_absent) {
      expect((text == other) == (model == other_model), "SmallText == SmallText");
      expect((text == std::string_view(other_model)) == (model == other_model),
             "SmallText == string_view");
    } else if (absent != other_absent) {
      expect(!(text == other) && !(other == text), "an absent text equals a text");
    }
    expect((text == std::string_view(model)) == !absent, "SmallText == its own bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      check_lossy(in.ConsumeRemainingBytesAsString());
      break;
    case 1:
      check_decimal(in.ConsumeIntegral<std::uint64_t>());
      break;
    case 2: {
      std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
      double v;
      std::memcpy(&v, &bits, sizeof v);
      check_float(v);
      break;
    }
    case 3: {
      // Prices and measures: few decimals, the routine's short path and its edges.
      const auto units = in.ConsumeIntegralInRange<std::uint64_t>(0, std::uint64_t{1} << 54);
      const int places = in.ConsumeIntegralInRange<int>(0, 9);
      const double v = static_cast<double>(units) / std::pow(10.0, places);
      check_float(in.ConsumeBool() ? -v : v);
      break;
    }
    case 4:
      check_ascii(in);
      break;
    default:
      check_small_text(in);
      break;
  }
  return 0;
}

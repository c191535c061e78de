#include "core/text.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include <dragonbox/dragonbox.h>

namespace kestrelite::core {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

/// The position of the first byte at or after `i` that is not ASCII, or `n`.
std::size_t skip_ascii(const unsigned char* p, std::size_t i, std::size_t n) noexcept {
  // Eight bytes at a time while the text is plain ASCII, which is the common case for names.
  while (n - i >= sizeof(std::uint64_t)) {
    std::uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    if ((word & kHighBits) != 0) break;
    i += sizeof word;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

/// True for a UTF-8 continuation byte (10xxxxxx).
constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

/// One sequence starting at a non-ASCII byte: its byte count and whether it is well-formed.
/// When it is not, `length` is that of the maximal ill-formed subpart, which is what a single
/// U+FFFD replaces.
struct Sequence {
  std::size_t length;
  bool valid;
};

/// Reads the sequence at `p` (whose first byte is not ASCII), with `avail` bytes left.
Sequence scan_sequence(const unsigned char* p, std::size_t avail) noexcept {
  const unsigned char lead = p[0];
  std::size_t need;
  // The accepted range of the second byte excludes overlongs (E0, F0), encoded surrogates
  // (ED) and values past U+10FFFF (F4); lone continuations, C0, C1 and F5..FF never start one.
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  if (avail < 2 || p[1] < lo || p[1] > hi) return {1, false};
  for (std::size_t k = 2; k < need; ++k) {
    if (k >= avail || !is_continuation(p[k])) return {k, false};
  }
  return {need, true};
}

constexpr char to_lower_ascii(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool is_ascii_long(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  return skip_ascii(p, 0, s.size()) == s.size();
}

void append_ascii_upper(std::string& out, std::string_view s) {
  const std::size_t start = out.size();
  out.append(s);
  for (std::size_t i = start; i < out.size(); ++i) {
    const char c = out[i];
    if (c >= 'a' && c <= 'z') out[i] = static_cast<char>(c - 'a' + 'A');
  }
}

bool equals_ascii_folded(std::string_view s, std::string_view lower) noexcept {
  if (s.size() != lower.size()) return false;
  // Dialect names are mostly written in lower case already: one compare answers for them.
  if (s == lower) return true;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (to_lower_ascii(s[i]) != lower[i]) return false;
  }
  return true;
}

bool contains_ascii_folded(std::string_view s, std::string_view lower) noexcept {
  if (lower.size() > s.size()) return false;
  // The common dialect texts start with the name itself, written in lower case.
  if (s.substr(0, lower.size()) == lower) return true;
  const std::size_t last = s.size() - lower.size();
  for (std::size_t pos = 0; pos <= last; ++pos) {
    if (equals_ascii_folded(s.substr(pos, lower.size()), lower)) return true;
  }
  return false;
}

template <class Out>
void append_utf8_lossy(Out& out, std::string_view in) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  // Bytes from `run` up to `i` are well-formed and not yet copied; they go out in one append
  // when an ill-formed subpart interrupts them or the input ends.
  std::size_t run = 0;
  std::size_t i = 0;
  while (true) {
    i = skip_ascii(p, i, n);
    if (i == n) break;
    const Sequence seq = scan_sequence(p + i, n - i);
    if (!seq.valid) {
      out.append(in.data() + run, i - run);
      out.append(kReplacement);
      run = i + seq.length;
    }
    i += seq.length;
  }
  out.append(in.data() + run, n - run);
}

template <class Out>
void append_decimal(Out& out, std::uint64_t v) {
  char buf[std::numeric_limits<std::uint64_t>::digits10 + 1];
  char* const end = buf + sizeof buf;
  const char* start = digits_ending_at(end, v);
  out.append(start, static_cast<std::size_t>(end - start));
}

template <class Out>
void append_decimal(Out& out, std::int64_t v) {
  char buf[std::numeric_limits<std::int64_t>::digits10 + 2];
  char* const end = buf + sizeof buf;
  // The magnitude in unsigned arithmetic, which holds that of the smallest value too.
  const std::uint64_t magnitude =
      v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  char* start = digits_ending_at(end, magnitude);
  if (v < 0) *--start = '-';
  out.append(start, static_cast<std::size_t>(end - start));
}

namespace {

/// Writes a non-negative `v` that has at most six decimals, in positional form; false, with
/// nothing written, for any other value.
///
/// Prices, rates and measures mostly look like this, and their shortest digits come out of
/// one multiplication: the first k for which v * 10^k rounds to an integer d with
/// d / 10^k == v gives the digits of d. While v * 10^k stays below 2^50 the product is within
/// 1/16 of its exact value and at most one k-decimal number rounds to v, so d is that number,
/// and no shorter one exists, or an earlier k would have found it.
template <class Out>
bool append_short_decimal(Out& out, double v) {
  if (v == 0.0) {
    out += "0.0";
    return true;
  }
  // repr writes 1e-05 and below in exponent form.
  if (!(v >= 1e-4 && v < 1e15)) return false;
  double scale = 1.0;  // 10^k, exact
  for (int k = 0; k <= 6; ++k, scale *= 10.0) {
    const double scaled = v * scale;
    if (scaled >= 0x1p50) return false;
    const double d = std::nearbyint(scaled);
    if (d / scale != v) continue;
    char digits[std::numeric_limits<std::uint64_t>::digits10 + 1];
    char* const end = digits + sizeof digits;
    const char* const start = digits_ending_at(end, static_cast<std::uint64_t>(d));
    const std::string_view text(start, static_cast<std::size_t>(end - start));
    const auto places = static_cast<std::size_t>(k);
    if (places == 0) {
      out.append(text);
      out += ".0";
    } else if (text.size() > places) {
      out.append(text.substr(0, text.size() - places));
      out += '.';
      out.append(text.substr(text.size() - places));
    } else {
      out += "0.";
      out.append(places - text.size(), '0');
      out.append(text);
    }
    return true;
  }
  return false;
}

}  // namespace

template <class Out>
void append_float_repr(Out& out, double v) {
  if (std::isnan(v)) {
    out += "nan";
    return;
  }
  if (std::signbit(v)) out += '-';
  v = std::fabs(v);
  if (std::isinf(v)) {
    out += "inf";
    return;
  }
  if (append_short_decimal(out, v)) return;
  // The shortest digits that read back as `v` (of two such, the nearer to it), as an integer
  // d and a power: v is d * 10^power.
  const auto decimal = jkj::dragonbox::to_decimal(v, jkj::dragonbox::policy::sign::ignore);
  char buf[std::numeric_limits<std::uint64_t>::digits10 + 1];
  char* const buf_end = buf + sizeof buf;
  const char* const first = digits_ending_at(buf_end, decimal.significand);
  const std::string_view d(first, static_cast<std::size_t>(buf_end - first));
  const std::size_t n = d.size();
  const int exponent = decimal.exponent + static_cast<int>(n) - 1;  // of the first digit
  if (exponent < -4 || exponent >= 16) {
    out += d[0];
    if (n > 1) {
      out += '.';
      out.append(d.substr(1));
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out += '0';
    append_decimal(out, static_cast<std::int64_t>(magnitude));
    return;
  }
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(d);
  } else if (static_cast<std::size_t>(point) < n) {
    out.append(d.substr(0, static_cast<std::size_t>(point)));
    out += '.';
    out.append(d.substr(static_cast<std::size_t>(point)));
  } else {
    out.append(d);
    out.append(static_cast<std::size_t>(point) - n, '0');
    out += ".0";
  }
}

#define KESTRELITE_TEXT_OUTPUT(Out)                            \
  template void append_utf8_lossy(Out&, std::string_view);     \
  template void append_decimal(Out&, std::uint64_t);           \
  template void append_decimal(Out&, std::int64_t);            \
  template void append_float_repr(Out&, double);
KESTRELITE_TEXT_OUTPUT(std::string)
KESTRELITE_TEXT_OUTPUT(SmallText)
#undef KESTRELITE_TEXT_OUTPUT

}  // namespace kestrelite::core

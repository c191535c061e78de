#pragma once
// UTF-8, case and number helpers shared by the statement builders, the tracker and the key sets.

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/small_text.hpp"

namespace kestrelite::core {

/// The decimal digits of 0 to 99, two by two.
inline constexpr auto kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

/// Writes the digits of `v` so that they end at `end` and returns where they start: two
/// digits a step from a table of pairs, so the ids, counts and placeholder numbers of a
/// statement or row take a step or three.
inline char* digits_ending_at(char* end, std::uint64_t v) noexcept {
  while (v >= 100) {
    const std::uint64_t pair = v % 100;
    v /= 100;
    end -= 2;
    std::memcpy(end, kDigitPairs.data() + 2 * pair, 2);
  }
  if (v >= 10) {
    end -= 2;
    std::memcpy(end, kDigitPairs.data() + 2 * v, 2);
  } else {
    *--end = static_cast<char>('0' + v);
  }
  return end;
}

/// is_ascii for text longer than 16 bytes.
bool is_ascii_long(std::string_view s) noexcept;

/// True when every byte of `s` is below 0x80. Keywords and names are short: two overlapping
/// loads answer for them before a loop would have started.
inline bool is_ascii(std::string_view s) noexcept {
  const char* p = s.data();
  const std::size_t n = s.size();
  if (n > 16) [[unlikely]] return is_ascii_long(s);
  if (n >= 8) {
    std::uint64_t head, tail;
    std::memcpy(&head, p, 8);
    std::memcpy(&tail, p + n - 8, 8);
    return ((head | tail) & 0x8080808080808080ULL) == 0;
  }
  if (n >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    return ((head | tail) & 0x80808080U) == 0;
  }
  if (n == 0) return true;
  return ((static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[n / 2]) |
           static_cast<unsigned char>(p[n - 1])) & 0x80U) == 0;
}

/// Appends `s` with ASCII a-z mapped to A-Z; every other byte is copied unchanged.
/// Callers upper-case text outside ASCII elsewhere (the interpreter's own mapping) before
/// handing it here, so applying this on top is a no-op for such text.
void append_ascii_upper(std::string& out, std::string_view s);

/// True when `s`, with ASCII letters folded to lower case, equals `lower` (which is lower-case
/// ASCII). Folding only ASCII is exact for the dialect names: no character outside ASCII
/// lower-cases to a string made of the letters they use.
bool equals_ascii_folded(std::string_view s, std::string_view lower) noexcept;

/// True when `s`, folded as above, contains `lower` anywhere.
bool contains_ascii_folded(std::string_view s, std::string_view lower) noexcept;

/// Appends `in` decoded leniently: every maximal ill-formed subsequence (in practice every byte
/// that does not belong to a well-formed UTF-8 sequence) becomes U+FFFD, so a lone surrogate
/// encoded as three bytes becomes three replacement characters.
template <class Out>
void append_utf8_lossy(Out& out, std::string_view in);

/// Appends the plain decimal digits of `v` (no sign, no leading zeros).
template <class Out>
void append_decimal(Out& out, std::uint64_t v);

/// Appends `v` in decimal, with a leading '-' when negative.
template <class Out>
void append_decimal(Out& out, std::int64_t v);

/// Appends the interpreter's repr() of a float: the shortest digits that read back as `v`, in
/// positional form when the decimal exponent is from -4 to 15 (with ".0" when there is no
/// fraction) and as "d.ddde+XX" otherwise; "inf", "-inf" and "nan" (of either sign).
template <class Out>
void append_float_repr(Out& out, double v);

// The number and text helpers write into a std::string or a SmallText.
#define KESTRELITE_TEXT_OUTPUT(Out)                                   \
  extern template void append_utf8_lossy(Out&, std::string_view);     \
  extern template void append_decimal(Out&, std::uint64_t);           \
  extern template void append_decimal(Out&, std::int64_t);            \
  extern template void append_float_repr(Out&, double);
KESTRELITE_TEXT_OUTPUT(std::string)
KESTRELITE_TEXT_OUTPUT(SmallText)
#undef KESTRELITE_TEXT_OUTPUT

}  // namespace kestrelite::core

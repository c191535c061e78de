#pragma once
// Writing statements whose length is known before the first byte: the buffer is sized once
// and every piece is copied in without a capacity check or a call into the C library.

#include <cstddef>
#include <cstring>
#include <string_view>

namespace kestrelite::core {

/// Copies `n` bytes between one power of two `W` and 2W with two overlapping moves.
template <std::size_t W>
inline void copy_two_moves(char* dst, const char* src, std::size_t n) noexcept {
  // Both loads come first: the moves overlap when n < 2 * W.
  char head[W], tail[W];
  std::memcpy(head, src, W);
  std::memcpy(tail, src + n - W, W);
  std::memcpy(dst, head, W);
  std::memcpy(dst + n - W, tail, W);
}

/// Copies a short name without a call into the C library: names and keywords are mostly a
/// few bytes, where the call costs more than the copy.
inline void copy_short(char* dst, const char* src, std::size_t n) noexcept {
  if (n > 32) {
    std::memcpy(dst, src, n);
  } else if (n >= 16) {
    copy_two_moves<16>(dst, src, n);
  } else if (n >= 8) {
    copy_two_moves<8>(dst, src, n);
  } else if (n >= 4) {
    copy_two_moves<4>(dst, src, n);
  } else if (n > 0) {
    const char a = src[0], b = src[n / 2], c = src[n - 1];
    dst[0] = a;
    dst[n / 2] = b;
    dst[n - 1] = c;
  }
}

/// Writes into a buffer sized exactly beforehand.
class Writer {
 public:
  explicit Writer(char* p) noexcept : p_(p) {}
  void put(std::string_view s) noexcept {
    copy_short(p_, s.data(), s.size());
    p_ += s.size();
  }
  void put(char c) noexcept { *p_++ = c; }
  char* end() const noexcept { return p_; }

 protected:
  char* p_;
};

}  // namespace kestrelite::core

#pragma once
// Owned text in 16 bytes: up to 15 bytes live inside the object, longer text in one heap block.
// Field names and the texts of row values are mostly that short, so a tracker field keeps its
// name and both of its texts in 48 bytes where three std::strings take 96, and a row of a few
// fields fits in a few cache lines. Inline bytes past the end are kept zero, so two inline
// texts compare as two pairs of words.

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace kestrelite::core {

class SmallText {
 public:
  static constexpr std::size_t kInline = 15;

  SmallText() noexcept = default;
  explicit SmallText(std::string_view s) { assign(s); }

  /// A text that is not there (an optional text in the same 16 bytes): it reads as empty, is
  /// unequal to every text, and becomes an ordinary text when it is written to.
  static SmallText absent() noexcept {
    SmallText t;
    t.w_[1] = kAbsent;
    return t;
  }
  bool is_absent() const noexcept { return w_[1] == kAbsent; }
  /// Frees the text and leaves it absent.
  void make_absent() noexcept {
    release();
    w_[0] = 0;
    w_[1] = kAbsent;
  }
  SmallText(const SmallText&) = delete;
  SmallText& operator=(const SmallText&) = delete;
  SmallText(SmallText&& o) noexcept : w_{o.w_[0], o.w_[1]} { o.w_[0] = o.w_[1] = 0; }
  SmallText& operator=(SmallText&& o) noexcept {
    if (this != &o) {
      release();
      w_[0] = std::exchange(o.w_[0], 0);
      w_[1] = std::exchange(o.w_[1], 0);
    }
    return *this;
  }
  ~SmallText() { release(); }

  void swap(SmallText& o) noexcept {
    std::swap(w_[0], o.w_[0]);
    std::swap(w_[1], o.w_[1]);
  }

  std::size_t size() const noexcept {
    return on_heap() ? static_cast<std::size_t>(w_[1] & kSizeMask)
                     : static_cast<std::size_t>((w_[1] >> 56) & kInlineSizeBits);
  }
  bool empty() const noexcept { return size() == 0; }
  const char* data() const noexcept { return on_heap() ? heap_text() : inline_text(); }
  std::string_view view() const noexcept { return {data(), size()}; }

  /// Empties the text; a heap block is kept for the next text.
  void clear() noexcept {
    if (on_heap()) {
      w_[1] = kHeapTag;
    } else {
      w_[0] = w_[1] = 0;
    }
  }

  /// Replaces the text with `s` (which may be a view of this text), reusing a heap block that
  /// is large enough.
  void assign(std::string_view s) {
    if (!on_heap() && s.size() <= kInline) {
      pack(s.data(), s.size(), w_);
      return;
    }
    if (!on_heap() || s.size() > capacity()) {
      move_to_block(s.size(), s, {});
      return;
    }
    std::memmove(heap_text(), s.data(), s.size());
    w_[1] = kHeapTag | s.size();
  }

  void append(const char* p, std::size_t n) {
    const std::size_t old = size();
    if (!on_heap() && n <= kInline - old) {
      if (old == 0) {
        // The first bytes of an inline text (a number's digits, mostly): packed in registers.
        pack(p, n, w_);
        return;
      }
      std::memmove(inline_text() + old, p, n);
      // The length byte (an absent text's mark cleared); the new bytes stay.
      w_[1] = (w_[1] & ~kAbsent) + (static_cast<std::uint64_t>(n) << 56);
      return;
    }
    if (!on_heap() || old + n > capacity()) {
      const std::size_t want = on_heap() ? capacity() * 2 : 2 * kInline + 2;
      move_to_block(want < old + n ? old + n : want, view(), {p, n});
      return;
    }
    std::memmove(heap_text() + old, p, n);
    w_[1] = kHeapTag | (old + n);
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void append(std::size_t count, char c) {
    for (std::size_t i = 0; i < count; ++i) append(&c, 1);
  }
  SmallText& operator+=(std::string_view s) {
    append(s.data(), s.size());
    return *this;
  }
  SmallText& operator+=(char c) {
    append(&c, 1);
    return *this;
  }

  friend bool operator==(const SmallText& a, const SmallText& b) noexcept {
    if (!a.on_heap() && !b.on_heap()) return a.w_[0] == b.w_[0] && a.w_[1] == b.w_[1];
    // One is on the heap, so not absent; an absent other reads as empty but is no text.
    if (a.is_absent() || b.is_absent()) return false;
    return a.view() == b.view();
  }
  friend bool operator==(const SmallText& a, std::string_view b) noexcept {
    if (b.size() > kInline || a.on_heap()) return a.view() == b;
    if ((a.w_[1] >> 56) != b.size()) return false;  // an absent text fails here
    std::uint64_t w[2];
    pack(b.data(), b.size(), w);
    return a.w_[0] == w[0] && a.w_[1] == w[1];
  }

 private:
  static_assert(std::endian::native == std::endian::little,
                "the length byte is the last byte of the object");
  // Inline: the text in bytes 0-14 and its length in byte 15. Heap: w_[0] points at a block
  // (its capacity, then the text) and w_[1] holds the size below kHeapTag.
  static constexpr std::uint64_t kHeapTag = std::uint64_t{1} << 63;
  static constexpr std::uint64_t kSizeMask = (std::uint64_t{1} << 56) - 1;
  // An absent text: no bytes, no heap block, and this bit in the length byte.
  static constexpr std::uint64_t kAbsent = std::uint64_t{0x40} << 56;
  static constexpr std::uint64_t kInlineSizeBits = 0x0F;

  bool on_heap() const noexcept { return (w_[1] & kHeapTag) != 0; }
  char* inline_text() noexcept { return reinterpret_cast<char*>(w_); }
  const char* inline_text() const noexcept { return reinterpret_cast<const char*>(w_); }
  std::size_t* block() const noexcept { return reinterpret_cast<std::size_t*>(w_[0]); }
  char* heap_text() const noexcept { return reinterpret_cast<char*>(block() + 1); }
  std::size_t capacity() const noexcept { return *block(); }

  /// Packs `n` <= kInline bytes as an inline text into `out`; `p` may point into `out`. The
  /// words are put together in registers from overlapping loads of fixed width, with no call,
  /// no byte loop and no partial store to read back.
  static void pack(const char* p, std::size_t n, std::uint64_t (&out)[2]) noexcept {
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    if (n >= 8) {
      lo = load<std::uint64_t>(p);
      // The last eight bytes, shifted so that the ones past the first eight start at byte 0.
      if (n > 8) hi = load<std::uint64_t>(p + n - 8) >> (8 * (16 - n));
    } else if (n >= 4) {
      lo = load<std::uint32_t>(p) |
           (std::uint64_t{load<std::uint32_t>(p + n - 4)} << (8 * (n - 4)));
    } else if (n > 0) {
      lo = std::uint64_t{static_cast<unsigned char>(p[0])} |
           (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << (8 * (n / 2))) |
           (std::uint64_t{static_cast<unsigned char>(p[n - 1])} << (8 * (n - 1)));
    }
    out[0] = lo;
    out[1] = hi | (static_cast<std::uint64_t>(n) << 56);
  }

  template <class Word>
  static Word load(const char* p) noexcept {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }

  /// Replaces the text with `head` then `tail` in a new block of `cap` bytes. Either may
  /// point into this text: both are copied before the old text goes. Kept out of line: the
  /// appends and assigns that fit are the common case.
  [[gnu::noinline]] void move_to_block(std::size_t cap, std::string_view head,
                                       std::string_view tail) {
    SmallText fresh;
    fresh.allocate(cap);
    std::memcpy(fresh.heap_text(), head.data(), head.size());
    if (!tail.empty()) std::memcpy(fresh.heap_text() + head.size(), tail.data(), tail.size());
    fresh.w_[1] = kHeapTag | (head.size() + tail.size());
    swap(fresh);
  }

  /// Gives an inline (empty) text a block for `cap` bytes.
  void allocate(std::size_t cap) {
    if (cap > kSizeMask) throw std::bad_alloc();
    auto* b = static_cast<std::size_t*>(::operator new(sizeof(std::size_t) + cap));
    *b = cap;
    w_[0] = reinterpret_cast<std::uintptr_t>(b);
    w_[1] = kHeapTag;
  }

  void release() noexcept {
    if (on_heap()) ::operator delete(block());
  }

  std::uint64_t w_[2] = {0, 0};
};

}  // namespace kestrelite::core

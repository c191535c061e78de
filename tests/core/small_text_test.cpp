#include "core/small_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kestrelite::core {
namespace {

/// `n` distinct, non-zero bytes, so a byte dropped, doubled or moved by the packing shows.
std::string sample(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('A' + i % 50);
  return s;
}

TEST(SmallText, EveryLengthReadsBackAndComparesAcrossTheInlineLimit) {
  for (std::size_t n = 0; n <= 40; ++n) {
    const std::string s = sample(n);
    SmallText assigned(s);
    SmallText appended;
    for (char c : s) appended += c;
    EXPECT_EQ(assigned.view(), s) << n;
    EXPECT_EQ(appended.view(), s) << n;
    EXPECT_TRUE(assigned == appended) << n;
    EXPECT_TRUE(assigned == std::string_view(s)) << n;
    // One byte changed at each place, or one byte fewer, is another text.
    for (std::size_t i = 0; i < n; ++i) {
      std::string other = s;
      other[i] = '#';
      EXPECT_FALSE(assigned == std::string_view(other)) << n << " at " << i;
      EXPECT_FALSE(assigned == SmallText(other)) << n << " at " << i;
    }
    if (n > 0) {
      EXPECT_FALSE(assigned == std::string_view(s).substr(1)) << n;
      EXPECT_FALSE(assigned == SmallText(std::string_view(s).substr(0, n - 1))) << n;
    }
  }
}

TEST(SmallText, ReadsOnlyTheBytesItIsGiven) {
  // The bytes right after each view differ from its own, so reading past the end shows.
  const std::string buffer = sample(40);
  for (std::size_t n = 0; n <= SmallText::kInline; ++n) {
    const std::string_view part(buffer.data() + 3, n);
    SmallText t(part);
    EXPECT_EQ(t.view(), part);
    EXPECT_TRUE(t == SmallText(std::string(part)));
  }
}

TEST(SmallText, AClearedHeapTextKeepsItsBlockAndStillEqualsInlineText) {
  SmallText t(sample(30));
  const char* block = t.data();
  t.clear();
  EXPECT_TRUE(t.empty());
  EXPECT_TRUE(t == SmallText());
  t.append("short");
  EXPECT_EQ(t.data(), block);  // reused, not reallocated
  EXPECT_TRUE(t == SmallText("short"));
  EXPECT_TRUE(SmallText("short") == t);
  EXPECT_TRUE(t == std::string_view("short"));
  EXPECT_FALSE(t == SmallText("shore"));
  t.assign(sample(30));
  EXPECT_EQ(t.data(), block);
  t.assign(sample(31));  // larger than the block: a new one
  EXPECT_EQ(t.view(), sample(31));
}

TEST(SmallText, AssignAndAppendMayReadFromTheTextItself) {
  for (std::size_t n : {3u, 7u, 8u, 15u, 16u, 40u}) {
    SmallText t(sample(n));
    t.append(t.view());  // doubles, crossing the inline limit for some lengths
    EXPECT_EQ(t.view(), sample(n) + sample(n)) << n;
    t.assign(t.view().substr(1, n));
    EXPECT_EQ(t.view(), (sample(n) + sample(n)).substr(1, n)) << n;
  }
}

TEST(SmallText, MovesAndSwapsHandTheTextOver) {
  SmallText a(sample(20));
  SmallText b("xy");
  a.swap(b);
  EXPECT_EQ(a.view(), "xy");
  EXPECT_EQ(b.view(), sample(20));
  SmallText c(std::move(b));
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(c.view(), sample(20));
  c = std::move(a);
  EXPECT_EQ(c.view(), "xy");
  EXPECT_TRUE(a.empty());
  a.append(5, '0');
  EXPECT_EQ(a.view(), "00000");
}

TEST(SmallText, AnAbsentTextReadsEmptyEqualsNoTextAndTurnsIntoOneWhenWritten) {
  SmallText empty_on_heap(sample(20));
  empty_on_heap.clear();
  for (int write = 0; write < 3; ++write) {
    SmallText t = SmallText::absent();
    EXPECT_TRUE(t.is_absent());
    EXPECT_EQ(t.view(), "");
    EXPECT_FALSE(t == SmallText());
    EXPECT_FALSE(SmallText() == t);
    EXPECT_FALSE(t == std::string_view());
    EXPECT_FALSE(t == empty_on_heap);
    EXPECT_FALSE(empty_on_heap == t);
    EXPECT_FALSE(SmallText().is_absent());
    if (write == 0) t.append("ab");
    if (write == 1) t.assign(sample(20));
    if (write == 2) t += 'x';
    EXPECT_FALSE(t.is_absent()) << write;
    const std::string expected = write == 0 ? "ab" : write == 1 ? sample(20) : "x";
    EXPECT_EQ(t.view(), expected) << write;
    EXPECT_TRUE(t == SmallText(expected)) << write;
    t.make_absent();  // frees the block of the heap case
    EXPECT_TRUE(t.is_absent());
  }
}

}  // namespace
}  // namespace kestrelite::core

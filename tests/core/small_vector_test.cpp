#include "core/small_vector.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kestrelite::core {
namespace {

// Counts live instances so that every construction is matched by one destruction.
struct Tracked {
  static inline int live = 0;
  std::unique_ptr<std::string> text;
  explicit Tracked(std::string s) : text(std::make_unique<std::string>(std::move(s))) { ++live; }
  Tracked(Tracked&& o) noexcept : text(std::move(o.text)) { ++live; }
  ~Tracked() { --live; }
};

TEST(SmallVector, KeepsOrderAcrossTheSpillToTheHeap) {
  for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 100u}) {
    {
      SmallVector<Tracked, 4> v;
      for (std::size_t i = 0; i < n; ++i) v.emplace_back(std::to_string(i));
      ASSERT_EQ(v.size(), n);
      for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(*v[i].text, std::to_string(i));
      EXPECT_EQ(Tracked::live, static_cast<int>(n));
    }
    EXPECT_EQ(Tracked::live, 0) << "after " << n << " elements";
  }
}

TEST(SmallVector, MovesInlineAndHeapContentsWhole) {
  for (std::size_t n : {2u, 40u}) {
    SmallVector<Tracked, 4> a;
    for (std::size_t i = 0; i < n; ++i) a.emplace_back("x" + std::to_string(i));
    SmallVector<Tracked, 4> b(std::move(a));
    EXPECT_TRUE(a.empty());
    ASSERT_EQ(b.size(), n);
    EXPECT_EQ(*b.back().text, "x" + std::to_string(n - 1));
    SmallVector<Tracked, 4> c;
    c.emplace_back("gone");
    c = std::move(b);
    ASSERT_EQ(c.size(), n);
    EXPECT_EQ(*c[0].text, "x0");
  }
  EXPECT_EQ(Tracked::live, 0);
}

TEST(SmallVector, ReserveAndClearKeepElementsConsistent) {
  SmallVector<int, 2> v;
  v.reserve(1000);
  for (int i = 0; i < 1000; ++i) v.push_back(i);
  EXPECT_EQ(v[999], 999);
  v.clear();
  EXPECT_TRUE(v.empty());
  v.push_back(7);
  EXPECT_EQ(v[0], 7);
}

}  // namespace
}  // namespace kestrelite::core

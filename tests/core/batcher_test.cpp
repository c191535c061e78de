#include "core/batcher.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kestrelite::core {
namespace {

using namespace std::string_literals;

TEST(KeySets, AddsEachKeyOnceInFirstAddedOrder) {
  KeySets keys;
  EXPECT_TRUE(keys.empty());
  const std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  struct Int {
    std::int64_t key;
    bool added;
  };
  for (const Int& c : {Int{5, true}, Int{0, true}, Int{5, false}, Int{kMin, true}, Int{-1, true},
                       Int{kMax, true}, Int{0, false}, Int{kMin, false}})
    EXPECT_EQ(keys.add_int(c.key), c.added) << c.key;

  struct Str {
    std::string key;
    bool added;
  };
  // Byte-exact: case, an empty text, an embedded NUL and a non-ASCII text are all distinct.
  for (const Str& c :
       {Str{"5", true}, Str{"x", true}, Str{"X", true}, Str{"", true}, Str{"a\0b"s, true},
        Str{"a", true}, Str{"é", true}, Str{"x", false}, Str{"a\0b"s, false}, Str{"", false}})
    EXPECT_EQ(keys.add_str(c.key), c.added) << c.key;

  EXPECT_EQ(std::vector(keys.ints().begin(), keys.ints().end()), (std::vector<std::int64_t>{5, 0, kMin, -1, kMax}));
  std::vector<std::string> texts;
  for (const SmallText& t : keys.strs()) texts.emplace_back(t.view());
  EXPECT_EQ(texts, (std::vector<std::string>{"5", "x", "X", "", "a\0b"s, "a", "é"}));
  EXPECT_EQ(keys.size(), 12u);
  EXPECT_FALSE(keys.empty());
}

TEST(KeySets, ClearEmptiesBothSetsAndKeepsTheirCapacity) {
  KeySets keys;
  for (std::int64_t i = 0; i < 10'000; ++i) {
    keys.add_int(i);
    keys.add_str(std::to_string(i));
  }
  const std::int64_t* ints = keys.ints().data();
  const SmallText* strs = keys.strs().data();
  for (int round = 0; round < 2; ++round) {
    keys.clear();
    EXPECT_TRUE(keys.empty());
    EXPECT_EQ(keys.size(), 0u);
    for (std::int64_t i = 10'000; i-- > 0;) {
      EXPECT_TRUE(keys.add_int(i));
      EXPECT_TRUE(keys.add_str(std::to_string(i)));
    }
    EXPECT_EQ(keys.ints().data(), ints);
    EXPECT_EQ(keys.strs().data(), strs);
    EXPECT_EQ(keys.ints().front(), 9'999);
    EXPECT_EQ(keys.size(), 20'000u);
  }
}

TEST(KeySets, ManyKeysKeepOrderAndRejectEveryRepeat) {
  KeySets keys;
  std::vector<std::int64_t> expected;
  // Multiples of 2^32 differ only in their high half before mixing.
  for (std::int64_t i = 0; i < 50'000; ++i) {
    const std::int64_t key = i << 32;
    ASSERT_TRUE(keys.add_int(key));
    expected.push_back(key);
  }
  for (std::int64_t key : expected) ASSERT_FALSE(keys.add_int(key));
  EXPECT_EQ(std::vector(keys.ints().begin(), keys.ints().end()), expected);
}

}  // namespace
}  // namespace kestrelite::core

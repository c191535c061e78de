#include "core/hash.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/ordered_table.hpp"

namespace kestrelite::core {
namespace {

struct TextTraits {
  using Key = std::string_view;
  static Key key_of(const std::string& e) noexcept { return e; }
  static std::uint64_t hash(Key k, HashSeed seed) noexcept { return hash_bytes(k, seed); }
  static bool equal(const std::string& e, Key k) noexcept { return e == k; }
};
struct IntTraits {
  using Key = std::uint64_t;
  static Key key_of(std::uint64_t e) noexcept { return e; }
  static std::uint64_t hash(Key k, HashSeed seed) noexcept { return hash_int(k, seed); }
  static bool equal(std::uint64_t e, Key k) noexcept { return e == k; }
};

constexpr HashSeed kCrafted{0x5eed};
constexpr HashSeed kOther{0x5eee};
// 256 keys fill a table of 512 slots; the crafted ones all have their home among its first 8,
// so that under their seed they make one run of slots that every insertion walks to its end.
constexpr std::size_t kKeys = 256;
constexpr std::uint64_t kHomeMask = 511;
constexpr std::uint64_t kHomes = 8;

template <class Entry, class Traits, class Key>
std::size_t longest_probe(HashSeed seed, const std::vector<Key>& keys) {
  OrderedTable<Entry, Traits> table(seed);
  for (const Key& key : keys) table.find_or_insert(key, [&] { return Entry(key); });
  EXPECT_EQ(table.size(), keys.size());
  return table.longest_probe();
}

TEST(Hash, KeysCraftedToCollideUnderOneSeedSpreadUnderAnother) {
  std::vector<std::string> texts;
  std::vector<std::uint64_t> ints;
  for (std::uint64_t i = 0; texts.size() < kKeys || ints.size() < kKeys; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "k%07llu", static_cast<unsigned long long>(i));
    if (texts.size() < kKeys && (hash_bytes(name, kCrafted) & kHomeMask) < kHomes)
      texts.emplace_back(name);
    if (ints.size() < kKeys && (hash_int(i, kCrafted) & kHomeMask) < kHomes) ints.push_back(i);
  }
  EXPECT_GE((longest_probe<std::string, TextTraits>(kCrafted, texts)), kKeys - kHomes);
  EXPECT_LT((longest_probe<std::string, TextTraits>(kOther, texts)), 32u);
  EXPECT_GE((longest_probe<std::uint64_t, IntTraits>(kCrafted, ints)), kKeys - kHomes);
  EXPECT_LT((longest_probe<std::uint64_t, IntTraits>(kOther, ints)), 32u);
}

TEST(Hash, EachDrawFromTheOperatingSystemIsFresh) {
  EXPECT_NE(draw_random_seed(), draw_random_seed());
}

}  // namespace
}  // namespace kestrelite::core

#include "core/ordered_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace kestrelite::core {
namespace {

/// An integer entry whose hash the test chooses, whatever the table's seed, so that collisions
/// can be forced.
template <std::uint64_t (*Hash)(std::uint64_t)>
struct IntTraits {
  using Key = std::uint64_t;
  static Key key_of(std::uint64_t e) noexcept { return e; }
  static std::uint64_t hash(Key k, HashSeed) noexcept { return Hash(k); }
  static bool equal(std::uint64_t e, Key k) noexcept { return e == k; }
};

std::uint64_t mixed(std::uint64_t k) { return hash_int(k, HashSeed{0}); }
// Every key lands on the same home slot, with distinct tags.
std::uint64_t same_low_bits(std::uint64_t k) { return mixed(k) << 32; }
// Every key has the same hash: only the key comparison tells them apart.
std::uint64_t constant(std::uint64_t) { return 0x1234'5678'9abc'def0ULL; }

template <std::uint64_t (*Hash)(std::uint64_t)>
using Table = OrderedTable<std::uint64_t, IntTraits<Hash>>;

/// Inserts keys 0..n-1 scrambled by a fixed odd multiplier; returns them in insertion order.
template <class T>
std::vector<std::uint64_t> fill(T& table, std::uint64_t n) {
  std::vector<std::uint64_t> inserted;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t key = i * 0x9e37'79b9'7f4a'7c15ULL;
    EXPECT_TRUE(table.find_or_insert(key, [key] { return key; }).second);
    inserted.push_back(key);
  }
  return inserted;
}

/// Every inserted key is found as itself and an absent one is not.
template <class T>
void expect_all_found(const T& table, const std::vector<std::uint64_t>& keys) {
  for (std::uint64_t key : keys) {
    const std::uint64_t* found = table.find(key);
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(*found, key);
  }
  EXPECT_EQ(table.find(1), nullptr);  // 1 is never a multiple of the scrambler
}

TEST(OrderedTable, KeepsInsertionOrderAcrossManyRehashes) {
  Table<mixed> table;
  const auto keys = fill(table, 100'000);
  EXPECT_EQ(std::vector(table.entries().begin(), table.entries().end()), keys);
  expect_all_found(table, keys);
}

TEST(OrderedTable, FindsEveryKeyWhenHashesCollide) {
  Table<same_low_bits> low;
  const auto low_keys = fill(low, 3'000);
  EXPECT_EQ(std::vector(low.entries().begin(), low.entries().end()), low_keys);
  expect_all_found(low, low_keys);

  Table<constant> same;
  const auto same_keys = fill(same, 1'000);
  EXPECT_EQ(std::vector(same.entries().begin(), same.entries().end()), same_keys);
  expect_all_found(same, same_keys);
}

TEST(OrderedTable, RejectsDuplicatesWithoutMakingAnEntry) {
  Table<mixed> table;
  fill(table, 100);
  int made = 0;
  for (std::uint64_t i = 0; i < 100; ++i) {
    const std::uint64_t key = i * 0x9e37'79b9'7f4a'7c15ULL;
    auto [entry, created] = table.find_or_insert(key, [&] {
      ++made;
      return key;
    });
    EXPECT_FALSE(created);
    EXPECT_EQ(entry, &table.entries()[i]);
  }
  EXPECT_EQ(made, 0);
  EXPECT_EQ(table.size(), 100u);
}

TEST(OrderedTable, ClearForgetsKeysAndKeepsCapacityOverRepeatedFills) {
  Table<mixed> table;
  const auto keys = fill(table, 5'000);
  const std::size_t capacity = table.capacity();
  for (int round = 0; round < 3; ++round) {
    table.clear();
    EXPECT_TRUE(table.empty());
    for (std::uint64_t key : keys) EXPECT_EQ(table.find(key), nullptr);
    EXPECT_EQ(table.capacity(), capacity);
    // A smaller fill in a different order must not see remnants of the previous one.
    for (std::size_t i = keys.size() / 2; i-- > 0;)
      EXPECT_TRUE(table.find_or_insert(keys[i], [&] { return keys[i]; }).second);
    EXPECT_EQ(table.size(), keys.size() / 2);
    EXPECT_EQ(table.entries().front(), keys[keys.size() / 2 - 1]);
    EXPECT_EQ(table.find(keys.back()), nullptr);
  }
}

TEST(OrderedTable, ReserveThenFillMovesNoEntry) {
  Table<mixed> table;
  table.reserve(10'000);
  const std::uint64_t* first = table.entries().data();
  fill(table, 10'000);
  EXPECT_EQ(table.entries().data(), first);
  EXPECT_THROW(table.reserve(std::size_t{1} << 31), std::length_error);
  EXPECT_EQ(table.size(), 10'000u);
}

TEST(OrderedTable, FindsEveryKeyOnBothSidesOfTheSwitchToAnIndex) {
  for (std::uint64_t n = 0; n <= 24; ++n) {
    Table<mixed> table;
    for (int round = 0; round < 2; ++round) {
      // The second round refills after clear(), reusing whichever form the table reached.
      const std::vector<std::uint64_t> keys = fill(table, n);
      EXPECT_EQ(table.size(), n);
      expect_all_found(table, keys);
      for (std::uint64_t key : keys) EXPECT_FALSE(table.find_or_insert(key, [key] { return key; }).second);
      table.clear();
      EXPECT_EQ(table.find(0), nullptr);
    }
  }
}

TEST(OrderedTable, TruncateKeepsAPrefixFindableAndForgetsTheRest) {
  for (std::uint64_t n : {5u, 8u, 9u, 40u, 3'000u}) {
    for (std::uint64_t keep : {std::uint64_t{0}, n / 3, n - 1, n, n + 1}) {
      Table<same_low_bits> table;
      const auto keys = fill(table, n);
      const std::size_t capacity = table.capacity();
      table.truncate(keep);
      const std::size_t kept = std::min(keep, n);
      ASSERT_EQ(table.size(), kept);
      EXPECT_EQ(table.capacity(), capacity);
      const std::vector<std::uint64_t> prefix(keys.begin(), keys.begin() + kept);
      expect_all_found(table, prefix);
      for (std::size_t i = kept; i < keys.size(); ++i) EXPECT_EQ(table.find(keys[i]), nullptr);
      // Dropped keys come back as new entries after the kept ones.
      for (std::size_t i = kept; i < keys.size(); ++i)
        EXPECT_TRUE(table.find_or_insert(keys[i], [&] { return keys[i]; }).second);
      EXPECT_EQ(std::vector(table.entries().begin(), table.entries().end()), keys);
    }
  }
}

TEST(OrderedTable, ListsTheSameOrderInSeparateTablesForTheSameInputs) {
  Table<mixed> plain;
  Table<mixed> reserved;
  reserved.reserve(50'000);
  fill(plain, 50'000);
  fill(reserved, 50'000);
  EXPECT_TRUE(std::ranges::equal(plain.entries(), reserved.entries()));
}

}  // namespace
}  // namespace kestrelite::core

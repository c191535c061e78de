#pragma once
// The two de-duplicating key sets of BatchAggregator: 64-bit integers and owned UTF-8 texts,
// each listed in the order its keys were first added.

#include <cstdint>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "core/ordered_table.hpp"
#include "core/small_text.hpp"

namespace kestrelite::core {

class KeySets {
 public:
  KeySets() = default;
  /// Both sets hashed under `seed` instead of the process's.
  explicit KeySets(HashSeed seed) noexcept : ints_(seed), strs_(seed) {}

  /// True when the key was not present yet.
  bool add_int(std::int64_t key) {
    return ints_.find_or_insert(key, [key] { return key; }).second;
  }
  bool add_str(std::string_view key) {
    return strs_.find_or_insert(key, [key] { return SmallText(key); }).second;
  }

  std::size_t size() const noexcept { return ints_.size() + strs_.size(); }
  bool empty() const noexcept { return ints_.empty() && strs_.empty(); }

  /// Removes every key, keeping both sets' capacity.
  void clear() noexcept;

  std::span<const std::int64_t> ints() const noexcept { return ints_.entries(); }
  std::span<const SmallText> strs() const noexcept { return strs_.entries(); }

 private:
  struct IntTraits {
    using Key = std::int64_t;
    static Key key_of(std::int64_t e) noexcept { return e; }
    static std::uint64_t hash(Key k, HashSeed seed) noexcept {
      return hash_int(static_cast<std::uint64_t>(k), seed);
    }
    static bool equal(std::int64_t e, Key k) noexcept { return e == k; }
  };
  struct StrTraits {
    using Key = std::string_view;
    static Key key_of(const SmallText& e) noexcept { return e.view(); }
    static std::uint64_t hash(Key k, HashSeed seed) noexcept { return hash_bytes(k, seed); }
    static bool equal(const SmallText& e, Key k) noexcept { return e == k; }
  };

  OrderedTable<std::int64_t, IntTraits> ints_;
  OrderedTable<SmallText, StrTraits> strs_;  // keys are mostly short: inline, compared by words
};

}  // namespace kestrelite::core

#pragma once
// An insertion-ordered hash table: entries live densely in the order they were first stored,
// and an open-addressing index of (entry number, hash tag) pairs finds them. Nothing is ever
// removed singly, so the index needs no tombstones; clear() keeps both allocations for the
// next fill. Iteration is a walk over the dense entries, which makes every listing
// deterministic and the same in every process, whatever seed the index is hashed under.
//
// Small tables (a row of a few fields, a handful of keys) keep their first `Inline` entries
// inside the table object and build no index until they hold more than kLinearLimit entries:
// below that a scan comparing lengths and bytes is as fast as hashing, and a table costs no
// heap allocation at all.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "core/capacity.hpp"
#include "core/hash.hpp"
#include "core/small_vector.hpp"

namespace kestrelite::core {

/// `Traits` supplies `Key`, `static Key key_of(const Entry&)`,
/// `static uint64_t hash(Key, HashSeed)` and `static bool equal(const Entry&, Key)`.
template <class Entry, class Traits, std::size_t Inline = 4>
class OrderedTable {
 public:
  using Key = typename Traits::Key;

  /// A table hashed under the process's seed.
  OrderedTable() noexcept : seed_(process_hash_seed()) {}
  /// A table hashed under `seed`, for tests and benchmarks that need to know where keys land.
  explicit OrderedTable(HashSeed seed) noexcept : seed_(seed) {}
  OrderedTable(OrderedTable&&) noexcept = default;
  OrderedTable& operator=(OrderedTable&&) noexcept = default;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  auto begin() noexcept { return entries_.begin(); }
  auto end() noexcept { return entries_.end(); }
  auto begin() const noexcept { return entries_.begin(); }
  auto end() const noexcept { return entries_.end(); }
  /// How many entries fit before the dense storage grows.
  std::size_t capacity() const noexcept { return entries_.capacity(); }
  std::span<const Entry> entries() const noexcept { return {entries_.data(), entries_.size()}; }

  /// Makes room for `n` entries so that storing them grows nothing.
  void reserve(std::size_t n) {
    if (n > kMaxEntries) throw_capacity_overflow();
    entries_.reserve(n);
    if (n > kLinearLimit && n > max_load()) rehash(slots_for(n));
  }

  /// Removes every entry, keeping the allocated capacity.
  void clear() noexcept {
    entries_.clear();
    if (slots_) std::memset(slots_.get(), 0, slot_count() * sizeof(Slot));
  }

  /// Keeps the first `n` entries and drops the rest, rebuilding the index in the slots it
  /// already has, so that nothing is allocated.
  void truncate(std::size_t n) noexcept {
    if (n >= entries_.size()) return;
    entries_.truncate(n);
    if (!slots_) return;
    std::memset(slots_.get(), 0, slot_count() * sizeof(Slot));
    for (std::size_t e = 0; e < n; ++e) {
      const std::uint64_t h = hash_of(Traits::key_of(entries_[e]));
      std::size_t i = h & mask_;
      while (slots_[i].index != 0) i = (i + 1) & mask_;
      slots_[i] = Slot{static_cast<std::uint32_t>(e + 1), tag_of(h)};
    }
  }

  /// The most slots past its home slot that the lookup of a stored key walks; 0 while the
  /// table is scanned. Walks the whole index: for tests and benchmarks.
  std::size_t longest_probe() const noexcept {
    std::size_t longest = 0;
    for (std::size_t i = 0; i < slot_count(); ++i) {
      if (slots_[i].index == 0) continue;
      const std::size_t home = hash_of(Traits::key_of(entries_[slots_[i].index - 1])) & mask_;
      longest = std::max(longest, (i - home) & mask_);
    }
    return longest;
  }

  /// The entry stored `i`-th; `i` must be below size().
  Entry& at(std::size_t i) noexcept { return entries_[i]; }

  Entry* find(Key key) noexcept {
    if (!slots_) return find_linear(key);
    const std::uint64_t h = hash_of(key);
    const std::uint32_t tag = tag_of(h);
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.index == 0) return nullptr;
      if (s.tag == tag && Traits::equal(entries_[s.index - 1], key)) return &entries_[s.index - 1];
    }
  }
  const Entry* find(Key key) const noexcept { return const_cast<OrderedTable*>(this)->find(key); }

  /// Finds the entry for `key` or appends `make()` as a new one. Returns the entry and whether
  /// it was created. `make` must produce an entry whose key equals `key`.
  template <class Make>
  std::pair<Entry*, bool> find_or_insert(Key key, Make&& make) {
    if (!slots_) [[likely]] {
      if (Entry* found = find_linear(key)) return {found, false};
      if (entries_.size() < kLinearLimit) return {&entries_.emplace_back_made(make), true};
    }
    return find_or_insert_indexed(key, make);
  }

 private:
  static constexpr std::size_t kMaxEntries = 0x7fffffff;
  // Up to this many entries a table is scanned and keeps no index.
  static constexpr std::size_t kLinearLimit = 8;

  /// find_or_insert past the scan: builds the index when the table outgrows the scan, grows
  /// it when it is full enough. Out of line, so that storing a small row's fields stays a
  /// short inline scan and append.
  template <class Make>
  [[gnu::noinline]] std::pair<Entry*, bool> find_or_insert_indexed(Key key, Make& make) {
    if (!slots_) {
      rehash(slots_for(entries_.size() + 1));
    } else if (entries_.size() + 1 > max_load()) {
      if (entries_.size() >= kMaxEntries) throw_capacity_overflow();
      rehash(slots_for(entries_.size() + 1));
    }
    const std::uint64_t h = hash_of(key);
    const std::uint32_t tag = tag_of(h);
    std::size_t i = h & mask_;
    for (;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.index == 0) break;
      if (s.tag == tag && Traits::equal(entries_[s.index - 1], key))
        return {&entries_[s.index - 1], false};
    }
    Entry& made = entries_.emplace_back_made(make);
    slots_[i] = Slot{static_cast<std::uint32_t>(entries_.size()), tag};
    return {&made, true};
  }

  /// The scan of a table without an index: inline where a row's fields are stored, since a
  /// call would cost more than comparing the few lengths it mostly does.
  [[gnu::always_inline]] Entry* find_linear(Key key) noexcept {
    for (Entry& e : entries_)
      if (Traits::equal(e, key)) return &e;
    return nullptr;
  }

  struct Slot {
    std::uint32_t index;  // entry number + 1; 0 marks an empty slot
    std::uint32_t tag;    // high half of the hash, compared before the key
  };

  std::uint64_t hash_of(Key key) const noexcept { return Traits::hash(key, seed_); }

  static std::uint32_t tag_of(std::uint64_t h) noexcept { return static_cast<std::uint32_t>(h >> 32); }

  // At most three quarters of the slots are in use.
  std::size_t max_load() const noexcept { return slot_count() - slot_count() / 4; }
  std::size_t slot_count() const noexcept { return slots_ ? mask_ + 1 : 0; }

  static std::size_t slots_for(std::size_t n) {
    std::size_t cap = 8;
    while (cap - cap / 4 < n) cap *= 2;
    return cap;
  }

  void rehash(std::size_t cap) {
    auto fresh = std::make_unique<Slot[]>(cap);  // value-initialised: every slot empty
    const std::size_t mask = cap - 1;
    for (std::size_t e = 0; e < entries_.size(); ++e) {
      const std::uint64_t h = hash_of(Traits::key_of(entries_[e]));
      std::size_t i = h & mask;
      while (fresh[i].index != 0) i = (i + 1) & mask;
      fresh[i] = Slot{static_cast<std::uint32_t>(e + 1), tag_of(h)};
    }
    slots_ = std::move(fresh);
    mask_ = mask;
  }

  SmallVector<Entry, Inline, std::uint32_t> entries_;  // 32-bit counts: see kMaxEntries
  std::unique_ptr<Slot[]> slots_;  // the index; none while the table is scanned
  std::size_t mask_ = 0;           // slot count - 1
  HashSeed seed_;
};

}  // namespace kestrelite::core

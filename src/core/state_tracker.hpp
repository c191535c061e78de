#pragma once
// The field map behind StateTracker and the native benchmark: per field name, the text at the
// last snapshot, the latest text and a payload (the binding keeps the latest Python object
// there; the benchmark keeps nothing). A field is dirty exactly when its two texts differ.
// A field not set since it was loaded or snapshotted has its current text as its baseline, so
// loading and snapshotting copy no text; the first change moves the current text aside.

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/ordered_table.hpp"
#include "core/small_text.hpp"

namespace kestrelite::core {

template <class Payload>
struct FieldEntry {
  SmallText name;
  SmallText current_text;
  SmallText changed_from = SmallText::absent();  // the baseline while the field is changed
  [[no_unique_address]] Payload current_value;

  bool changed() const noexcept { return !changed_from.is_absent(); }
  bool dirty() const noexcept { return changed() && changed_from != current_text; }
  std::string_view snapshot_text() const noexcept {
    return changed() ? changed_from.view() : current_text.view();
  }

  /// Records a new text, keeping the baseline.
  void change(SmallText text) noexcept {
    if (!changed()) changed_from.swap(current_text);
    current_text = std::move(text);
  }

  /// Makes the current text the baseline. A clean field is left unwritten, so snapshotting
  /// many rows dirties only the cache lines of the fields that changed.
  void settle() noexcept {
    if (changed()) changed_from.make_absent();
  }
};

template <class Payload>
struct FieldTraits {
  using Key = std::string_view;
  static Key key_of(const FieldEntry<Payload>& e) noexcept { return e.name.view(); }
  static std::uint64_t hash(Key k, HashSeed seed) noexcept { return hash_bytes(k, seed); }
  static bool equal(const FieldEntry<Payload>& e, Key k) noexcept { return e.name == k; }
};

/// Fields in the order they were first stored.
template <class Payload>
class FieldMap {
 public:
  using Entry = FieldEntry<Payload>;

  FieldMap() = default;
  /// A map hashed under `seed` instead of the process's.
  explicit FieldMap(HashSeed seed) noexcept : table_(seed) {}

  std::size_t size() const noexcept { return table_.size(); }
  auto begin() noexcept { return table_.begin(); }
  auto end() noexcept { return table_.end(); }
  auto begin() const noexcept { return table_.begin(); }
  auto end() const noexcept { return table_.end(); }

  /// Drops every field (and its payload), keeping the capacity.
  void clear() noexcept { table_.clear(); }
  void reserve(std::size_t n) { table_.reserve(n); }

  /// The field stored `i`-th (below size()): a reload that meets the same names in the same
  /// order rewrites the fields where they are, without hashing or allocating.
  Entry& at(std::size_t i) noexcept { return table_.at(i); }
  /// Keeps the first `n` fields; allocates nothing.
  void truncate(std::size_t n) noexcept { table_.truncate(n); }

  Entry* find(std::string_view name) noexcept { return table_.find(name); }
  const Entry* find(std::string_view name) const noexcept { return table_.find(name); }

  /// Stores a clean field (snapshot = current = `text`); an existing entry of that name is
  /// replaced whole, keeping its place.
  void load(std::string_view name, SmallText text, Payload value) {
    auto [entry, created] = table_.find_or_insert(name, [&] {
      return Entry{SmallText(name), std::move(text), SmallText::absent(), std::move(value)};
    });
    if (created) return;
    entry->current_text = std::move(text);
    entry->current_value = std::move(value);
    entry->settle();
  }

  /// Records a new value: an existing field keeps its snapshot; a new one starts clean.
  void set(std::string_view name, SmallText text, Payload value) {
    auto [entry, created] = table_.find_or_insert(name, [&] {
      return Entry{SmallText(name), std::move(text), SmallText::absent(), std::move(value)};
    });
    if (created) return;
    entry->change(std::move(text));
    entry->current_value = std::move(value);
  }

  /// True at the first field whose texts differ.
  bool is_dirty() const noexcept {
    for (const Entry& e : table_)
      if (e.dirty()) return true;
    return false;
  }

  /// Makes every current text the new baseline.
  void hydrate() {
    for (Entry& e : table_) e.settle();
  }

 private:
  OrderedTable<Entry, FieldTraits<Payload>> table_;
};

struct NoPayload {};

/// The tracker the native benchmark drives: the same map, without Python objects.
using NativeTracker = FieldMap<NoPayload>;

/// Builds `count` trackers of four fields each, puts each through one load / change / check /
/// snapshot cycle and returns the seconds that took (monotonic clock), measured before the
/// trackers are freed. Returns nothing when the tracker list's byte size cannot be expressed.
/// Throws std::bad_alloc when memory runs out.
std::optional<double> run_native_benchmark(std::uint64_t count);

}  // namespace kestrelite::core

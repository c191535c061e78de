// Fuzzes OrderedTable against a model made of a std::unordered_map and a vector of keys in
// first-insertion order: every lookup, insertion, truncation, clear and move must agree with
// the model, and a walk of the table must list the model's keys in the model's order.
//
// The tracker's field map, the table's main user, is driven the same way against a model of
// each field's snapshot and current text.
//
// Every table is hashed under a seed the input chooses, so that a finding replays in another
// process. The hash is chosen by the input too: a well-mixed one, one that keeps only a few low
// bits (long probe runs, equal tags), and a constant (every key in one run), so the index is
// exercised far past the collisions that real keys meet.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ordered_table.hpp"
#include "core/small_text.hpp"
#include "core/state_tracker.hpp"

namespace core = kestrelite::core;

namespace {

void expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "ordered table: %s\n", what);
    std::abort();
  }
}

enum class HashKind : std::uint8_t { kMixed, kFewBits, kConstant };
HashKind g_hash_kind = HashKind::kMixed;

std::uint64_t degrade(std::uint64_t h) noexcept {
  switch (g_hash_kind) {
    case HashKind::kMixed:
      return h;
    case HashKind::kFewBits:
      return h & 0x7;  // tags all zero, three bits of slot
    case HashKind::kConstant:
      break;
  }
  return 0x5555;
}

struct TextEntry {
  core::SmallText key;
  std::uint32_t value;
};

struct TextTraits {
  using Key = std::string_view;
  static Key key_of(const TextEntry& e) noexcept { return e.key.view(); }
  static std::uint64_t hash(Key k, core::HashSeed seed) noexcept {
    return degrade(core::hash_bytes(k, seed));
  }
  static bool equal(const TextEntry& e, Key k) noexcept { return e.key == k; }
};

struct IntTraits {
  using Key = std::int64_t;
  static Key key_of(std::int64_t e) noexcept { return e; }
  static std::uint64_t hash(Key k, core::HashSeed seed) noexcept {
    return degrade(core::hash_int(static_cast<std::uint64_t>(k), seed));
  }
  static bool equal(std::int64_t e, Key k) noexcept { return e == k; }
};

/// Keys from a small pool (so that they repeat) or straight from the input.
std::string consume_key(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return std::to_string(in.ConsumeIntegralInRange<int>(0, 40));
  return in.ConsumeRandomLengthString(24);
}

std::int64_t consume_int_key(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return in.ConsumeIntegralInRange<std::int64_t>(-20, 40);
  return in.ConsumeIntegral<std::int64_t>();
}

/// A table of owned texts and a table of integers, each beside its model.
struct Tables {
  explicit Tables(core::HashSeed seed) : texts(seed), ints(seed) {}

  core::OrderedTable<TextEntry, TextTraits> texts;
  std::unordered_map<std::string, std::uint32_t> text_values;
  std::vector<std::string> text_order;

  core::OrderedTable<std::int64_t, IntTraits, 2> ints;
  std::vector<std::int64_t> int_order;
  std::unordered_map<std::int64_t, std::size_t> int_places;

  /// A walk of each table lists the model's keys in the model's order.
  void check_walks() const {
    expect(texts.size() == text_order.size(), "text table size");
    std::size_t i = 0;
    for (const TextEntry& e : texts) {
      expect(e.key == std::string_view(text_order[i]), "text table order");
      expect(e.value == text_values.at(text_order[i]), "text table value");
      ++i;
    }
    expect(ints.size() == int_order.size(), "int table size");
    const auto listed = ints.entries();
    for (std::size_t k = 0; k < listed.size(); ++k)
      expect(listed[k] == int_order[k], "int table order");
  }

  void insert_text(const std::string& key, std::uint32_t value) {
    auto [entry, created] = texts.find_or_insert(key, [&] {
      return TextEntry{core::SmallText(key), value};
    });
    const bool model_created = text_values.emplace(key, value).second;
    expect(created == model_created, "find_or_insert(text) created");
    if (created) text_order.push_back(key);
    expect(entry->key == std::string_view(key), "find_or_insert(text) entry");
    expect(entry->value == text_values.at(key), "find_or_insert(text) kept the first value");
  }

  void find_text(const std::string& key) {
    const TextEntry* found = std::as_const(texts).find(key);
    const auto model = text_values.find(key);
    expect((found != nullptr) == (model != text_values.end()), "find(text)");
    if (found) expect(found->value == model->second, "find(text) value");
  }

  void insert_int(std::int64_t key) {
    auto [entry, created] = ints.find_or_insert(key, [key] { return key; });
    const bool model_created = int_places.emplace(key, int_order.size()).second;
    expect(created == model_created, "find_or_insert(int) created");
    if (created) int_order.push_back(key);
    expect(*entry == key, "find_or_insert(int) entry");
    expect(entry == &ints.at(int_places.at(key)), "find_or_insert(int) place");
  }

  void find_int(std::int64_t key) {
    const std::int64_t* found = ints.find(key);
    expect((found != nullptr) == (int_places.count(key) == 1), "find(int)");
  }

  void truncate(std::size_t n) {
    texts.truncate(n);
    while (text_order.size() > n) {
      text_values.erase(text_order.back());
      text_order.pop_back();
    }
    ints.truncate(n);
    while (int_order.size() > n) {
      int_places.erase(int_order.back());
      int_order.pop_back();
    }
  }

  void clear() {
    texts.clear();
    text_values.clear();
    text_order.clear();
    ints.clear();
    int_places.clear();
    int_order.clear();
  }
};

/// FieldMap beside a model of each field's snapshot and current text.
struct Fields {
  explicit Fields(core::HashSeed seed) : map(seed) {}

  struct Texts {
    std::string snapshot;
    std::string current;
  };
  core::NativeTracker map;
  std::unordered_map<std::string, Texts> model;
  std::vector<std::string> order;

  void store(const std::string& name, const std::string& text, bool load) {
    if (load) {
      map.load(name, core::SmallText(text), {});
    } else {
      map.set(name, core::SmallText(text), {});
    }
    auto [it, created] = model.try_emplace(name, Texts{text, text});
    if (created) {
      order.push_back(name);
    } else {
      it->second.current = text;
      if (load) it->second.snapshot = text;  // a reload is a new baseline
    }
  }

  void check() const {
    expect(map.size() == order.size(), "field map size");
    bool any_dirty = false;
    std::size_t i = 0;
    for (const core::NativeTracker::Entry& e : map) {
      const Texts& want = model.at(order[i]);
      expect(e.name == std::string_view(order[i]), "field order");
      expect(e.current_text == std::string_view(want.current), "field current text");
      expect(e.snapshot_text() == want.snapshot, "field snapshot text");
      expect(e.dirty() == (want.snapshot != want.current), "field dirty");
      any_dirty = any_dirty || e.dirty();
      ++i;
    }
    expect(map.is_dirty() == any_dirty, "field map is_dirty");
  }
};

/// Field names from a small pool; texts from a smaller one, so that changes often come back to
/// the snapshot's text.
void fuzz_fields(FuzzedDataProvider& in) {
  Fields f(core::HashSeed{in.ConsumeIntegral<std::uint64_t>()});
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
      case 1:
      case 2: {
        const std::string name = consume_key(in);
        const std::string text = in.ConsumeBool()
                                     ? std::to_string(in.ConsumeIntegralInRange<int>(0, 3))
                                     : in.ConsumeRandomLengthString(20);
        f.store(name, text, in.ConsumeIntegralInRange<int>(0, 3) == 0);
        break;
      }
      case 3: {
        const std::string name = consume_key(in);
        const core::NativeTracker::Entry* e = f.map.find(name);
        expect((e != nullptr) == (f.model.count(name) == 1), "field map find");
        break;
      }
      case 4:
        f.map.hydrate();
        for (auto& [name, texts] : f.model) texts.snapshot = texts.current;
        break;
      case 5: {
        const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, f.order.size() + 1);
        f.map.truncate(n);
        while (f.order.size() > n) {
          f.model.erase(f.order.back());
          f.order.pop_back();
        }
        break;
      }
      case 6:
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
          f.map.clear();
          f.model.clear();
          f.order.clear();
        }
        break;
      default:
        f.map.reserve(in.ConsumeIntegralInRange<std::size_t>(0, 100));
        break;
    }
    f.check();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
    fuzz_fields(in);
    return 0;
  }
  g_hash_kind = in.PickValueInArray({HashKind::kMixed, HashKind::kFewBits, HashKind::kConstant});
  Tables t(core::HashSeed{in.ConsumeIntegral<std::uint64_t>()});
  std::uint32_t next_value = 0;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
      case 0:
      case 1:
        t.insert_text(consume_key(in), next_value++);
        break;
      case 2:
        t.find_text(consume_key(in));
        break;
      case 3:
      case 4:
        t.insert_int(consume_int_key(in));
        break;
      case 5:
        t.find_int(consume_int_key(in));
        break;
      case 6: {
        // Cut back to a size from the model, or past the end (a no-op).
        const std::size_t most = std::max(t.text_order.size(), t.int_order.size());
        t.truncate(in.ConsumeIntegralInRange<std::size_t>(0, most + 1));
        t.check_walks();
        break;
      }
      case 7:
        if (in.ConsumeIntegralInRange<int>(0, 3) == 0) t.clear();
        break;
      case 8: {
        const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 300);
        t.texts.reserve(n);
        t.ints.reserve(n);
        expect(t.texts.capacity() >= n && t.ints.capacity() >= n, "reserve");
        break;
      }
      default: {
        // Moving the tables out and back: inline entries are moved, heap ones handed over.
        core::OrderedTable<TextEntry, TextTraits> texts(std::move(t.texts));
        core::OrderedTable<std::int64_t, IntTraits, 2> ints(std::move(t.ints));
        t.texts = std::move(texts);
        t.ints = std::move(ints);
        t.check_walks();
        break;
      }
    }
  }
  t.check_walks();
  // Every key the model holds is found again after all the edits.
  for (const std::string& key : t.text_order) t.find_text(key);
  for (const std::int64_t key : t.int_order) t.find_int(key);
  return 0;
}

#include "core/state_tracker.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace kestrelite::core {
namespace {

/// A payload that can be told apart, standing in for the Python object.
using Map = FieldMap<int>;

/// (name, snapshot, current, payload) of one field.
using Row = std::tuple<std::string, std::string, std::string, int>;

/// Every field, in the map's order.
std::vector<Row> rows(const Map& map) {
  std::vector<Row> out;
  for (const auto& e : map)
    out.emplace_back(e.name.view(), e.snapshot_text(), e.current_text.view(), e.current_value);
  return out;
}

TEST(FieldMap, LoadStoresCleanFieldsInInsertionOrder) {
  Map map;
  EXPECT_FALSE(map.is_dirty());
  map.load("id", SmallText("7"), 1);
  map.load("name", SmallText("Alice"), 2);
  map.load("", SmallText(""), 3);  // an empty name is a name like any other
  EXPECT_FALSE(map.is_dirty());
  EXPECT_EQ(rows(map), (std::vector<Row>{
                           {"id", "7", "7", 1}, {"name", "Alice", "Alice", 2}, {"", "", "", 3}}));
}

TEST(FieldMap, DirtyExactlyWhileTheTwoTextsDiffer) {
  Map map;
  map.load("a", SmallText("1"), 1);
  map.load("b", SmallText("x"), 1);
  struct Step {
    const char* field;
    const char* text;
    bool dirty;
  };
  // Same length, other bytes; longer; a prefix; back to the snapshot; a case change.
  const Step steps[] = {{"a", "2", true},  {"a", "1", false},  {"a", "10", true},
                        {"a", "", true},   {"a", "1", false},  {"b", "X", true},
                        {"b", "x", false}, {"new", "5", false}};
  for (const Step& s : steps) {
    map.set(s.field, SmallText(s.text), 9);
    EXPECT_EQ(map.is_dirty(), s.dirty) << s.field << "=" << s.text;
  }
  const auto* a = map.find("a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->current_value, 9);
  EXPECT_EQ(map.find("A"), nullptr);
}

TEST(FieldMap, SetOnANewNameStartsCleanAndKeepsTheSnapshotOfAnOldOne) {
  Map map;
  map.load("a", SmallText("1"), 1);
  map.set("a", SmallText("2"), 2);
  map.set("b", SmallText("5"), 3);
  EXPECT_EQ(rows(map), (std::vector<Row>{{"a", "1", "2", 2}, {"b", "5", "5", 3}}));
}

TEST(FieldMap, LoadOverAnExistingNameReplacesItWholeInItsPlace) {
  Map map;
  map.load("a", SmallText("1"), 1);
  map.load("b", SmallText("2"), 2);
  map.set("a", SmallText("changed"), 3);
  map.load("a", SmallText("fresh"), 4);
  EXPECT_EQ(rows(map), (std::vector<Row>{{"a", "fresh", "fresh", 4}, {"b", "2", "2", 2}}));
  EXPECT_FALSE(map.is_dirty());
}

TEST(FieldMap, HydrateMakesCurrentTheBaseline) {
  Map map;
  map.load("a", SmallText("1"), 1);
  map.set("a", SmallText("2"), 2);
  map.hydrate();
  EXPECT_FALSE(map.is_dirty());
  map.set("a", SmallText("1"), 3);  // the value loaded before the snapshot is now a change
  EXPECT_TRUE(map.is_dirty());
}

TEST(FieldMap, ClearDropsEveryFieldAndAcceptsANewRow) {
  Map map;
  map.load("a", SmallText("1"), 1);
  map.set("a", SmallText("2"), 2);
  map.clear();
  EXPECT_EQ(map.size(), 0u);
  EXPECT_EQ(map.find("a"), nullptr);
  EXPECT_FALSE(map.is_dirty());
  map.load("b", SmallText("3"), 3);
  EXPECT_EQ(rows(map), (std::vector<Row>{{"b", "3", "3", 3}}));
}

TEST(NativeTracker, OneBenchmarkCycleLeavesTheRowCleanWithTheNewAge) {
  // The cycle the benchmark times, checked on one tracker.
  NativeTracker t;
  t.load("id", SmallText("0"), {});
  t.load("name", SmallText("Alice"), {});
  t.load("age", SmallText("25"), {});
  t.load("active", SmallText("true"), {});
  t.find("age")->change(SmallText("26"));
  EXPECT_TRUE(t.is_dirty());
  t.hydrate();
  EXPECT_FALSE(t.is_dirty());
  EXPECT_EQ(t.find("age")->snapshot_text(), "26");
}

// 100000 trackers take the list past the size that is mapped with its pages made present.
TEST(NativeBenchmark, ReturnsElapsedSecondsOnTheHeapAndOnMappedPages) {
  for (std::uint64_t count : {0u, 1u, 1000u, 100000u}) {
    const std::optional<double> seconds = run_native_benchmark(count);
    ASSERT_TRUE(seconds.has_value()) << count;
    EXPECT_GE(*seconds, 0.0) << count;
    EXPECT_LT(*seconds, 10.0) << count;
  }
  EXPECT_GT(*run_native_benchmark(1000), 0.0);
}

TEST(NativeBenchmark, RefusesCountsWhoseListSizeCannotBeExpressed) {
  const std::uint64_t limit = static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(NativeTracker);
  for (std::uint64_t count : {limit + 1, std::uint64_t{1} << 63, UINT64_MAX})
    EXPECT_EQ(run_native_benchmark(count), std::nullopt) << count;
}

#if !defined(__SANITIZE_ADDRESS__)
// The sanitizer's allocator aborts on absurd sizes instead of failing them.
TEST(NativeBenchmark, ThrowsBadAllocAtTheLargestExpressibleCount) {
  const std::uint64_t limit = static_cast<std::uint64_t>(PTRDIFF_MAX) / sizeof(NativeTracker);
  EXPECT_THROW(run_native_benchmark(limit), std::bad_alloc);
}
#endif

}  // namespace
}  // namespace kestrelite::core

#pragma once
// The module's classes and its methods that take keywords, numbered: each has one slot in
// the module state (its type object, its interned parameter names).

#include <cstddef>

namespace kestrelite::python {

/// The classes, in registration order.
enum class ClassId : std::size_t {
  kStateTracker,
  kQueryCompiler,
  kBatchAggregator,
  kSchemaDiffEngine,
  kCount
};

/// The methods that take arguments by keyword.
enum class KeywordMethod : std::size_t {
  kSetInitialState,
  kSetField,
  kGetField,
  kBenchmark,
  kGetPlaceholder,
  kCompileSelect,
  kCompileInsert,
  kCompileUpdate,
  kCompileDelete,
  kAddKeyInt,
  kAddKeyStr,
  kAddKey,
  kAddKeysBatch,
  kDiffTable,
  kCount,
  kNone = kCount  // a constructor: no keywords, so no names to intern
};

inline constexpr std::size_t kClassCount = static_cast<std::size_t>(ClassId::kCount);
inline constexpr std::size_t kKeywordMethodCount = static_cast<std::size_t>(KeywordMethod::kCount);

}  // namespace kestrelite::python

#pragma once
// Argument descriptions, constant tables made at compile time, and the matching of a call's
// positional and keyword arguments to them.
#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "python/registry.hpp"
#include "python/result.hpp"

namespace kestrelite::python {

inline constexpr std::size_t kMaxParams = 8;

struct FunctionDescription {
  const char* class_name;
  const char* function_name;
  std::span<const std::string_view> params;  // lengths known, so matching needs no strlen
  std::size_t required;
  KeywordMethod names = KeywordMethod::kNone;  // its interned names in the module state
};

/// One borrowed argument per parameter, nullptr where none was given.
using Slots = std::array<PyObject*, kMaxParams>;

/// A function's parameter names as interned strs, made on its first call with keywords. The
/// interpreter interns the keyword names of a call written in Python code, so a keyword is
/// usually placed by comparing pointers; any other key is matched by its text.
struct KeywordNames {
  std::array<PyObject*, kMaxParams> interned{};
  bool ready = false;
};

}  // namespace kestrelite::python

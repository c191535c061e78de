#pragma once
// The entry barrier: every function the interpreter calls goes through it, so that the
// interpreter gets a result, or nullptr with exactly one exception set, and no C++ exception
// crosses back.
#include <string_view>

#include "python/arguments.hpp"
#include "python/state.hpp"

namespace kestrelite::python {

/// A class the module registers: its name, layout and method table.
struct MethodEntry {
  const char* name;
  PyCFunction tuple_entry;   // METH_VARARGS | METH_KEYWORDS, or METH_NOARGS
  PyCFunction vector_entry;  // METH_FASTCALL | METH_KEYWORDS; nullptr for no-argument methods
  int extra_flags;           // METH_STATIC where needed
  const char* doc;
};

[[gnu::cold]] void raise_panic(std::string_view text) noexcept;
[[gnu::cold]] void raise_current_exception() noexcept;

/// Runs `body` so that the interpreter gets a result or nullptr with an exception set, and no
/// C++ exception crosses back.
template <class Body>
PyObject* barrier(Body&& body) noexcept {
  try {
    Result<Owned> r = body();
    if (r) {
      // A result comes with no exception set, and is an object.
      KESTRELITE_ASSERT((*r).get() != nullptr && !PyErr_Occurred());
      return (*r).release();
    }
    std::move(r).error().restore();
    // A failure leaves exactly its exception set.
    KESTRELITE_ASSERT(PyErr_Occurred());
    return nullptr;
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

/// As barrier(), for deallocation: a failure goes to the unraisable hook.
template <class Body>
void dealloc_barrier(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    raise_current_exception();
    PyErr_WriteUnraisable(nullptr);
  }
}

using MethodImpl = Result<Owned> (*)(PyObject* self, const Slots& args);
using NoArgsImpl = Result<Owned> (*)(PyObject* self);

/// The interned parameter names of a method that takes keywords.
template <const FunctionDescription& Desc>
KeywordNames* keyword_names() noexcept {
  static_assert(Desc.names != KeywordMethod::kNone, "a keyword method has a KeywordMethod");
  return &state().keyword_names[static_cast<std::size_t>(Desc.names)];
}

template <const FunctionDescription& Desc, MethodImpl Impl>
PyObject* tuple_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return barrier([&]() -> Result<Owned> {
    Slots slots{};
    KESTRELITE_CHECK(match_tuple(Desc, args, kwargs, slots, keyword_names<Desc>()));
    return Impl(self, slots);
  });
}

template <const FunctionDescription& Desc, MethodImpl Impl>
PyObject* vector_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return barrier([&]() -> Result<Owned> {
    Slots slots{};
    KESTRELITE_CHECK(match_vector(Desc, args, nargs, kwnames, slots, keyword_names<Desc>()));
    return Impl(self, slots);
  });
}

template <NoArgsImpl Impl>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
  return barrier([&]() -> Result<Owned> { return Impl(self); });
}

/// The interpreter calls a method through the pointer type its flags name.
template <class F>
PyCFunction as_cfunction(F f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <const FunctionDescription& Desc, MethodImpl Impl>
MethodEntry keyword_method(const char* doc, int extra_flags = 0) {
  return MethodEntry{Desc.function_name, as_cfunction(&tuple_entry<Desc, Impl>),
                     as_cfunction(&vector_entry<Desc, Impl>), extra_flags, doc};
}

template <NoArgsImpl Impl>
MethodEntry noargs_method(const char* name, const char* doc) {
  return MethodEntry{name, as_cfunction(&noargs_entry<Impl>), nullptr, 0, doc};
}

}  // namespace kestrelite::python

#pragma once
// Instances and the borrow guard: the layout every class shares, the receiver checks, the
// shared and exclusive holds, and the class's type made from its description.
#include <array>
#include <new>
#include <span>
#include <utility>

#include "python/barrier.hpp"
#include "python/messages.hpp"

namespace kestrelite::python {

/// The layout every class shares: header, own state, borrow counter (0 free, >0 shared holds,
/// -1 one exclusive hold).
template <class State>
struct Instance {
  PyObject_HEAD
  // An empty state (a class that keeps nothing) takes no room: the layout is then the
  // header and the borrow counter alone.
  [[no_unique_address]] State state;
  Py_ssize_t borrow;
};

template <class State>
class SharedRef {
 public:
  explicit SharedRef(Instance<State>* p) noexcept : p_(p) { ++p_->borrow; }
  SharedRef(SharedRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  SharedRef(const SharedRef&) = delete;
  ~SharedRef() {
    if (p_) --p_->borrow;
  }
  const State& operator*() const noexcept { return p_->state; }
  const State* operator->() const noexcept { return &p_->state; }

 private:
  Instance<State>* p_;
};

template <class State>
class ExclusiveRef {
 public:
  explicit ExclusiveRef(Instance<State>* p) noexcept : p_(p) { p_->borrow = -1; }
  ExclusiveRef(ExclusiveRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ExclusiveRef(const ExclusiveRef&) = delete;
  ~ExclusiveRef() {
    if (p_) p_->borrow = 0;
  }
  State& operator*() const noexcept { return p_->state; }
  State* operator->() const noexcept { return &p_->state; }

 private:
  Instance<State>* p_;
};

[[gnu::cold]] Error receiver_error(PyObject* self, const char* class_name);

struct ClassDef {
  ClassId id;
  const char* name;
  const char* doc;  // "{name}()\n--\n\n"
  int basicsize;
  newfunc tp_new;
  destructor tp_dealloc;
  std::span<const MethodEntry> methods;
  // Made once for the process and never changed after: every type made from this class,
  // in any lifetime of the interpreter, points into them. 3.9 keeps a pointer into
  // spec_name ("builtins.{name}") as the type's name, and the types keep the method table.
  PyMethodDef* method_table = nullptr;
  std::array<char, 64> spec_name{};
};

/// The class's type object, created on first need and kept in the module state (borrowed).
Result<PyObject*> class_type(ClassDef& def);

/// Whether `self` is an instance of the class (a subclass's included).
inline bool is_instance_of(PyObject* self, const ClassDef& def) noexcept {
  PyObject* type = state().types[static_cast<std::size_t>(def.id)];
  return type && PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type));
}

template <class State>
Result<SharedRef<State>> take_shared(PyObject* self, ClassDef& def) {
  if (!is_instance_of(self, def)) [[unlikely]] return receiver_error(self, def.name);
  auto* inst = reinterpret_cast<Instance<State>*>(self);
  if (inst->borrow == -1) return Error::message(PyExc_RuntimeError, messages::kMutablyBorrowed);
  return SharedRef<State>(inst);
}

/// The receiver's type check alone, for a class whose instances hold no state to guard.
inline Status check_receiver(PyObject* self, ClassDef& def) {
  if (!is_instance_of(self, def)) [[unlikely]] return receiver_error(self, def.name);
  return Unit{};
}

template <class State>
Result<ExclusiveRef<State>> take_exclusive(PyObject* self, ClassDef& def) {
  if (!is_instance_of(self, def)) [[unlikely]] return receiver_error(self, def.name);
  auto* inst = reinterpret_cast<Instance<State>*>(self);
  if (inst->borrow != 0) return Error::message(PyExc_RuntimeError, messages::kBorrowed);
  return ExclusiveRef<State>(inst);
}

/// The constructor every class shares: no parameters, an empty initial state.
template <class State, ClassDef& Def, const FunctionDescription& Desc>
PyObject* generic_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return barrier([&]() -> Result<Owned> {
    Slots slots{};
    KESTRELITE_CHECK(match_tuple(Desc, args, kwargs, slots));
    allocfunc alloc = nullptr;
    // Before 3.10 PyType_GetSlot only answers for heap types.
    if (state().runtime.minor >= 10 || (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE))
      alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (!alloc) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (!self) return fetch_error();
    auto* inst = reinterpret_cast<Instance<State>*>(self);
    new (&inst->state) State();
    inst->borrow = 0;
    return Owned::steal(self);
  });
}

template <class State>
void generic_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  dealloc_barrier([&] {
    auto* inst = reinterpret_cast<Instance<State>*>(self);
    inst->state.~State();
  });
  freefunc free_fn = nullptr;
  if (state().runtime.minor >= 10 || (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE))
    free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (!free_fn) free_fn = PyObject_Free;
  free_fn(self);
  // Instances of heap types hold a reference to their type.
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

}  // namespace kestrelite::python

#include "python/convert.hpp"

#include <algorithm>

#include "core/compiler.hpp"
#include "core/text.hpp"
#include "python/messages.hpp"

namespace kestrelite::python {

Result<Str> to_str_slow(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return conversion_error(obj, messages::kToStr);
  if (state().runtime.as_utf8_and_size) {
    Py_ssize_t size = 0;
    const char* data = state().runtime.as_utf8_and_size(obj, &size);
    if (!data) return fetch_error();
    return Str{std::string_view(data, static_cast<std::size_t>(size)), Owned()};
  }
  Owned bytes = Owned::steal(PyUnicode_AsUTF8String(obj));
  if (!bytes) return fetch_error();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return fetch_error();
  return Str{std::string_view(data, static_cast<std::size_t>(size)), std::move(bytes)};
}

Result<std::int64_t> to_i64(PyObject* obj) {
  Owned index;
  if (!PyLong_Check(obj)) {
    index = Owned::steal(PyNumber_Index(obj));
    if (!index) return fetch_error();
    obj = index.get();
  }
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) return fetch_error();
  return static_cast<std::int64_t>(v);
}

Result<std::uint64_t> to_u64(PyObject* obj) {
  Owned index;
  if (!PyLong_Check(obj)) {
    index = Owned::steal(PyNumber_Index(obj));
    if (!index) return fetch_error();
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fetch_error();
  return static_cast<std::uint64_t>(v);
}

template <class T, Result<T> (*Convert)(PyObject*)>
Status arg_slow(PyObject* obj, const char* name, T& out) {
  Result<T> r = Convert(obj);
  if (!r) return argument_error(std::move(r).error(), name);
  out = std::move(*r);
  return Unit{};
}

template Status arg_slow<std::uint64_t, to_u64>(PyObject*, const char*, std::uint64_t&);
template Status arg_slow<Str, to_str_slow>(PyObject*, const char*, Str&);

Result<bool> to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  // numpy's boolean scalars answer through their type's __bool__.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Owned module = Owned::steal(PyObject_GetAttrString(type, "__module__"));
  Owned name = module ? Owned::steal(PyObject_GetAttrString(type, "__name__")) : Owned();
  if (!module || !name) {
    Error error = fetch_error();
    if (ends_the_call(error)) return error;
    return conversion_error(obj, messages::kToBool);
  }
  const bool numpy = PyUnicode_Check(module.get()) &&
                     PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                     PyUnicode_Check(name.get()) &&
                     (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                      PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
  if (!numpy) return conversion_error(obj, messages::kToBool);
  Owned method = Owned::steal(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    Error error = fetch_error();
    if (ends_the_call(error)) return error;
    std::string shown = lenient_str(type).value_or(std::string());
    return type_error(messages::no_bool_conversion(shown));
  }
  Owned r = Owned::steal(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (!r) return fetch_error();
  if (r.get() == Py_True) return true;
  if (r.get() == Py_False) return false;
  return conversion_error(r.get(), messages::kToBool);
}

Result<PyObject*> to_sequence(PyObject* obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) return obj;
  PyObject*& sequence_abc = state().sequence_abc;
  if (!sequence_abc) {
    Owned abc = Owned::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return fetch_error();
    PyObject* seq = PyObject_GetAttrString(abc.get(), "Sequence");
    if (!seq) return fetch_error();
    if (sequence_abc) {
      Py_DECREF(seq);
    } else {
      sequence_abc = seq;
    }
  }
  const int is = PyObject_IsInstance(obj, sequence_abc);
  if (is < 0) {
    PyErr_WriteUnraisable(obj);
    return conversion_error(obj, messages::kToSequence);
  }
  if (is == 0) return conversion_error(obj, messages::kToSequence);
  return obj;
}

namespace {

template <std::size_t Width, class Row>
Status add_row(StrRows<Width, Row>& out, PyObject* item) {
  if constexpr (Width == 1) {
    KESTRELITE_TRY(s, to_str(item));
    out.rows.push_back(s.view);
    if (s.keep) [[unlikely]] out.keep.push_back(std::move(s.keep));
  } else {
    if (!PyTuple_Check(item)) return conversion_error(item, messages::kToTuple);
    const Py_ssize_t n = PyTuple_Size(item);
    if (n != static_cast<Py_ssize_t>(Width)) {
      return value_error(messages::tuple_length(Width, static_cast<std::size_t>(n)));
    }
    const char* data[Width];
    Py_ssize_t size[Width];
    for (std::size_t k = 0; k < Width; ++k) {
      KESTRELITE_TRY(s, to_str(PyTuple_GetItem(item, static_cast<Py_ssize_t>(k))));
      data[k] = s.view.data();
      size[k] = static_cast<Py_ssize_t>(s.view.size());
      if (s.keep) [[unlikely]] out.keep.push_back(std::move(s.keep));
    }
    out.rows.emplace_back_made([&] { return to_row<Row>(data, size); });
    out.tuples.push_back(item);
  }
  return Unit{};
}

}  // namespace

template <std::size_t Width, class Row>
Status to_str_rows(PyObject* obj, StrRows<Width, Row>& out, Holding holding) {
  // A plain list or tuple iterates exactly as indexing does, and no Python code runs while
  // its items are read, so they are read directly. Each item is held when the caller may run
  // Python code later in the call (another argument's __index__), which may change the list.
  const bool list = PyList_CheckExact(obj);
  if (list || PyTuple_CheckExact(obj)) {
    const Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
    out.rows.reserve(static_cast<std::size_t>(n));
    const bool hold = holding == Holding::kItems;
    if (hold && !list) out.keep.push_back(Owned::borrow(obj));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
      if (!item) return fetch_error();  // a list emptied while it was read
      if (hold && list) out.keep.push_back(Owned::borrow(item));
      KESTRELITE_CHECK(add_row(out, item));
    }
    return Unit{};
  }
  if (PyUnicode_Check(obj)) return type_error(messages::kStrIsNotAList);
  if (!PySequence_Check(obj)) return conversion_error(obj, messages::kToSequence);
  // The length only sizes the list in advance, and a sequence may claim more than it yields:
  // trust it up to a bound, and let longer lists grow as they are read.
  constexpr Py_ssize_t kMaxReserve = 1 << 16;
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.rows.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserve)));
  }
  Owned it = Owned::steal(PyObject_GetIter(obj));
  if (!it) return fetch_error();
  while (true) {
    Owned item = Owned::steal(PyIter_Next(it.get()));
    if (!item) {
      if (PyErr_Occurred()) return fetch_error();
      break;
    }
    KESTRELITE_CHECK(add_row(out, item.get()));
    // Items made by the iteration belong to no one else: they are always held.
    out.keep.push_back(std::move(item));
  }
  return Unit{};
}

template Status to_str_rows(PyObject*, StrList&, Holding);
template Status to_str_rows(PyObject*, StrRows<3, core::Join>&, Holding);
template Status to_str_rows(PyObject*, StrRows<3, core::Condition>&, Holding);
template Status to_str_rows(PyObject*, StrRows<2, core::OrderTerm>&, Holding);

DictWalk::DictWalk(PyObject* dict) noexcept
    : dict_(dict), start_size_(PyDict_Size(dict)), countdown_(start_size_) {}

Error DictWalk::changed() const {
  if (PyDict_Size(dict_) != start_size_)
    return Error::panic(messages::kDictChangedSize);
  return Error::panic(messages::kDictKeysChanged);
}

// ---- results ---------------------------------------------------------------------------------

Result<Owned> creation_failed() {
  if (PyErr_Occurred()) PyErr_Print();
  return Error::panic(messages::kApiCallFailed);
}

Result<Owned> new_int(std::int64_t v) {
  return checked(PyLong_FromLongLong(static_cast<long long>(v)));
}
Result<Owned> new_count(std::size_t v) { return checked(PyLong_FromSize_t(v)); }
Result<Owned> new_float(double v) { return checked(PyFloat_FromDouble(v)); }
Owned new_bool(bool v) noexcept { return Owned::borrow(v ? Py_True : Py_False); }
Owned new_none() noexcept { return Owned::borrow(Py_None); }

}  // namespace kestrelite::python

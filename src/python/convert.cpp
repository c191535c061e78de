#include "python/convert.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "core/compiler.hpp"
#include "core/text.hpp"
#include "python/messages.hpp"

namespace kestrelite::python {

Status read_str_other(PyObject* obj, Str& out) {
  if (!PyUnicode_Check(obj)) return conversion_error(obj, messages::kToStr);
  if (const auto lend = state().runtime.as_utf8_and_size) {
    Py_ssize_t size = 0;
    const char* data = lend(obj, &size);
    if (!data) return fetch_error();
    out.view = std::string_view(data, static_cast<std::size_t>(size));
    return Unit{};
  }
  // 3.9 lends no UTF-8 in the stable ABI: the bytes are a copy that `out` keeps.
  Owned bytes = Owned::steal(PyUnicode_AsUTF8String(obj));
  if (!bytes) return fetch_error();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return fetch_error();
  out.view = std::string_view(data, static_cast<std::size_t>(size));
  out.owner = std::move(bytes);
  return Unit{};
}

namespace {

// An int (a subclass too) as it is, anything else through its __index__, which `holder`
// then keeps.
Result<PyObject*> as_int(PyObject* obj, Owned& holder) {
  if (PyLong_CheckExact(obj) || PyLong_Check(obj)) return obj;
  holder = Owned::steal(PyNumber_Index(obj));
  if (!holder) return fetch_error();
  return holder.get();
}

}  // namespace

Result<std::int64_t> to_i64_other(PyObject* obj) {
  Owned holder;
  KESTRELITE_TRY(number, as_int(obj, holder));
  const long long v = PyLong_AsLongLong(number);
  if (v == -1 && PyErr_Occurred()) return fetch_error();
  return static_cast<std::int64_t>(v);
}

Result<std::uint64_t> to_u64(PyObject* obj) {
  Owned holder;
  KESTRELITE_TRY(number, as_int(obj, holder));
  const unsigned long long v = PyLong_AsUnsignedLongLong(number);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fetch_error();
  return static_cast<std::uint64_t>(v);
}

Status u64_arg_other(PyObject* obj, const char* name, std::uint64_t& out) {
  Result<std::uint64_t> r = to_u64(obj);
  if (!r) return argument_error(std::move(r).error(), name);
  out = *r;
  return Unit{};
}

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

template <std::size_t Width, class Row>
Status read_iterated_rows(PyObject* obj, StrRows<Width, Row>& out) {
  if (PyUnicode_Check(obj)) return type_error(messages::kStrIsNotAList);
  if (!PySequence_Check(obj)) return conversion_error(obj, messages::kToSequence);
  // The length only sizes the rows in advance, and a sequence may claim more than it yields:
  // trust it up to a bound, and let longer ones grow as they are read.
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
      return Unit{};
    }
    KESTRELITE_CHECK(add_row(out, item.get()));
    out.items.emplace_back(item.release());
  }
}

template Status read_iterated_rows(PyObject*, StrList&);
template Status read_iterated_rows(PyObject*, StrRows<3, core::Join>&);
template Status read_iterated_rows(PyObject*, StrRows<3, core::Condition>&);
template Status read_iterated_rows(PyObject*, StrRows<2, core::OrderTerm>&);

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

// The text form of any value, as the state tracker and the batch aggregator compare it.

#include <string>

#include "core/text.hpp"
#include "python/convert.hpp"
#include "python/messages.hpp"

namespace kestrelite::python {

namespace {

/// Whether str() of `value` is the decimal text of an int: an int whose type keeps int's own
/// __str__ and __repr__.
bool prints_as_int(PyObject* value) {
  if (PyLong_CheckExact(value)) return true;
  if (!PyLong_Check(value)) return false;
  const auto same_method = [value](const char* name) {
    Owned own = Owned::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), name));
    Owned base =
        Owned::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), name));
    return own && base && own.get() == base.get();
  };
  const bool plain = same_method("__str__") && same_method("__repr__");
  PyErr_Clear();  // a look-up that failed only means the text is not known here
  return plain;
}

/// The exact decimal text of int `value` as a new str, whatever the interpreter's int-to-str
/// limit: by way of decimal.Decimal, whose conversion from an int is exact and is not
/// governed by that limit, so no process-wide setting is touched. Null with the exception set.
Owned decimal_digits(PyObject* value) {
  Owned decimal = Owned::steal(PyImport_ImportModule("decimal"));
  if (!decimal) return Owned();
  Owned decimal_type = Owned::steal(PyObject_GetAttrString(decimal.get(), "Decimal"));
  if (!decimal_type) return Owned();
  // An int subclass converts as the int it holds.
  Owned number = Owned::steal(PyNumber_Index(value));
  if (!number) return Owned();
  Owned exact =
      Owned::steal(PyObject_CallFunctionObjArgs(decimal_type.get(), number.get(), nullptr));
  if (!exact) return Owned();
  return Owned::steal(PyObject_Str(exact.get()));
}

}  // namespace

template <class Out>
Status append_text_form(Out& out, PyObject* value) {
  // The common row values have a text known without asking the interpreter for a new str:
  // str() of an exact int is its decimal digits, of None "None", of an exact float its repr,
  // of an exact str itself.
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
      core::append_decimal(out, static_cast<std::int64_t>(v));
      return Unit{};
    }
    PyErr_Clear();
  } else if (value == Py_None) {
    out += "None";
    return Unit{};
  } else if (PyFloat_CheckExact(value)) {
    core::append_float_repr(out, PyFloat_AsDouble(value));
    return Unit{};
  } else if (PyUnicode_CheckExact(value)) {
    Str text;
    if (read_str(value, text)) {
      out.append(text.view.data(), text.view.size());
      return Unit{};
    }
    // Lone surrogates: the general path below replaces them.
  }
  Owned s = Owned::steal(PyObject_Str(value));
  if (!s && PyErr_ExceptionMatches(PyExc_ValueError) && prints_as_int(value)) {
    // Past the interpreter's int-to-str limit: the digits come from the one conversion
    // that limit does not govern.
    PyErr_Clear();
    s = decimal_digits(value);
  }
  if (s) {
    Str text;
    Status read = read_str(s.get(), text);
    if (read) {
      out.append(text.view.data(), text.view.size());
      return Unit{};
    }
    if (!PyErr_GivenExceptionMatches(read.error().type(), PyExc_UnicodeEncodeError))
      return std::move(read).error();
    Owned bytes = Owned::steal(PyUnicode_AsEncodedString(s.get(), "utf-8", "surrogatepass"));
    if (!bytes) return fetch_error();
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return fetch_error();
    core::append_utf8_lossy(out, std::string_view(data, static_cast<std::size_t>(size)));
    return Unit{};
  }
  PyErr_WriteUnraisable(value);
  Owned name = Owned::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    if (Result<Str> n = to_str(name.get())) {
      out += messages::unprintable(n->view);
      return Unit{};
    }
  }
  PyErr_Clear();
  out += messages::unprintable(std::nullopt);
  return Unit{};
}

template Status append_text_form(std::string&, PyObject*);
template Status append_text_form(core::SmallText&, PyObject*);

}  // namespace kestrelite::python

#include "python/result.hpp"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "core/text.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/messages.hpp"

namespace kestrelite::python {

namespace {

/// UTF-8 of a str object into `out`, leniently; false when it is not a str or cannot be read.
bool append_str_lossy(std::string& out, PyObject* s) {
  if (!s || !PyUnicode_Check(s)) return false;
  Owned bytes = Owned::steal(PyUnicode_AsUTF8String(s));
  if (!bytes) {
    PyErr_Clear();
    bytes = Owned::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    if (!bytes) {
      PyErr_Clear();
      return false;
    }
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    PyErr_Clear();
    return false;
  }
  core::append_utf8_lossy(out, std::string_view(data, static_cast<std::size_t>(size)));
  return true;
}

std::string type_qualname(PyObject* obj) {
  Owned name = Owned::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  std::string out;
  if (!name || !append_str_lossy(out, name.get())) {
    PyErr_Clear();
    return messages::kUnknownTypeName;
  }
  return out;
}

}  // namespace

std::optional<std::string> lenient_str(PyObject* obj) {
  Owned s = Owned::steal(PyObject_Str(obj));
  std::string out;
  if (!s || !append_str_lossy(out, s.get())) {
    PyErr_Clear();
    return std::nullopt;
  }
  return out;
}

void drop_error(Error* error) noexcept { delete error; }

PyObject* Error::type() const noexcept {
  switch (kind_) {
    case Kind::kMessage:
      return type_;
    case Kind::kFetched:
      return fetched_type_.get();
    case Kind::kPanic:
      return panic_exception_type();
  }
  return nullptr;
}

namespace {

/// Raises `type` with `text` as its message, all of its bytes: a U+0000 inside cuts nothing.
void raise_text(PyObject* type, std::string_view text) noexcept {
  Owned message = Owned::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;  // the interpreter's own failure stays raised
  PyErr_SetObject(type, message.get());
}

}  // namespace

void Error::restore() && {
  switch (kind_) {
    case Kind::kMessage:
      raise_text(type_, text_);
      return;
    case Kind::kFetched:
      PyErr_Restore(fetched_type_.release(), value_.release(), traceback_.release());
      return;
    case Kind::kPanic:
      raise_panic(text_);
      return;
  }
}

Owned Error::into_exception() && {
  std::move(*this).restore();
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (v && tb) PyException_SetTraceback(v, tb);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  return Owned::steal(v);
}

PyObject* panic_exception_type() {
  PyObject*& panic = state().panic_type;
  if (!panic) {
    PyObject* t = PyErr_NewExceptionWithDoc(messages::kPanicTypeName, messages::kPanicDoc,
                                            PyExc_BaseException, nullptr);
    if (!t) return nullptr;
    // Creation can run Python code; the first value stored wins.
    if (panic) {
      Py_DECREF(t);
    } else {
      panic = t;
    }
  }
  return panic;
}

void raise_panic(std::string_view text) noexcept {
  PyObject* t = panic_exception_type();
  if (!t) return;  // the creation failure stays raised
  raise_text(t, text.empty() ? messages::kGenericPanic : text);
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    // The core's own words: a std::length_error says which capacity overflowed.
    raise_panic(e.what());
  } catch (...) {
    raise_panic(messages::kGenericPanic);
  }
}

Error fetch_error() {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  if (!t) return Error::message(PyExc_SystemError, messages::kNoExceptionSet);
  PyObject* panic = panic_exception_type();
  if (panic && PyErr_GivenExceptionMatches(t, panic)) {
    // A panic of this module raised in a nested call, coming back through Python code.
    PyErr_NormalizeException(&t, &v, &tb);
    std::optional<std::string> text = v ? lenient_str(v) : std::nullopt;
    std::fputs(messages::kNestedPanic, stderr);
    PyErr_Restore(t, v, tb);
    PyErr_PrintEx(0);
    return Error::panic(text ? *text : messages::kUnwrappedPanic);
  }
  if (!panic) PyErr_Clear();
  return Error::fetched(Owned::steal(t), Owned::steal(v), Owned::steal(tb));
}

bool ends_the_call(const Error& error) noexcept {
  PyObject* type = error.type();
  return !type || PyErr_GivenExceptionMatches(type, PyExc_MemoryError) ||
         !PyErr_GivenExceptionMatches(type, PyExc_Exception);
}

Error type_error(std::string text) { return Error::message(PyExc_TypeError, std::move(text)); }
Error value_error(std::string text) { return Error::message(PyExc_ValueError, std::move(text)); }

Error conversion_error(PyObject* obj, const char* target) {
  return type_error(messages::cannot_convert(type_qualname(obj), target));
}

Error receiver_error(PyObject* self, const char* class_name) {
  return conversion_error(self, class_name);
}

Error argument_error(Error error, const char* name) {
  if (error.type() != PyExc_TypeError) return error;
  std::string prefix = messages::argument_prefix(name);
  if (error.kind() == Error::Kind::kMessage) return type_error(prefix + error.text());
  Owned first = std::move(error).into_exception();
  if (!first) return fetch_error();
  if (Status text = append_text_form(prefix, first.get()); !text) return std::move(text).error();
  Owned message = Owned::steal(PyUnicode_FromStringAndSize(prefix.data(), prefix.size()));
  if (!message) return fetch_error();
  Owned second = Owned::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!second) return fetch_error();
  PyException_SetCause(second.get(), PyException_GetCause(first.get()));  // steals the cause
  Owned type = Owned::borrow(PyExc_TypeError);
  return Error::fetched(std::move(type), std::move(second), Owned());
}

}  // namespace kestrelite::python

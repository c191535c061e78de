#include "python/binding.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "core/compiler.hpp"
#include "core/text.hpp"
#include "python/messages.hpp"

// The stable ABI has this function from 3.10 on, so the headers declare it only for a build
// that targets 3.10. A weak reference is bound by the dynamic loader to the running
// interpreter's own symbol when the module loads, and is null where there is none.
extern "C" [[gnu::weak]] const char* PyUnicode_AsUTF8AndSize(PyObject*, Py_ssize_t*);

namespace kestrelite::python {

ModuleState g_state;

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

/// The lenient text of str(obj), or nullopt when str() fails (its error cleared).
std::optional<std::string> lenient_str(PyObject* obj) {
  Owned s = Owned::steal(PyObject_Str(obj));
  std::string out;
  if (!s || !append_str_lossy(out, s.get())) {
    PyErr_Clear();
    return std::nullopt;
  }
  return out;
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

std::string full_name(const FunctionDescription& d) {
  return messages::function_name(d.class_name, d.function_name);
}

[[gnu::cold, gnu::noinline]] Error too_many_positional(const FunctionDescription& d,
                                                        std::size_t given) {
  return type_error(
      messages::too_many_positional(full_name(d), d.required, d.params.size(), given));
}

[[gnu::cold, gnu::noinline]] Error missing_required(const FunctionDescription& d,
                                                     const Slots& slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < d.required; ++i)
    if (!slots[i]) missing.push_back(d.params[i]);
  return type_error(messages::missing_required(full_name(d), missing));
}

/// Places one keyword argument, or reports why it cannot be placed. A key that has no UTF-8
/// form (a lone surrogate) counts as unrecognised; any other failure to read it (no memory
/// for the copy 3.9 makes) is the call's error.
Status place_keyword(const FunctionDescription& d, PyObject* key, PyObject* value, Slots& slots) {
  if (PyUnicode_Check(key)) {
    Result<Str> s = to_str(key);
    if (!s && !PyErr_GivenExceptionMatches(s.error().type(), PyExc_UnicodeError))
      return std::move(s).error();
    if (s) {
      for (std::size_t i = 0; i < d.params.size(); ++i) {
        if (s->view != d.params[i]) continue;
        if (slots[i]) {
          return type_error(messages::multiple_values(full_name(d), d.params[i]));
        }
        slots[i] = value;
        return Unit{};
      }
    }
  }
  std::string shown;
  KESTRELITE_CHECK(append_text_form(shown, key));
  return type_error(messages::unexpected_keyword(full_name(d), shown));
}

/// Interns the parameter names once; a name that cannot be made now is tried again on the
/// next call, and meanwhile found by its text.
void prepare_names(const FunctionDescription& d, KeywordNames& names) noexcept {
  if (names.ready) return;
  bool all = true;
  for (std::size_t i = 0; i < d.params.size(); ++i) {
    if (names.interned[i]) continue;
    PyObject* s = PyUnicode_FromStringAndSize(d.params[i].data(),
                                              static_cast<Py_ssize_t>(d.params[i].size()));
    if (!s) {
      PyErr_Clear();
      all = false;
      continue;
    }
    PyUnicode_InternInPlace(&s);
    names.interned[i] = s;
  }
  names.ready = all;
}

/// Places a keyword whose key is a parameter's interned name itself; anything else (another
/// object, a repeated parameter) goes to place_keyword, which also words the errors. Callers
/// mostly write the keywords in the order of the parameters, right after the positional
/// arguments, so parameter `guess` is tried first.
inline Status place_keyword_by_name(const FunctionDescription& d, KeywordNames* names,
                                    PyObject* key, PyObject* value, Slots& slots,
                                    std::size_t guess) {
  if (names) {
    if (guess < d.params.size() && names->interned[guess] == key && !slots[guess]) [[likely]] {
      slots[guess] = value;
      return Unit{};
    }
    for (std::size_t i = 0; i < d.params.size(); ++i) {
      if (names->interned[i] != key) continue;
      if (slots[i]) break;
      slots[i] = value;
      return Unit{};
    }
  }
  return place_keyword(d, key, value, slots);
}

Status finish_match(const FunctionDescription& d, std::size_t nargs, const Slots& slots) {
  if (nargs < d.required) {
    for (std::size_t i = nargs; i < d.required; ++i)
      if (!slots[i]) return missing_required(d, slots);
  }
  return Unit{};
}

}  // namespace

// ---- errors ---------------------------------------------------------------------------------

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

// ---- runtime ------------------------------------------------------------------------------

Status init_runtime() {
  const char* version = Py_GetVersion();
  int major = 0, minor = 0;
  if (std::sscanf(version, "%d.%d", &major, &minor) != 2 || major != 3)
    return Error::panic(messages::kUnknownVersion);
  state().runtime.minor = minor;
  // 3.9 exports the function too, outside the stable ABI: it is used only where promised.
  if (minor >= 10) state().runtime.as_utf8_and_size = &PyUnicode_AsUTF8AndSize;
  return Unit{};
}

// ---- matching ------------------------------------------------------------------------------

Status match_tuple(const FunctionDescription& d, PyObject* args, PyObject* kwargs, Slots& slots,
                   KeywordNames* names) {
  const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  if (nargs < 0) return fetch_error();
  const auto given = static_cast<std::size_t>(nargs);
  if (given > d.params.size()) return too_many_positional(d, given);
  for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (kwargs) {
    if (names) prepare_names(d, *names);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (std::size_t guess = given; PyDict_Next(kwargs, &pos, &key, &value); ++guess)
      KESTRELITE_CHECK(place_keyword_by_name(d, names, key, value, slots, guess));
  }
  return finish_match(d, given, slots);
}

Status match_vector(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Slots& slots, KeywordNames* names) {
  // PY_VECTORCALL_ARGUMENTS_OFFSET may be set in nargs by a vectorcall caller.
  const auto given =
      static_cast<std::size_t>(nargs & ~(static_cast<Py_ssize_t>(1) << (8 * sizeof(Py_ssize_t) - 1)));
  if (given > d.params.size()) return too_many_positional(d, given);
  for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
  if (kwnames) {
    if (names) prepare_names(d, *names);
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      const std::size_t at = given + static_cast<std::size_t>(k);
      KESTRELITE_CHECK(
          place_keyword_by_name(d, names, PyTuple_GetItem(kwnames, k), args[at], slots, at));
    }
  }
  return finish_match(d, given, slots);
}

// ---- conversions ----------------------------------------------------------------------------

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
  } else if (PyUnicode_CheckExact(value) && state().runtime.as_utf8_and_size) {
    Py_ssize_t size = 0;
    if (const char* data = state().runtime.as_utf8_and_size(value, &size)) {
      out.append(data, static_cast<std::size_t>(size));
      return Unit{};
    }
    PyErr_Clear();  // lone surrogates: the general path below replaces them
  }
  Owned s = Owned::steal(PyObject_Str(value));
  if (!s && PyErr_ExceptionMatches(PyExc_ValueError) && prints_as_int(value)) {
    // Past the interpreter's int-to-str limit: the digits come from the one conversion
    // that limit does not govern.
    PyErr_Clear();
    s = decimal_digits(value);
  }
  if (s) {
    if (state().runtime.as_utf8_and_size) {
      Py_ssize_t size = 0;
      const char* data = state().runtime.as_utf8_and_size(s.get(), &size);
      if (data) {
        out.append(data, static_cast<std::size_t>(size));
        return Unit{};
      }
    } else {
      Owned bytes = Owned::steal(PyUnicode_AsUTF8String(s.get()));
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (bytes && PyBytes_AsStringAndSize(bytes.get(), &data, &size) == 0) {
        out.append(data, static_cast<std::size_t>(size));
        return Unit{};
      }
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return fetch_error();
    PyErr_Clear();
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

// ---- classes ---------------------------------------------------------------------------------

namespace {

/// The class's method table, made once for the process: the calling convention it names is
/// the running interpreter's, the same in each of its lifetimes.
PyMethodDef* method_table(ClassDef& def) {
  if (def.method_table) return def.method_table;
  auto* table = new PyMethodDef[def.methods.size() + 1]();
  for (std::size_t i = 0; i < def.methods.size(); ++i) {
    const MethodEntry& m = def.methods[i];
    PyMethodDef& out = table[i];
    out.ml_name = m.name;
    out.ml_doc = m.doc;
    if (!m.vector_entry) {
      out.ml_meth = m.tuple_entry;
      out.ml_flags = METH_NOARGS | m.extra_flags;
    } else if (state().runtime.fastcall()) {
      constexpr int kMethFastcall = 0x0080;  // in the stable ABI from 3.10
      out.ml_meth = m.vector_entry;
      out.ml_flags = kMethFastcall | METH_KEYWORDS | m.extra_flags;
    } else {
      out.ml_meth = m.tuple_entry;
      out.ml_flags = METH_VARARGS | METH_KEYWORDS | m.extra_flags;
    }
  }
  def.method_table = table;
  return table;
}

}  // namespace

Result<PyObject*> class_type(ClassDef& def) {
  PyObject*& slot = state().types[static_cast<std::size_t>(def.id)];
  if (slot) return slot;
  constexpr std::string_view kPrefix = "builtins.";
  const std::string_view name = def.name;
  if (kPrefix.size() + name.size() >= def.spec_name.size())
    return Error::message(PyExc_SystemError, messages::kClassNameTooLong);
  std::copy(kPrefix.begin(), kPrefix.end(), def.spec_name.begin());
  std::copy(name.begin(), name.end(), def.spec_name.begin() + kPrefix.size());
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(def.doc)},
      {Py_tp_new, reinterpret_cast<void*>(def.tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(def.tp_dealloc)},
      {Py_tp_methods, method_table(def)},
      {0, nullptr},
  };
  PyType_Spec spec{def.spec_name.data(), def.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (!type) return fetch_error();
  if (slot) {
    Py_DECREF(type);
  } else {
    slot = type;
  }
  return slot;
}

// ---- the module state ------------------------------------------------------------------------

void reset_state() noexcept {
  ModuleState& s = state();
  // Every reference is taken out of the state before it is dropped: dropping one may run
  // code that reaches the state again.
  const auto drop = [](PyObject*& p) { Py_XDECREF(std::exchange(p, nullptr)); };
  for (PyObject*& t : s.types) drop(t);
  drop(s.panic_type);
  drop(s.sequence_abc);
  for (PyObject*& n : s.diff_attribute_names) drop(n);
  for (KeywordNames& names : s.keyword_names) {
    names.ready = false;
    for (PyObject*& n : names.interned) drop(n);
  }
  s.module = nullptr;
  s.runtime = Runtime();
  std::string().swap(s.statement);
  if (!s.migration_leased) s.migration = core::MigrationText();
}

}  // namespace kestrelite::python

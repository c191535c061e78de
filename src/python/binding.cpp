#include "python/binding.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "core/compiler.hpp"
#include "core/text.hpp"

// The stable ABI has this function from 3.10 on, so the headers declare it only for a build
// that targets 3.10. A weak reference is bound by the dynamic loader to the running
// interpreter's own symbol when the module loads, and is null where there is none.
extern "C" [[gnu::weak]] const char* PyUnicode_AsUTF8AndSize(PyObject*, Py_ssize_t*);

namespace kestrelite::python {

Runtime g_runtime;

namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails unexpectedly.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it usually "
    "propagates to the top and ends the interpreter instead of being caught by an "
    "'except Exception' clause.";
constexpr const char* kGenericPanic = "native code failed unexpectedly";
constexpr const char* kNoneSet = "attempted to fetch exception but none was set";

PyObject* g_panic_type = nullptr;
PyObject* g_sequence_abc = nullptr;

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
    return "<failed to extract type name>";
  }
  return out;
}

std::string full_name(const FunctionDescription& d) {
  std::string out;
  if (d.class_name) {
    out += d.class_name;
    out += '.';
  }
  out += d.function_name;
  out += "()";
  return out;
}

std::string number(std::size_t n) {
  std::string s;
  core::append_decimal(s, static_cast<std::uint64_t>(n));
  return s;
}

[[gnu::cold, gnu::noinline]] Error too_many_positional(const FunctionDescription& d,
                                                        std::size_t given) {
  std::string m = full_name(d);
  if (d.required == d.params.size()) {
    m += " takes " + number(d.params.size());
  } else {
    m += " takes from " + number(d.required) + " to " + number(d.params.size());
  }
  m += " positional arguments but " + number(given) + (given == 1 ? " was" : " were") + " given";
  return type_error(std::move(m));
}

[[gnu::cold, gnu::noinline]] Error missing_required(const FunctionDescription& d,
                                                     const Slots& slots) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < d.required; ++i)
    if (!slots[i]) missing.push_back(d.params[i]);
  std::string m = full_name(d) + " missing " + number(missing.size()) + " required positional " +
                  (missing.size() == 1 ? "argument" : "arguments") + ": ";
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() > 2) m += ",";
      m += " ";
      if (i + 1 == missing.size()) m += "and ";
    }
    m += "'";
    m += missing[i];
    m += "'";
  }
  return type_error(std::move(m));
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
          return type_error(full_name(d) + " got multiple values for argument '" +
                            std::string(d.params[i]) + "'");
        }
        slots[i] = value;
        return Unit{};
      }
    }
  }
  std::string shown;
  KESTRELITE_CHECK(append_text_form(shown, key));
  return type_error(full_name(d) + " got an unexpected keyword argument '" + shown + "'");
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

void Error::restore() && {
  switch (kind_) {
    case Kind::kMessage:
      PyErr_SetString(type_, text_.c_str());
      return;
    case Kind::kFetched:
      PyErr_Restore(fetched_type_.release(), value_.release(), traceback_.release());
      return;
    case Kind::kPanic:
      raise_panic(text_.c_str());
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
  if (!g_panic_type) {
    PyObject* t = PyErr_NewExceptionWithDoc("_kestrelite_rs.PanicException", kPanicDoc,
                                            PyExc_BaseException, nullptr);
    if (!t) return nullptr;
    // Creation can run Python code; the first value stored wins.
    if (g_panic_type) {
      Py_DECREF(t);
    } else {
      g_panic_type = t;
    }
  }
  return g_panic_type;
}

void raise_panic(const char* text) noexcept {
  PyObject* t = panic_exception_type();
  if (!t) return;  // the creation failure stays raised
  PyErr_SetString(t, text && *text ? text : kGenericPanic);
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    raise_panic("capacity overflow");
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic(kGenericPanic);
  }
}

Error fetch_error() {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  if (!t) return Error::message(PyExc_SystemError, kNoneSet);
  PyObject* panic = panic_exception_type();
  if (panic && PyErr_GivenExceptionMatches(t, panic)) {
    // A panic of this module raised in a nested call, coming back through Python code.
    PyErr_NormalizeException(&t, &v, &tb);
    std::optional<std::string> text = v ? lenient_str(v) : std::nullopt;
    std::fputs("native code panicked again while handling a panic raised from Python code\n"
               "the Python traceback of the nested panic follows:\n",
               stderr);
    PyErr_Restore(t, v, tb);
    PyErr_PrintEx(0);
    return Error::panic(text ? *text : "Unwrapped panic from Python code");
  }
  if (!panic) PyErr_Clear();
  return Error::fetched(Owned::steal(t), Owned::steal(v), Owned::steal(tb));
}

Error type_error(std::string text) { return Error::message(PyExc_TypeError, std::move(text)); }
Error value_error(std::string text) { return Error::message(PyExc_ValueError, std::move(text)); }

Error conversion_error(PyObject* obj, const char* target) {
  return type_error("'" + type_qualname(obj) + "' object cannot be converted to '" + target + "'");
}

Error receiver_error(PyObject* self, const char* class_name) {
  return conversion_error(self, class_name);
}

Error argument_error(Error error, const char* name) {
  if (error.type() != PyExc_TypeError) return error;
  std::string prefix = std::string("argument '") + name + "': ";
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
    return Error::panic("unrecognised interpreter version");
  g_runtime.minor = minor;
  // 3.9 exports the function too, outside the stable ABI: it is used only where promised.
  if (minor >= 10) g_runtime.as_utf8_and_size = &PyUnicode_AsUTF8AndSize;
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
  if (!PyUnicode_Check(obj)) return conversion_error(obj, "PyString");
  if (g_runtime.as_utf8_and_size) {
    Py_ssize_t size = 0;
    const char* data = g_runtime.as_utf8_and_size(obj, &size);
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
  const long v = PyLong_AsLong(obj);
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
    PyErr_Clear();
    return conversion_error(obj, "PyBool");
  }
  const bool numpy = PyUnicode_Check(module.get()) &&
                     PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                     PyUnicode_Check(name.get()) &&
                     (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                      PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
  if (!numpy) return conversion_error(obj, "PyBool");
  Owned method = Owned::steal(PyObject_GetAttrString(type, "__bool__"));
  if (!method) {
    PyErr_Clear();
    std::string shown = lenient_str(type).value_or(std::string());
    return type_error("object of type '" + shown + "' does not define a '__bool__' conversion");
  }
  Owned r = Owned::steal(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (!r) return fetch_error();
  if (r.get() == Py_True) return true;
  if (r.get() == Py_False) return false;
  return conversion_error(r.get(), "PyBool");
}

Result<PyObject*> to_sequence(PyObject* obj) {
  if (PyList_Check(obj) || PyTuple_Check(obj)) return obj;
  if (!g_sequence_abc) {
    Owned abc = Owned::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return fetch_error();
    PyObject* seq = PyObject_GetAttrString(abc.get(), "Sequence");
    if (!seq) return fetch_error();
    if (g_sequence_abc) {
      Py_DECREF(seq);
    } else {
      g_sequence_abc = seq;
    }
  }
  const int is = PyObject_IsInstance(obj, g_sequence_abc);
  if (is < 0) {
    PyErr_WriteUnraisable(obj);
    return conversion_error(obj, "Sequence");
  }
  if (is == 0) return conversion_error(obj, "Sequence");
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
    if (!PyTuple_Check(item)) return conversion_error(item, "PyTuple");
    const Py_ssize_t n = PyTuple_Size(item);
    if (n != static_cast<Py_ssize_t>(Width)) {
      return value_error("expected tuple of length " + number(Width) +
                         ", but got tuple of length " + number(static_cast<std::size_t>(n)));
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
  if (PyUnicode_Check(obj)) return type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) return conversion_error(obj, "Sequence");
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
  } else if (PyUnicode_CheckExact(value) && g_runtime.as_utf8_and_size) {
    Py_ssize_t size = 0;
    if (const char* data = g_runtime.as_utf8_and_size(value, &size)) {
      out.append(data, static_cast<std::size_t>(size));
      return Unit{};
    }
    PyErr_Clear();  // lone surrogates: the general path below replaces them
  }
  Owned s = Owned::steal(PyObject_Str(value));
  if (s) {
    if (g_runtime.as_utf8_and_size) {
      Py_ssize_t size = 0;
      const char* data = g_runtime.as_utf8_and_size(s.get(), &size);
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
      out += "<unprintable ";
      out += n->view;
      out += " object>";
      return Unit{};
    }
  }
  PyErr_Clear();
  out += "<unprintable object>";
  return Unit{};
}

template Status append_text_form(std::string&, PyObject*);
template Status append_text_form(core::SmallText&, PyObject*);

DictWalk::DictWalk(PyObject* dict) noexcept
    : dict_(dict), start_size_(PyDict_Size(dict)), countdown_(start_size_) {}

Error DictWalk::changed() const {
  if (PyDict_Size(dict_) != start_size_)
    return Error::panic("dictionary changed size during iteration");
  return Error::panic("dictionary keys changed during iteration");
}

// ---- results ---------------------------------------------------------------------------------

Result<Owned> creation_failed() {
  if (PyErr_Occurred()) PyErr_Print();
  return Error::panic("Python API call failed");
}

Result<Owned> new_int(std::int64_t v) { return checked(PyLong_FromLong(static_cast<long>(v))); }
Result<Owned> new_count(std::size_t v) { return checked(PyLong_FromSize_t(v)); }
Result<Owned> new_float(double v) { return checked(PyFloat_FromDouble(v)); }
Owned new_bool(bool v) noexcept { return Owned::borrow(v ? Py_True : Py_False); }
Owned new_none() noexcept { return Owned::borrow(Py_None); }

// ---- classes ---------------------------------------------------------------------------------

Result<PyObject*> class_type(ClassDef& def) {
  if (def.type) return def.type;
  // The table lives as long as the type, which is kept for the life of the process.
  auto* table = new PyMethodDef[def.methods.size() + 1]();
  for (std::size_t i = 0; i < def.methods.size(); ++i) {
    const MethodEntry& m = def.methods[i];
    PyMethodDef& out = table[i];
    out.ml_name = m.name;
    out.ml_doc = m.doc;
    if (!m.vector_entry) {
      out.ml_meth = m.tuple_entry;
      out.ml_flags = METH_NOARGS | m.extra_flags;
    } else if (g_runtime.fastcall()) {
      constexpr int kMethFastcall = 0x0080;  // in the stable ABI from 3.10
      out.ml_meth = m.vector_entry;
      out.ml_flags = kMethFastcall | METH_KEYWORDS | m.extra_flags;
    } else {
      out.ml_meth = m.tuple_entry;
      out.ml_flags = METH_VARARGS | METH_KEYWORDS | m.extra_flags;
    }
  }
  constexpr std::string_view kPrefix = "builtins.";
  const std::string_view name = def.name;
  if (kPrefix.size() + name.size() >= def.spec_name.size()) {
    delete[] table;
    return Error::message(PyExc_SystemError, "class name too long");
  }
  std::copy(kPrefix.begin(), kPrefix.end(), def.spec_name.begin());
  std::copy(name.begin(), name.end(), def.spec_name.begin() + kPrefix.size());
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(def.doc)},
      {Py_tp_new, reinterpret_cast<void*>(def.tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(def.tp_dealloc)},
      {Py_tp_methods, table},
      {0, nullptr},
  };
  PyType_Spec spec{def.spec_name.data(), def.basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (!type) {
    delete[] table;
    return fetch_error();
  }
  if (def.type) {
    Py_DECREF(type);
  } else {
    def.type = type;
  }
  return def.type;
}

}  // namespace kestrelite::python

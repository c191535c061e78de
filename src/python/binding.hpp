#pragma once
// The one wall between the interpreter and the core: reference handles, error values,
// argument descriptions and matching, conversions, the borrow guard and the entry barrier.
// Every class file is written as: match, take the receiver, convert, call the core, convert
// back.

#ifndef Py_LIMITED_API
#error "the binding is built for the stable ABI only: define Py_LIMITED_API"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/migration_diff.hpp"
#include "core/small_text.hpp"
#include "core/small_vector.hpp"
#include "python/messages.hpp"
#include "python/registry.hpp"

// Checks of the binding's own invariants, on in debug and sanitizer builds.
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__)
#define KESTRELITE_CHECKED_BUILD 1
#include <cstdio>
#include <cstdlib>
#define KESTRELITE_ASSERT(cond)                                                            \
  do {                                                                                     \
    if (!(cond)) [[unlikely]] {                                                            \
      std::fprintf(stderr, "%s:%d: broken invariant: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)
#else
#define KESTRELITE_CHECKED_BUILD 0
#define KESTRELITE_ASSERT(cond) ((void)0)
#endif

namespace kestrelite::python {

// ---- owned references ------------------------------------------------------------

/// The single owner of one strong reference.
class Owned {
 public:
  Owned() noexcept = default;
  static Owned steal(PyObject* p) noexcept { return Owned(p); }
  static Owned borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Owned(p);
  }
  Owned(Owned&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Owned& operator=(Owned&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Owned(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---- error values ----------------------------------------------------------------

/// A failure on its way to the interpreter: either an exception class with a message (the
/// exception object is made only at the boundary), an exception already raised by the
/// interpreter, or an internal failure raised as PanicException.
class Error {
 public:
  enum class Kind { kMessage, kFetched, kPanic };

  static Error message(PyObject* type, std::string text) {
    return Error(Kind::kMessage, type, std::move(text));
  }
  static Error panic(std::string text) { return Error(Kind::kPanic, nullptr, std::move(text)); }
  static Error fetched(Owned type, Owned value, Owned traceback) {
    Error e(Kind::kFetched, nullptr, {});
    e.fetched_type_ = std::move(type);
    e.value_ = std::move(value);
    e.traceback_ = std::move(traceback);
    return e;
  }

  Kind kind() const noexcept { return kind_; }
  /// The exception class this error will raise.
  PyObject* type() const noexcept;
  const std::string& text() const noexcept { return text_; }

  /// Sets this error as the interpreter's current exception.
  void restore() &&;

  /// Turns the error into a normalised exception instance (a new reference), or nullptr with
  /// the interpreter's error set.
  Owned into_exception() &&;

 private:
  Error(Kind kind, PyObject* type, std::string text)
      : kind_(kind), type_(type), text_(std::move(text)) {}

  Kind kind_;
  PyObject* type_;  // a long-lived exception class for kMessage
  std::string text_;
  Owned fetched_type_, value_, traceback_;
};

struct Unit {};

/// The address Result uses to mark a result whose error moved out.
inline constexpr char kEmptyResultMark = 0;

/// Frees an error a result held; out of line, so that dropping a result stays a pointer test.
[[gnu::cold, gnu::noinline]] void drop_error(Error* error) noexcept;

/// Either a value or an Error. The error lives on the heap, made only on the failure path,
/// so checking or dropping a successful result costs a test of one word. A result moved from
/// while it held an error is empty: it reports !ok(), and neither its value nor its error may
/// be read.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept(std::is_nothrow_move_constructible_v<T>)  // NOLINT: implicit
  {
    ::new (static_cast<void*>(&value_)) T(std::move(value));
  }
  Result(Error error) : error_(new Error(std::move(error))) {}  // NOLINT: implicit by design
  Result(Result&& o) noexcept(std::is_nothrow_move_constructible_v<T>) : error_(o.error_) {
    if (error_) {
      o.error_ = empty_mark();  // the error moved here; its value was never made
    } else {
      ::new (static_cast<void*>(&value_)) T(std::move(o.value_));
    }
  }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&&) = delete;
  ~Result() {
    if (!error_) [[likely]] {
      value_.~T();
    } else if (error_ != empty_mark()) {
      drop_error(error_);
    }
  }

  bool ok() const noexcept { return error_ == nullptr; }
  /// Whether this result was moved from while it held an error.
  bool empty() const noexcept { return error_ == empty_mark(); }
  explicit operator bool() const noexcept { return ok(); }
  T& operator*() & noexcept {
    KESTRELITE_ASSERT(ok());
    return value_;
  }
  T&& operator*() && noexcept {
    KESTRELITE_ASSERT(ok());
    return std::move(value_);
  }
  T* operator->() noexcept {
    KESTRELITE_ASSERT(ok());
    return &value_;
  }
  Error& error() & noexcept {
    KESTRELITE_ASSERT(!ok() && !empty());
    return *error_;
  }
  Error&& error() && noexcept {
    KESTRELITE_ASSERT(!ok() && !empty());
    return std::move(*error_);
  }

 private:
  // Not null and never a real error: the state of a result whose error moved out.
  static Error* empty_mark() noexcept {
    return reinterpret_cast<Error*>(const_cast<char*>(&kEmptyResultMark));
  }
  union {
    T value_;
  };
  Error* error_ = nullptr;  // owned, unless it is empty_mark()
};

using Status = Result<Unit>;

/// Binds `var` to the value of `expr`, or returns its error from the enclosing function.
#define KESTRELITE_TRY(var, expr)                                 \
  auto var##_result_ = (expr);                                    \
  if (!var##_result_) return std::move(var##_result_).error();    \
  auto var = std::move(*std::move(var##_result_))

/// Returns the error of a Status-valued `expr` from the enclosing function.
#define KESTRELITE_CHECK(expr)                              \
  do {                                                      \
    auto status_ = (expr);                                  \
    if (!status_) return std::move(status_).error();        \
  } while (0)

/// Reads the failure an interpreter call just signalled (a nested PanicException becomes an
/// internal failure of this call).
[[gnu::cold]] Error fetch_error();

/// Whether `error` ends the call even where a failed conversion takes a default: no memory,
/// an internal failure, or an exception that is not an error (KeyboardInterrupt).
bool ends_the_call(const Error& error) noexcept;

[[gnu::cold]] Error type_error(std::string text);
[[gnu::cold]] Error value_error(std::string text);

/// "'{qualname of obj's type}' object cannot be converted to '{target}'".
[[gnu::cold]] Error conversion_error(PyObject* obj, const char* target);

/// Applies the argument-name prefix to a TypeError raised while converting argument `name`.
[[gnu::cold]] Error argument_error(Error error, const char* name);

/// The class of internal failures (a BaseException), created once.
PyObject* panic_exception_type();

// ---- interpreter facts read at module initialisation --------------------------------

struct Runtime {
  int minor = 9;  // CPython 3.<minor>
  using AsUtf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);
  AsUtf8AndSize as_utf8_and_size = nullptr;  // available in the stable ABI from 3.10
  bool fastcall() const noexcept { return minor >= 10; }
};

/// Reads the running interpreter's version and the functions newer versions offer into the
/// module state.
Status init_runtime();

// ---- argument descriptions and matching ----------------------------------------------

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

// ---- the module state ------------------------------------------------------------------

/// Everything the module keeps between calls, for one lifetime of the interpreter that owns
/// it: made at module initialisation and as first needed, dropped when that interpreter
/// frees the module (at finalisation), so that a later Py_Initialize and import start anew.
/// Only read and written with the GIL held.
struct ModuleState {
  Runtime runtime;
  /// The module object, borrowed: the interpreter owns it, and its freeing resets this state.
  PyObject* module = nullptr;
  /// The interpreter that owns the module (-1: none yet). Kept when the state is reset: the
  /// first interpreter to import owns the module for the whole process. Subinterpreter ids
  /// are never reused, and the main interpreter has the same id in every initialisation.
  std::int64_t owner_interpreter = -1;
  // Owned references, made on first need.
  std::array<PyObject*, kClassCount> types{};
  PyObject* panic_type = nullptr;
  PyObject* sequence_abc = nullptr;  // collections.abc.Sequence
  std::array<PyObject*, 3> diff_attribute_names{};  // "data_type", "nullable", "primary_key"
  std::array<KeywordNames, kKeywordMethodCount> keyword_names{};
  /// The query compiler's statement text. Each use fills it and makes its str with no
  /// Python code run in between (making a str runs none), so no call can meet it in use.
  std::string statement;
  /// The schema diff's statements. Making the result lists may run the collector and so a
  /// finaliser that calls diff_table again: a call takes it only while it is not leased.
  core::MigrationText migration;
  bool migration_leased = false;
};

extern ModuleState g_state;

/// The one accessor of the module state.
inline ModuleState& state() noexcept { return g_state; }

/// Drops every reference and buffer the state holds (not the owning interpreter).
void reset_state() noexcept;

/// Tuple-and-dict convention.
Status match_tuple(const FunctionDescription& desc, PyObject* args, PyObject* kwargs, Slots& out,
                   KeywordNames* names = nullptr);
/// Vector convention: `nargs` positional values, then one value per name in `kwnames`.
Status match_vector(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, Slots& out, KeywordNames* names = nullptr);

// ---- conversions ----------------------------------------------------------------------

/// UTF-8 bytes of a str argument; `keep` owns them where the interpreter could not lend them.
struct Str {
  std::string_view view;
  Owned keep;
};

/// lend_utf8_or_raise (below) for a caller that knows `obj` is an exact str and that the
/// interpreter lends (3.10+): false only with the exception set.
inline bool lend_exact_utf8_or_raise(PyObject* obj, std::string_view& view) noexcept {
  Py_ssize_t size = 0;
  const char* data = state().runtime.as_utf8_and_size(obj, &size);
  if (!data) [[unlikely]] return false;
  view = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

/// The UTF-8 bytes an exact str lends on 3.10+ (for ASCII, its own storage), read without a
/// call that only forwards. False with no exception set for 3.9 and for subclasses, which
/// the full route reads. False with the exception set for a str with no UTF-8 form (or no
/// memory for it): before 3.12 making that exception may run the collector and so
/// finalisers, which may drop the str, so a caller that does not hold it reports the
/// exception and leaves the str alone.
inline bool lend_utf8_or_raise(PyObject* obj, std::string_view& view) noexcept {
  if (!PyUnicode_CheckExact(obj) || !state().runtime.as_utf8_and_size) return false;
  return lend_exact_utf8_or_raise(obj, view);
}

/// As lend_utf8_or_raise with the exception cleared, for a str that stays alive (held, or
/// an argument of the call) and is read again on the full route, which reports it.
inline bool lend_utf8(PyObject* obj, std::string_view& view) noexcept {
  if (!PyUnicode_CheckExact(obj) || !state().runtime.as_utf8_and_size) return false;
  if (lend_exact_utf8_or_raise(obj, view)) [[likely]] return true;
  PyErr_Clear();
  return false;
}

/// Whether a lend_utf8_or_raise that returned false left an exception. Only 3.10+ lends.
inline bool lend_raised() noexcept { return state().runtime.as_utf8_and_size && PyErr_Occurred(); }

/// The full route: any str or subclass, on every version, with its failures.
Result<Str> to_str_slow(PyObject* obj);

/// A str's text: lent when it can be, else the full route. A failed lend is reported with
/// the exception it left, which is the one the full route would report, without reading
/// the str again: it may be gone (see lend_utf8_or_raise).
inline Result<Str> to_str(PyObject* obj) {
  std::string_view view;
  if (lend_utf8_or_raise(obj, view)) return Str{view, Owned()};
  if (lend_raised()) return fetch_error();
  return to_str_slow(obj);
}

Result<std::int64_t> to_i64(PyObject* obj);
Result<std::uint64_t> to_u64(PyObject* obj);
Result<bool> to_bool(PyObject* obj);

/// The full route of an argument that is first tried inline: `Convert` into `out`, with the
/// argument name on a TypeError.
template <class T, Result<T> (*Convert)(PyObject*)>
Status arg_slow(PyObject* obj, const char* name, T& out);
extern template Status arg_slow<std::uint64_t, to_u64>(PyObject*, const char*, std::uint64_t&);
extern template Status arg_slow<Str, to_str_slow>(PyObject*, const char*, Str&);

/// Reads unsigned integer argument `name` into `out`, with the argument name on a TypeError.
inline Status u64_arg(PyObject* obj, const char* name, std::uint64_t& out) {
  // An exact int in range is read inline; anything else, and every failure, is read again on
  // the full route, which reports it.
  if (PyLong_CheckExact(obj)) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
      out = static_cast<std::uint64_t>(v);
      return Unit{};
    }
    PyErr_Clear();
  }
  return arg_slow<std::uint64_t, to_u64>(obj, name, out);
}

/// Reads str `obj` into `out`. The view is lent in place: a view copied out of a returned
/// Result is written as two words and read back as one 16-byte load, which waits for the
/// stores to drain.
inline Status str_into(PyObject* obj, Str& out) {
  if (lend_utf8_or_raise(obj, out.view)) return Unit{};
  if (lend_raised()) return fetch_error();
  KESTRELITE_TRY(s, to_str_slow(obj));
  out = std::move(s);
  return Unit{};
}

/// Reads str argument `name` into `out`, with the argument name on a TypeError.
inline Status str_arg(PyObject* obj, const char* name, Str& out) {
  if (lend_utf8_or_raise(obj, out.view)) return Unit{};
  if (lend_raised()) return argument_error(fetch_error(), name);
  return arg_slow<Str, to_str_slow>(obj, name, out);
}

/// A dict or dict subclass, borrowed.
inline Result<PyObject*> to_dict(PyObject* obj) {
  // An exact dict needs no call for its type flags.
  if (PyDict_CheckExact(obj) || PyDict_Check(obj)) return obj;
  return conversion_error(obj, messages::kToDict);
}
/// A list, tuple or collections.abc.Sequence, borrowed.
Result<PyObject*> to_sequence(PyObject* obj);

/// A list of str (Width 1), or of str tuples of width `Width`, read through the iteration
/// protocol. The views stay valid while the list lives: it holds what it read. A tuple's
/// texts go into a `Row` in tuple order: a std::array, or a record of Width string_views
/// that its user reads directly.
template <std::size_t Width>
using TextArray =
    std::conditional_t<Width == 1, std::string_view, std::array<std::string_view, Width>>;
template <std::size_t Width, class Row = TextArray<Width>>
struct StrRows {
  core::SmallVector<Row, 8> rows;
  core::SmallVector<PyObject*, 8> tuples;  // the row tuples (Width > 1), alive through `keep`
  core::SmallVector<Owned, 8> keep;
};
using StrList = StrRows<1>;

/// Whether a list's items are held for the rest of the call.
enum class Holding { kItems, kNone };

/// Fills `out` (large with its inline storage, so it is written in place, never moved).
/// Instantiated in the binding for the row kinds its classes read.
template <std::size_t Width, class Row>
Status to_str_rows(PyObject* obj, StrRows<Width, Row>& out, Holding holding);

/// A row record from the texts of one tuple, in tuple order, given as pointers and lengths:
/// built where it is returned to (see read_plain_rows), each view written once.
template <class Row, std::size_t Width>
Row to_row(const char* const (&data)[Width], const Py_ssize_t (&size)[Width]) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return Row{std::string_view(data[I], static_cast<std::size_t>(size[I]))...};
  }(std::make_index_sequence<Width>());
}

/// What read_plain_rows made of a list.
enum class PlainRead { kDone, kOther, kFailed };

/// Reads an exact list or tuple whose items are all exact strs (Width 1), or exact tuples of
/// `Width` exact strs, lending every text (3.10+): kDone. Nothing read can run Python code,
/// so the items are held (kItems) as the full route would hold them, only once read. kOther,
/// with `out` empty and no exception, as soon as an item needs the full route, which then
/// reads the list from its start; kFailed with the exception of a str that has no UTF-8
/// form. Inline in the readers of the statements' lists, where it is the common case.
template <Holding H, std::size_t Width, class Row>
[[gnu::always_inline]] inline PlainRead read_plain_rows(PyObject* obj, StrRows<Width, Row>& out) {
  const bool list = PyList_CheckExact(obj);
  const auto lend = state().runtime.as_utf8_and_size;
  if ((!list && !PyTuple_CheckExact(obj)) || !lend) return PlainRead::kOther;
  const Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
  out.rows.reserve(static_cast<std::size_t>(n));
  if constexpr (Width > 1) out.tuples.reserve(static_cast<std::size_t>(n));
  // A tuple holds its items for as long as it is held itself.
  if constexpr (H == Holding::kItems) {
    if (list) {
      out.keep.reserve(static_cast<std::size_t>(n));
    } else {
      out.keep.push_back(Owned::borrow(obj));
    }
  }
  // Each text goes into its record as its pointer and length, written once where it stays:
  // a view assembled on the stack and copied on as one wide load would wait for the two
  // stores that made it.
  const char* data[Width];
  Py_ssize_t size[Width];
  for (Py_ssize_t i = 0; i < n; ++i) {
    // Not null: nothing here can shorten the list.
    PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    if constexpr (Width == 1) {
      if (!PyUnicode_CheckExact(item)) goto other;
      data[0] = lend(item, &size[0]);
      if (!data[0]) [[unlikely]] return PlainRead::kFailed;
      out.rows.emplace_back(data[0], static_cast<std::size_t>(size[0]));
    } else {
      if (!PyTuple_CheckExact(item) || PyTuple_Size(item) != static_cast<Py_ssize_t>(Width))
        goto other;
      for (std::size_t k = 0; k < Width; ++k) {
        PyObject* s = PyTuple_GetItem(item, static_cast<Py_ssize_t>(k));
        if (!PyUnicode_CheckExact(s)) goto other;
        data[k] = lend(s, &size[k]);
        if (!data[k]) [[unlikely]] return PlainRead::kFailed;
      }
      out.rows.emplace_back_made([&] { return to_row<Row>(data, size); });
      out.tuples.emplace_back(item);
    }
    if constexpr (H == Holding::kItems)
      if (list) out.keep.push_back(Owned::borrow(item));
  }
  return PlainRead::kDone;
other:
  // Dropping the holds frees nothing: the list still holds every item.
  out.rows.clear();
  out.tuples.clear();
  out.keep.clear();
  return PlainRead::kOther;
}

/// to_str_rows, by way of read_plain_rows for the common case. Holding::kNone is only for
/// callers that run no Python code between reading the list and their last use of its text,
/// so that nothing can change the list meanwhile.
template <Holding H, std::size_t Width, class Row>
[[gnu::always_inline]] inline Status read_rows(PyObject* obj, StrRows<Width, Row>& out) {
  switch (read_plain_rows<H>(obj, out)) {
    case PlainRead::kDone:
      return Unit{};
    case PlainRead::kFailed:
      return fetch_error();
    case PlainRead::kOther:
      break;
  }
  return to_str_rows(obj, out, H);
}

/// Converts argument `name` with `convert`, prefixing a TypeError with the argument name.
template <class Convert>
auto convert_arg(PyObject* obj, const char* name, Convert convert) -> decltype(convert(obj)) {
  auto r = convert(obj);
  if (!r) return argument_error(std::move(r).error(), name);
  return r;
}

/// The text form of any value: str() as UTF-8, lone surrogates replaced; when str() raises,
/// the exception goes to the unraisable hook and the text is "<unprintable {} object>".
/// `Out` is std::string or core::SmallText.
template <class Out>
Status append_text_form(Out& out, PyObject* value);
extern template Status append_text_form(std::string&, PyObject*);
extern template Status append_text_form(core::SmallText&, PyObject*);

/// Walks a dict's own storage, refusing to go on once the dict changed under the walk.
class DictWalk {
 public:
  explicit DictWalk(PyObject* dict) noexcept;
  /// True with the next entry, false at the end, or an internal failure.
  Result<bool> next(PyObject*& key, PyObject*& value) {
    if (PyDict_Size(dict_) != start_size_ || countdown_ == -1) [[unlikely]]
      return changed();
    if (!PyDict_Next(dict_, &pos_, &key, &value)) return false;
    --countdown_;
    return true;
  }
  Py_ssize_t size() const noexcept { return start_size_; }

 private:
  [[gnu::cold, gnu::noinline]] Error changed() const;

  PyObject* dict_;
  Py_ssize_t pos_ = 0;
  Py_ssize_t start_size_;
  Py_ssize_t countdown_;
};

// ---- results --------------------------------------------------------------------------

/// The failure of an interpreter call that returned nullptr (see checked).
[[gnu::cold, gnu::noinline]] Result<Owned> creation_failed();
/// Checks a freshly created object; nullptr becomes the "Python API call failed" failure.
/// Inline, so that a success costs one test.
inline Result<Owned> checked(PyObject* created) {
  if (created) [[likely]] return Owned::steal(created);
  return creation_failed();
}
inline Result<Owned> new_str(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}
Result<Owned> new_int(std::int64_t v);
Result<Owned> new_count(std::size_t v);
Result<Owned> new_float(double v);
Owned new_bool(bool v) noexcept;
Owned new_none() noexcept;
/// A list of str sized exactly.
template <class Range>
Result<Owned> new_str_list(const Range& texts);

// ---- instances and the borrow guard ---------------------------------------------------------

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

/// A class the module registers: its name, layout and method table.
struct MethodEntry {
  const char* name;
  PyCFunction tuple_entry;   // METH_VARARGS | METH_KEYWORDS, or METH_NOARGS
  PyCFunction vector_entry;  // METH_FASTCALL | METH_KEYWORDS; nullptr for no-argument methods
  int extra_flags;           // METH_STATIC where needed
  const char* doc;
};

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

// ---- the entry barrier ----------------------------------------------------------------------

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

/// A positional/keyword method: both calling conventions, one matcher.
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

// ---- template definitions ----------------------------------------------------------------

template <class Range>
Result<Owned> new_str_list(const Range& texts) {
  const auto n = static_cast<Py_ssize_t>(std::size(texts));
  KESTRELITE_TRY(list, checked(PyList_New(n)));
  Py_ssize_t i = 0;
  for (const auto& t : texts) {
    // The item is made raw: a Result per item costs more than the list's own work.
    const std::string_view text(t);
    PyObject* item = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!item) [[unlikely]] return creation_failed();
    PyList_SetItem(list.get(), i++, item);  // steals the item
  }
  return list;
}

}  // namespace kestrelite::python

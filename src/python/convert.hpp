#pragma once
// Conversions between Python objects and the core's values: arguments in, results out.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/small_text.hpp"
#include "core/small_vector.hpp"
#include "python/messages.hpp"
#include "python/state.hpp"

namespace kestrelite::python {

// ---- arguments ---------------------------------------------------------------------

/// The UTF-8 bytes of a str, and what keeps them readable: nothing where the interpreter
/// lends its own copy (3.10+), else the bytes object made from it (3.9).
struct Str {
  std::string_view view;
  Owned owner;
};

/// read_str for whatever the inline part does not take: a subclass, 3.9, or a failure.
[[gnu::noinline]] Status read_str_other(PyObject* obj, Str& out);

/// Reads a str or str subclass into `out`; a refusal names the value's type. The caller
/// holds `obj` for as long as it reads `out.view`. A str with no UTF-8 form (lone
/// surrogates) fails with the interpreter's UnicodeEncodeError.
[[gnu::always_inline]] inline Status read_str(PyObject* obj, Str& out) {
  const auto lend = state().runtime.as_utf8_and_size;
  if (lend && PyUnicode_CheckExact(obj)) [[likely]] {
    Py_ssize_t size = 0;
    if (const char* data = lend(obj, &size)) [[likely]] {
      out.view = std::string_view(data, static_cast<std::size_t>(size));
      return Unit{};
    }
    return fetch_error();
  }
  return read_str_other(obj, out);
}

/// A str's text as a value, for callers that keep it in a result.
inline Result<Str> to_str(PyObject* obj) {
  Str s;
  KESTRELITE_CHECK(read_str(obj, s));
  return s;
}

/// to_i64 for whatever the inline part does not take: any other object, or a failure.
[[gnu::noinline]] Result<std::int64_t> to_i64_other(PyObject* obj);

/// An int, or an object with __index__, in the range of int64; OverflowError outside it.
inline Result<std::int64_t> to_i64(PyObject* obj) {
  if (PyLong_CheckExact(obj)) [[likely]] {
    const long long v = PyLong_AsLongLong(obj);
    if (v != -1 || !PyErr_Occurred()) [[likely]] return static_cast<std::int64_t>(v);
    PyErr_Clear();  // read again below, which reports it
  }
  return to_i64_other(obj);
}

Result<std::uint64_t> to_u64(PyObject* obj);
Result<bool> to_bool(PyObject* obj);

/// Reads str argument `name` into `out`, with the argument name on a TypeError.
inline Status str_arg(PyObject* obj, const char* name, Str& out) {
  Status r = read_str(obj, out);
  if (!r) [[unlikely]] return argument_error(std::move(r).error(), name);
  return r;
}

/// u64_arg for whatever the inline part does not take: any other object, or a failure.
[[gnu::noinline]] Status u64_arg_other(PyObject* obj, const char* name, std::uint64_t& out);

/// Reads unsigned integer argument `name` into `out`, with the argument name on a TypeError.
inline Status u64_arg(PyObject* obj, const char* name, std::uint64_t& out) {
  if (PyLong_CheckExact(obj)) [[likely]] {
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) [[likely]] {
      out = static_cast<std::uint64_t>(v);
      return Unit{};
    }
    PyErr_Clear();  // read again below, which reports it
  }
  return u64_arg_other(obj, name, out);
}

/// A dict or dict subclass, borrowed.
[[gnu::always_inline]] inline Result<PyObject*> to_dict(PyObject* obj) {
  // An exact dict needs no call for its type flags.
  if (PyDict_CheckExact(obj) || PyDict_Check(obj)) return obj;
  return conversion_error(obj, messages::kToDict);
}
/// A list, tuple or collections.abc.Sequence, borrowed.
Result<PyObject*> to_sequence(PyObject* obj);

/// A list of str (Width 1), or of str tuples of width `Width`, as its texts. Any sequence
/// but a str is read; an exact list or tuple by index. Every item is held for as long as the
/// rows live, so the texts stay readable whatever Python code the call runs after reading
/// them (another argument's __index__ may empty the list). A tuple's texts go into a `Row`
/// in tuple order: a std::array, or a record of Width string_views that its user reads.
template <std::size_t Width>
using TextArray =
    std::conditional_t<Width == 1, std::string_view, std::array<std::string_view, Width>>;
template <std::size_t Width, class Row = TextArray<Width>>
struct StrRows {
  StrRows() = default;
  StrRows(const StrRows&) = delete;
  StrRows& operator=(const StrRows&) = delete;
  ~StrRows() {
    for (PyObject* item : items) Py_DECREF(item);
  }
  /// Holds `item` (a new reference) as the next item.
  void hold(PyObject* item) {
    Py_INCREF(item);
    items.emplace_back(item);
  }

  core::SmallVector<Row, 8> rows;
  core::SmallVector<PyObject*, 8> items;  // owned: item i, a str (Width 1) or row i's tuple
  core::SmallVector<Owned, 4> owners;     // the UTF-8 copies 3.9 makes
};
using StrList = StrRows<1>;

/// read_rows for a sequence that is not an exact list or tuple: through its iterator.
/// Instantiated in the binding for the row kinds its classes read.
template <std::size_t Width, class Row>
[[gnu::noinline]] Status read_iterated_rows(PyObject* obj, StrRows<Width, Row>& out);

/// Reads one item (held by the caller) into a row.
template <std::size_t Width, class Row>
[[gnu::always_inline]] inline Status add_row(StrRows<Width, Row>& out, PyObject* item) {
  if constexpr (Width == 1) {
    Str s;
    KESTRELITE_CHECK(read_str(item, s));
    out.rows.emplace_back(s.view);
    if (s.owner) [[unlikely]] out.owners.push_back(std::move(s.owner));
  } else {
    if (!PyTuple_CheckExact(item) && !PyTuple_Check(item))
      return conversion_error(item, messages::kToTuple);
    const Py_ssize_t n = PyTuple_Size(item);
    if (n != static_cast<Py_ssize_t>(Width))
      return value_error(messages::tuple_length(Width, static_cast<std::size_t>(n)));
    std::array<std::string_view, Width> texts;
    for (std::size_t k = 0; k < Width; ++k) {
      Str s;
      KESTRELITE_CHECK(read_str(PyTuple_GetItem(item, static_cast<Py_ssize_t>(k)), s));
      texts[k] = s.view;
      if (s.owner) [[unlikely]] out.owners.push_back(std::move(s.owner));
    }
    out.rows.emplace_back_made([&] {
      return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return Row{texts[I]...};
      }(std::make_index_sequence<Width>());
    });
  }
  return Unit{};
}

/// Reads `obj` into `out` (large with its inline storage, so it is filled in place, never
/// moved).
template <std::size_t Width, class Row>
[[gnu::always_inline]] inline Status read_rows(PyObject* obj, StrRows<Width, Row>& out) {
  const bool list = PyList_CheckExact(obj);
  if (!list && !PyTuple_CheckExact(obj)) return read_iterated_rows(obj, out);
  const Py_ssize_t n = list ? PyList_Size(obj) : PyTuple_Size(obj);
  out.rows.reserve(static_cast<std::size_t>(n));
  out.items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    // Held before it is read: reading a str with no UTF-8 form makes an exception, which
    // may run finalisers that change the list.
    PyObject* item = list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
    if (!item) return fetch_error();  // a list shortened while it was read
    out.hold(item);
    KESTRELITE_CHECK(add_row(out, item));
  }
  return Unit{};
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

// ---- results ---------------------------------------------------------------------------

/// The failure of an interpreter call that returned nullptr (see checked).
[[gnu::cold, gnu::noinline]] Result<Owned> creation_failed();
/// Checks a freshly created object; nullptr becomes the "Python API call failed" failure.
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

// ---- template definitions --------------------------------------------------------------

template <class Range>
Result<Owned> new_str_list(const Range& texts) {
  const auto n = static_cast<Py_ssize_t>(std::size(texts));
  KESTRELITE_TRY(list, checked(PyList_New(n)));
  Py_ssize_t i = 0;
  for (const auto& t : texts) {
    // Filled in order: a list with an item missing is never seen by Python code.
    const std::string_view text(t);
    PyObject* item = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!item) [[unlikely]] return creation_failed();
    PyList_SetItem(list.get(), i++, item);  // steals the item
  }
  return list;
}

}  // namespace kestrelite::python

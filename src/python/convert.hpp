#pragma once
// Conversions between Python objects and the core's values: arguments in, results out.
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

/// Reads str `obj` into `out`.
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
/// form.
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

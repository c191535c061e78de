#include "python/arguments.hpp"

#include <string>
#include <vector>

#include "python/convert.hpp"
#include "python/messages.hpp"

namespace kestrelite::python {

namespace {

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

}  // namespace kestrelite::python

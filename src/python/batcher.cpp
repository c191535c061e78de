// class BatchAggregator:
//     def add_key_int(self, key: int) -> bool     # True when the key is new
//     def add_key_str(self, key: str) -> bool
//     def add_key(self, key) -> bool             # integer, else str, else str(key)
//     def add_keys_batch(self, keys) -> int       # how many of them were new
//     def get_keys(self) -> list                  # integers first, then strings
//     def clear(self) -> None
//     def len(self) -> int
//     def is_empty(self) -> bool

#include <string>

#include "core/batcher.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace kestrelite::python {
namespace {

using Keys = core::KeySets;

constexpr std::string_view kNoParams[] = {""};
constexpr FunctionDescription kNew{"BatchAggregator", "__new__", std::span(kNoParams, 0), 0};
constexpr std::string_view kKeyParams[] = {"key"};
constexpr FunctionDescription kAddKeyInt{"BatchAggregator", "add_key_int", kKeyParams, 1,
                                         KeywordMethod::kAddKeyInt};
constexpr FunctionDescription kAddKeyStr{"BatchAggregator", "add_key_str", kKeyParams, 1,
                                         KeywordMethod::kAddKeyStr};
constexpr FunctionDescription kAddKey{"BatchAggregator", "add_key", kKeyParams, 1,
                                      KeywordMethod::kAddKey};
constexpr std::string_view kKeysParams[] = {"keys"};
constexpr FunctionDescription kAddKeysBatch{"BatchAggregator", "add_keys_batch", kKeysParams, 1,
                                            KeywordMethod::kAddKeysBatch};

/// Running out of memory while reading a key's integer or text is the call's error: the key
/// must not be stored in another form for want of memory.
bool out_of_memory(const Error& e) {
  return PyErr_GivenExceptionMatches(e.type(), PyExc_MemoryError) != 0;
}

enum class Plain : std::uint8_t { kNew, kKnown, kOther };

/// Adds a plain int or str, which runs no Python code and needs no result value; kOther for
/// any other key, and for a plain one the direct reading refuses (out of range, lone
/// surrogates, no memory for its UTF-8), which the general path then reads again.
inline Plain add_plain(Keys& keys, PyObject* key) {
  if (PyLong_CheckExact(key)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (overflow == 0 && !(v == -1 && PyErr_Occurred()))
      return keys.add_int(v) ? Plain::kNew : Plain::kKnown;
  } else if (PyUnicode_CheckExact(key) && state().runtime.as_utf8_and_size) {
    Py_ssize_t size = 0;
    if (const char* data = state().runtime.as_utf8_and_size(key, &size)) {
      const std::string_view text(data, static_cast<std::size_t>(size));
      return keys.add_str(text) ? Plain::kNew : Plain::kKnown;
    }
  } else {
    return Plain::kOther;
  }
  PyErr_Clear();
  return Plain::kOther;
}

/// Adds a key that add_plain did not take: an in-range integer form, else a str's own text,
/// else its text form.
Result<bool> add_other(Keys& keys, PyObject* key) {
  // An object without __index__ would only raise and discard a TypeError: skip the attempt.
  if (PyLong_Check(key) || PyIndex_Check(key)) {
    Result<std::int64_t> v = to_i64(key);
    if (v) return keys.add_int(*v);
    if (out_of_memory(v.error())) return std::move(v).error();
  }
  if (PyUnicode_Check(key)) {
    Result<Str> s = to_str(key);
    if (s) return keys.add_str(s->view);
    if (out_of_memory(s.error())) return std::move(s).error();
  }
  std::string text;
  KESTRELITE_CHECK(append_text_form(text, key));
  return keys.add_str(text);
}

/// Adds one key of any type: an integer when it has an in-range integer form, else a str's own
/// text, else its text form. Fails only when the module itself cannot go on.
Result<bool> add_any(Keys& keys, PyObject* key) {
  if (const Plain p = add_plain(keys, key); p != Plain::kOther) return p == Plain::kNew;
  return add_other(keys, key);
}

Result<Owned> add_key_int(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(keys, take_exclusive<Keys>(self, g_batch_aggregator_class));
  KESTRELITE_TRY(key, convert_arg(a[0], "key", to_i64));
  return new_bool(keys->add_int(key));
}

Result<Owned> add_key_str(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(keys, take_exclusive<Keys>(self, g_batch_aggregator_class));
  Str key;
  KESTRELITE_CHECK(str_arg(a[0], "key", key));
  return new_bool(keys->add_str(key.view));
}

Result<Owned> add_key(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(keys, take_exclusive<Keys>(self, g_batch_aggregator_class));
  KESTRELITE_TRY(added, add_any(*keys, a[0]));
  return new_bool(added);
}

Result<Owned> add_keys_batch(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(keys, take_exclusive<Keys>(self, g_batch_aggregator_class));
  KESTRELITE_TRY(seq, convert_arg(a[0], "keys", to_sequence));
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) return fetch_error();
  std::size_t added = 0;
  // A list or tuple lends its items; one that is not a plain int or str is held while it is
  // read, since reading it may run code that drops it from the list.
  const bool list = PyList_CheckExact(seq);
  const bool lends = list || PyTuple_CheckExact(seq);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = nullptr;
    Owned held;
    if (lends) {
      item = list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
      if (!item) return fetch_error();
      if (!PyLong_CheckExact(item) && !PyUnicode_CheckExact(item)) held = Owned::borrow(item);
    } else {
      held = Owned::steal(PySequence_GetItem(seq, i));
      if (!held) return fetch_error();
      item = held.get();
    }
    if (const Plain p = add_plain(*keys, item); p != Plain::kOther) {
      added += p == Plain::kNew;
      continue;
    }
    if (list && !held) {
      // The failed read made an exception, and before 3.12 making one may run the collector,
      // whose finalisers may have dropped the item from the list: read it again, and hold it.
      item = PyList_GetItem(seq, i);
      if (!item) return fetch_error();
      held = Owned::borrow(item);
    }
    KESTRELITE_TRY(is_new, add_other(*keys, item));
    added += is_new;
  }
  return new_count(added);
}

Result<Owned> get_keys(PyObject* self) {
  KESTRELITE_TRY(keys, take_shared<Keys>(self, g_batch_aggregator_class));
  KESTRELITE_TRY(list, checked(PyList_New(static_cast<Py_ssize_t>(keys->size()))));
  Py_ssize_t i = 0;
  for (std::int64_t k : keys->ints()) {
    KESTRELITE_TRY(item, new_int(k));
    PyList_SetItem(list.get(), i++, item.release());
  }
  for (const core::SmallText& k : keys->strs()) {
    KESTRELITE_TRY(item, new_str(k.view()));
    PyList_SetItem(list.get(), i++, item.release());
  }
  return list;
}

Result<Owned> clear(PyObject* self) {
  KESTRELITE_TRY(keys, take_exclusive<Keys>(self, g_batch_aggregator_class));
  keys->clear();
  return new_none();
}

Result<Owned> len(PyObject* self) {
  KESTRELITE_TRY(keys, take_shared<Keys>(self, g_batch_aggregator_class));
  return new_count(keys->size());
}

Result<Owned> is_empty(PyObject* self) {
  KESTRELITE_TRY(keys, take_shared<Keys>(self, g_batch_aggregator_class));
  return new_bool(keys->empty());
}

const MethodEntry kMethods[] = {
    keyword_method<kAddKeyInt, add_key_int>(
        "add_key_int($self, key)\n--\n\nAdd an integer foreign key directly (Zero string "
        "formatting overhead)"),
    keyword_method<kAddKeyStr, add_key_str>("add_key_str($self, key)\n--\n\nAdd a string foreign key"),
    keyword_method<kAddKey, add_key>("add_key($self, key)\n--\n\nDynamically add key checking type"),
    keyword_method<kAddKeysBatch, add_keys_batch>(
        "add_keys_batch($self, keys)\n--\n\nBatch add keys in a single FFI boundary call"),
    noargs_method<get_keys>(
        "get_keys",
        "get_keys($self)\n--\n\nReturns the de-duplicated keys as a list built directly in native "
        "code"),
    noargs_method<clear>("clear", "clear($self)\n--\n\n"),
    noargs_method<len>("len", "len($self)\n--\n\n"),
    noargs_method<is_empty>("is_empty", "is_empty($self)\n--\n\n"),
};

}  // namespace

ClassDef g_batch_aggregator_class{
    ClassId::kBatchAggregator,
    "BatchAggregator",
    "BatchAggregator()\n--\n\n",
    sizeof(Instance<Keys>),
    &generic_new<Keys, g_batch_aggregator_class, kNew>,
    &generic_dealloc<Keys>,
    kMethods,
};

}  // namespace kestrelite::python

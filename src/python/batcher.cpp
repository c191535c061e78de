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

/// Adds one key of any type, classified in this order: an integer when it has an in-range
/// integer form (an int, or an object with __index__), else a str's own text, else its text
/// form. The caller holds `key`. Fails only when the module itself cannot go on: running out
/// of memory while reading a form must not store the key in another.
[[gnu::always_inline]] inline Result<bool> add_any(Keys& keys, PyObject* key) {
  const bool exact_int = PyLong_CheckExact(key);
  const bool exact_str = !exact_int && PyUnicode_CheckExact(key);
  if (exact_int || (!exact_str && (PyLong_Check(key) || PyIndex_Check(key)))) {
    Result<std::int64_t> v = to_i64(key);
    if (v) return keys.add_int(*v);
    if (out_of_memory(v.error())) return std::move(v).error();
  }
  if (exact_str || (!exact_int && PyUnicode_Check(key))) {
    Str s;
    Status text = read_str(key, s);
    if (text) return keys.add_str(s.view);
    if (out_of_memory(text.error())) return std::move(text).error();
  }
  std::string text;
  KESTRELITE_CHECK(append_text_form(text, key));
  return keys.add_str(text);
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
  const bool list = PyList_CheckExact(seq);
  const bool tuple = !list && PyTuple_CheckExact(seq);
  std::size_t added = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    // Each key is held while it is read: reading it may run code that changes the sequence.
    Owned key;
    if (list || tuple) {
      PyObject* item = list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
      if (!item) return fetch_error();  // a list shortened while it was read
      key = Owned::borrow(item);
    } else {
      key = Owned::steal(PySequence_GetItem(seq, i));
      if (!key) return fetch_error();
    }
    KESTRELITE_TRY(is_new, add_any(*keys, key.get()));
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

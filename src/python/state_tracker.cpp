// class StateTracker:
//     def set_initial_state(self, data: dict) -> None      # every field stored clean
//     def set_field(self, field: str, value) -> None        # dirty while its text differs
//     def get_field(self, field: str) -> object | None      # the very object last set
//     def is_dirty(self) -> bool
//     def dirty_fields(self) -> list[str]
//     def get_dirty_changes(self) -> dict[str, object]
//     def hydrate_snapshot(self) -> None                    # current texts become the baseline
//     def get_current_dict(self) -> dict[str, object]
//     @staticmethod
//     def benchmark_pure_rust(count: int) -> float

#include "core/small_text.hpp"
#include "core/state_tracker.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace kestrelite::python {
namespace {

using Fields = core::FieldMap<Owned>;

/// Loads a row over the previous one. Every object the old row held is released first, as
/// emptying the tracker would; then, while the new row's names come in the old row's order,
/// each field is rewritten where it is, which hashes and allocates nothing, and at the first
/// other name the rest of the old row is dropped and fields are stored as new. However the
/// walk ends, the tracker then holds exactly the fields loaded so far.
class RowLoad {
 public:
  explicit RowLoad(Fields& fields) noexcept : fields_(fields) {
    // A finaliser run here meets the exclusive hold, so the walk over the fields stands.
    for (Fields::Entry& e : fields_) e.current_value = Owned();
  }
  RowLoad(const RowLoad&) = delete;
  RowLoad& operator=(const RowLoad&) = delete;
  ~RowLoad() {
    if (in_place_) fields_.truncate(kept_);
  }

  [[gnu::always_inline]] Status field(PyObject* key, PyObject* value, Py_ssize_t row_size) {
    Str name;
    KESTRELITE_CHECK(read_str(key, name));
    if (in_place_ && kept_ < fields_.size() && fields_.at(kept_).name == name.view)
      return rewrite(value);
    if (in_place_) {
      fields_.truncate(kept_);
      in_place_ = false;
      fields_.reserve(static_cast<std::size_t>(row_size));
    }
    core::SmallText text;
    KESTRELITE_CHECK(append_text_form(text, value));
    fields_.load(name.view, std::move(text), Owned::borrow(value));
    return Unit{};
  }

 private:
  // A failing text leaves field kept_ half written; the destructor drops it.
  Status rewrite(PyObject* value) {
    Fields::Entry& e = fields_.at(kept_);
    e.current_text.clear();
    KESTRELITE_CHECK(append_text_form(e.current_text, value));
    e.settle();
    e.current_value = Owned::borrow(value);
    ++kept_;
    return Unit{};
  }

  Fields& fields_;
  std::size_t kept_ = 0;
  bool in_place_ = true;
};

constexpr std::string_view kNoParams[] = {""};
constexpr FunctionDescription kNew{"StateTracker", "__new__", std::span(kNoParams, 0), 0};
constexpr std::string_view kDataParams[] = {"data"};
constexpr FunctionDescription kSetInitialState{"StateTracker", "set_initial_state", kDataParams, 1,
                                               KeywordMethod::kSetInitialState};
constexpr std::string_view kSetFieldParams[] = {"field", "value"};
constexpr FunctionDescription kSetField{"StateTracker", "set_field", kSetFieldParams, 2,
                                        KeywordMethod::kSetField};
constexpr std::string_view kFieldParams[] = {"field"};
constexpr FunctionDescription kGetField{"StateTracker", "get_field", kFieldParams, 1,
                                        KeywordMethod::kGetField};
constexpr std::string_view kCountParams[] = {"count"};
constexpr FunctionDescription kBenchmark{"StateTracker", "benchmark_pure_rust", kCountParams, 1,
                                         KeywordMethod::kBenchmark};

Result<Owned> set_initial_state(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(fields, take_exclusive<Fields>(self, g_state_tracker_class));
  KESTRELITE_TRY(data, convert_arg(a[0], "data", to_dict));
  RowLoad load(*fields);
  DictWalk walk(data);
  PyObject *key, *value;
  while (true) {
    KESTRELITE_TRY(more, walk.next(key, value));
    if (!more) break;
    // Both stay alive even if a value's __str__ empties the dict.
    Owned key_ref = Owned::borrow(key);
    Owned value_ref = Owned::borrow(value);
    KESTRELITE_CHECK(load.field(key, value, walk.size()));
  }
  return new_none();
}

Result<Owned> set_field(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(fields, take_exclusive<Fields>(self, g_state_tracker_class));
  Str name;
  KESTRELITE_CHECK(str_arg(a[0], "field", name));
  PyObject* value = a[1];
  // The text is complete before anything is stored, so a failure leaves the field as it was.
  core::SmallText text;
  KESTRELITE_CHECK(append_text_form(text, value));
  fields->set(name.view, std::move(text), Owned::borrow(value));
  return new_none();
}

Result<Owned> get_field(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(fields, take_shared<Fields>(self, g_state_tracker_class));
  Str name;
  KESTRELITE_CHECK(str_arg(a[0], "field", name));
  if (const Fields::Entry* entry = fields->find(name.view))
    return Owned::borrow(entry->current_value.get());
  return new_none();
}

Result<Owned> is_dirty(PyObject* self) {
  KESTRELITE_TRY(fields, take_shared<Fields>(self, g_state_tracker_class));
  return new_bool(fields->is_dirty());
}

Result<Owned> dirty_fields(PyObject* self) {
  KESTRELITE_TRY(fields, take_shared<Fields>(self, g_state_tracker_class));
  std::size_t n = 0;
  for (const Fields::Entry& e : *fields) n += e.dirty();
  KESTRELITE_TRY(list, checked(PyList_New(static_cast<Py_ssize_t>(n))));
  Py_ssize_t i = 0;
  for (const Fields::Entry& e : *fields) {
    if (!e.dirty()) continue;
    KESTRELITE_TRY(name, new_str(e.name.view()));
    PyList_SetItem(list.get(), i++, name.release());
  }
  return list;
}

/// A new dict of name to current object, for every field or only the dirty ones.
Result<Owned> fields_dict(const Fields& fields, bool only_dirty) {
  KESTRELITE_TRY(dict, checked(PyDict_New()));
  for (const Fields::Entry& e : fields) {
    if (only_dirty && !e.dirty()) continue;
    KESTRELITE_TRY(name, new_str(e.name.view()));
    if (PyDict_SetItem(dict.get(), name.get(), e.current_value.get()) < 0) return fetch_error();
  }
  return dict;
}

Result<Owned> get_dirty_changes(PyObject* self) {
  KESTRELITE_TRY(fields, take_shared<Fields>(self, g_state_tracker_class));
  return fields_dict(*fields, true);
}

Result<Owned> get_current_dict(PyObject* self) {
  KESTRELITE_TRY(fields, take_shared<Fields>(self, g_state_tracker_class));
  return fields_dict(*fields, false);
}

Result<Owned> hydrate_snapshot(PyObject* self) {
  KESTRELITE_TRY(fields, take_exclusive<Fields>(self, g_state_tracker_class));
  fields->hydrate();
  return new_none();
}

Result<Owned> benchmark_pure_rust(PyObject*, const Slots& a) {
  KESTRELITE_TRY(count, convert_arg(a[0], "count", to_u64));
  std::optional<double> seconds = core::run_native_benchmark(count);
  if (!seconds) return Error::panic(messages::kCapacityOverflow);
  return new_float(*seconds);
}

const MethodEntry kMethods[] = {
    keyword_method<kSetInitialState, set_initial_state>("set_initial_state($self, data)\n--\n\n"),
    keyword_method<kSetField, set_field>("set_field($self, field, value)\n--\n\n"),
    keyword_method<kGetField, get_field>("get_field($self, field)\n--\n\n"),
    noargs_method<is_dirty>("is_dirty", "is_dirty($self)\n--\n\n"),
    noargs_method<dirty_fields>("dirty_fields", "dirty_fields($self)\n--\n\n"),
    noargs_method<get_dirty_changes>("get_dirty_changes", "get_dirty_changes($self)\n--\n\n"),
    noargs_method<hydrate_snapshot>("hydrate_snapshot", "hydrate_snapshot($self)\n--\n\n"),
    noargs_method<get_current_dict>("get_current_dict", "get_current_dict($self)\n--\n\n"),
    keyword_method<kBenchmark, benchmark_pure_rust>(
        "benchmark_pure_rust(count)\n--\n\nPure native-to-native benchmark: the tracker cycle "
        "runs entirely in native memory on a fast hash map",
        METH_STATIC),
};

}  // namespace

ClassDef g_state_tracker_class{
    ClassId::kStateTracker,
    "StateTracker",
    "StateTracker()\n--\n\n",
    sizeof(Instance<Fields>),
    &generic_new<Fields, g_state_tracker_class, kNew>,
    &generic_dealloc<Fields>,
    kMethods,
};

}  // namespace kestrelite::python

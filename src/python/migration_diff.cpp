// class SchemaDiffEngine:
//     def diff_table(self, table_name: str, model_fields: dict[str, dict],
//                    db_columns: dict[str, str], _dialect: str) -> tuple[list[str], list[str]]
//         # CREATE TABLE when db_columns is empty, else ADD COLUMN per missing model column;
//         # the second list undoes the first, statement by statement.

#include <optional>
#include <ranges>
#include <string>
#include <vector>

#include "core/migration_diff.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace kestrelite::python {
namespace {

struct NoState {};

constexpr std::string_view kNoParams[] = {""};
constexpr FunctionDescription kNew{"SchemaDiffEngine", "__new__", std::span(kNoParams, 0), 0};
constexpr std::string_view kDiffParams[] = {"table_name", "model_fields", "db_columns", "_dialect"};
constexpr FunctionDescription kDiffTable{"SchemaDiffEngine", "diff_table", kDiffParams, 4,
                                         KeywordMethod::kDiffTable};

/// The attribute names looked up in a column's dict, interned, in the module state.
struct AttributeNames {
  PyObject* data_type;
  PyObject* nullable;
  PyObject* primary_key;
};

Result<AttributeNames> attribute_names() {
  std::array<PyObject*, 3>& names = state().diff_attribute_names;
  if (!names[2]) {
    constexpr const char* kTexts[] = {"data_type", "nullable", "primary_key"};
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i]) continue;
      PyObject* s = PyUnicode_InternFromString(kTexts[i]);
      if (!s) return fetch_error();
      names[i] = s;
    }
  }
  return AttributeNames{names[0], names[1], names[2]};
}

/// A plain lookup (no __missing__, no overridden __getitem__): the value borrowed, nullptr
/// when absent.
Result<PyObject*> lookup(PyObject* dict, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(dict, name);
  if (!v && PyErr_Occurred()) return fetch_error();
  return v;
}

/// What the texts of a diff view: the strs they come from (a lookup may run a key's __eq__,
/// which may drop them from their dicts) and, on 3.9, the UTF-8 copies read from them. Each
/// str is held as soon as it is read: a str that cannot be encoded makes an exception
/// object, and on 3.9 to 3.11 making one may run the collector and so finalisers, before
/// the call knows the conversion failed. Sized for a model of a few dozen columns without
/// touching the heap.
class Holds {
 public:
  Holds() = default;
  Holds(const Holds&) = delete;
  Holds& operator=(const Holds&) = delete;
  ~Holds() {
    for (PyObject* p : refs_) Py_DECREF(p);
  }
  /// Room for `n` more without growing.
  void reserve(std::size_t n) { refs_.reserve(refs_.size() + n); }
  /// A new reference to `p` (not null).
  void hold(PyObject* p) {
    Py_INCREF(p);
    refs_.push_back(p);
  }
  /// Takes over the reference `o` owns, if any.
  void keep(Owned o) {
    if (o) refs_.push_back(o.release());
  }

 private:
  core::SmallVector<PyObject*, 48> refs_;
};

/// Sets `out` to the text of str `obj`, which is held first: the text stays readable until
/// `holds` goes, whatever code a later lookup runs.
[[gnu::always_inline]] inline Status held_text(PyObject* obj, Holds& holds,
                                               std::string_view& out) {
  holds.hold(obj);
  Str s;
  KESTRELITE_CHECK(read_str(obj, s));
  holds.keep(std::move(s.owner));
  out = s.view;
  return Unit{};
}

/// Sets `out` to the text of a "data_type" value. A value that is not a str, or a str with no
/// UTF-8 form, leaves the default; an error that ends the call (no memory) is the call's.
Status read_data_type(PyObject* value, Holds& holds, std::string_view& out) {
  if (!value || !PyUnicode_Check(value)) return Unit{};
  Status text = held_text(value, holds, out);
  if (!text && ends_the_call(text.error())) return text;
  return Unit{};
}

/// Sets `flag` from a "nullable" or "primary_key" value that the bool conversion accepts.
/// Any other value, or one whose conversion fails, leaves the default; an error that ends
/// the call (no memory) is the call's.
Status read_flag(PyObject* value, bool& flag) {
  if (!value) return Unit{};
  // A numpy-like boolean's __bool__ may drop the value from its dict.
  Owned hold = Owned::borrow(value);
  Result<bool> b = to_bool(value);
  if (b) {
    flag = *b;
  } else if (ends_the_call(b.error())) {
    return std::move(b).error();
  }
  return Unit{};
}

/// The three attributes of a column's dict in one pass, when that pass is sure to find what
/// the lookups would: every key is an exact str (so equal to a name exactly when its text is,
/// with no __eq__ to run), and the flags present are True or False (so reading them runs no
/// Python code that could change the dict). False when the lookups must be made instead.
/// Walks exactly the dict's size in entries.
[[gnu::always_inline]] inline bool scan_column(PyObject* attrs, const AttributeNames& names,
                                               PyObject* (&found)[3]) noexcept {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  for (Py_ssize_t left = PyDict_Size(attrs); left > 0 && PyDict_Next(attrs, &pos, &key, &value);
       --left) {
    // Keys written as literals are the interned names themselves.
    if (key == names.data_type) {
      found[0] = value;
    } else if (key == names.nullable) {
      found[1] = value;
    } else if (key == names.primary_key) {
      found[2] = value;
    } else {
      if (!PyUnicode_CheckExact(key)) return false;
      PyObject* const wanted[3] = {names.data_type, names.nullable, names.primary_key};
      for (int i = 0; i < 3; ++i) {
        if (PyUnicode_Compare(key, wanted[i]) == 0) {
          found[i] = value;
          break;
        }
      }
    }
  }
  const auto plain_flag = [](PyObject* v) { return !v || v == Py_True || v == Py_False; };
  return plain_flag(found[1]) && plain_flag(found[2]);
}

/// read_column when the one pass cannot be trusted: the three lookups, in their order.
[[gnu::noinline]] Status read_column_by_lookups(PyObject* attrs, const AttributeNames& names,
                                                core::ModelColumn& column, Holds& holds) {
  // A key's __eq__ may drop the dict from the model's: it stays readable until the end.
  holds.hold(attrs);
  KESTRELITE_TRY(data_type, lookup(attrs, names.data_type));
  KESTRELITE_CHECK(read_data_type(data_type, holds, column.data_type));
  KESTRELITE_TRY(nullable, lookup(attrs, names.nullable));
  KESTRELITE_CHECK(read_flag(nullable, column.nullable));
  KESTRELITE_TRY(primary_key, lookup(attrs, names.primary_key));
  KESTRELITE_CHECK(read_flag(primary_key, column.primary_key));
  return Unit{};
}

/// Reads a column's three attributes from its dict into `column`; absent or unconvertible
/// values leave the defaults (see read_data_type and read_flag).
[[gnu::always_inline]] inline Status read_column(PyObject* attrs, const AttributeNames& names,
                                                 core::ModelColumn& column, Holds& holds) {
  PyObject* found[3] = {nullptr, nullptr, nullptr};
  if (!scan_column(attrs, names, found))
    return read_column_by_lookups(attrs, names, column, holds);
  KESTRELITE_CHECK(read_data_type(found[0], holds, column.data_type));
  KESTRELITE_CHECK(read_flag(found[1], column.nullable));
  KESTRELITE_CHECK(read_flag(found[2], column.primary_key));
  return Unit{};
}

/// A list of the statements of one side of a diff.
Result<Owned> statement_list(const core::MigrationText& m,
                             const std::vector<core::MigrationText::Span>& side) {
  return new_str_list(
      std::views::transform(side, [&m](core::MigrationText::Span span) { return m.at(span); }));
}

/// The statements buffer: the module state's while no other call holds it (see
/// ModuleState::migration), else one of this call's own.
class StatementBuffer {
 public:
  StatementBuffer() : leased_(!state().migration_leased) {
    if (leased_) {
      state().migration_leased = true;
    } else {
      own_.emplace();
    }
  }
  StatementBuffer(const StatementBuffer&) = delete;
  StatementBuffer& operator=(const StatementBuffer&) = delete;
  ~StatementBuffer() {
    if (leased_) state().migration_leased = false;
  }
  core::MigrationText& get() noexcept { return leased_ ? state().migration : *own_; }

 private:
  bool leased_;
  std::optional<core::MigrationText> own_;
};

/// The two statement lists of a diff whose columns are read.
Result<Owned> statements(std::string_view table, std::span<const core::ModelColumn> columns,
                         const core::SmallVector<bool, 64>& present, bool table_exists,
                         std::string_view dialect) {
  StatementBuffer buffer;
  core::MigrationText& m = buffer.get();
  core::diff_columns(m, table, columns, std::span<const bool>(present.data(), present.size()),
                     table_exists, dialect);
  KESTRELITE_TRY(upgrade, statement_list(m, m.upgrade));
  KESTRELITE_TRY(downgrade, statement_list(m, m.downgrade));
  return checked(PyTuple_Pack(2, upgrade.get(), downgrade.get()));
}

/// Which of `keys` (exact strs) `db_columns` has, when its own keys are exact strs too: two
/// exact strs are equal keys exactly when their texts are, so the dict's answer, from the
/// hashes the strs keep, is the one core::mark_present would give.
Status mark_present_keys(PyObject* db_columns, std::span<PyObject* const> keys,
                         core::SmallVector<bool, 64>& present) {
  present.reserve(keys.size());
  for (PyObject* k : keys) {
    const int has = PyDict_Contains(db_columns, k);
    if (has < 0) return fetch_error();
    present.push_back(has == 1);
  }
  return Unit{};
}

Result<Owned> diff_table(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(receiver, take_shared<NoState>(self, g_schema_diff_engine_class));
  Str table;
  KESTRELITE_CHECK(str_arg(a[0], "table_name", table));
  KESTRELITE_TRY(model_fields, convert_arg(a[1], "model_fields", to_dict));
  KESTRELITE_TRY(db_columns, convert_arg(a[2], "db_columns", to_dict));
  Str dialect;
  KESTRELITE_CHECK(str_arg(a[3], "_dialect", dialect));
  KESTRELITE_TRY(names, attribute_names());

  // Each str is held as it is read, and each dict checked at every step.
  Holds holds;
  // While every name is an exact str the names are distinct texts, as keys of one dict: the
  // columns are kept as they come, each beside its key. The first other name moves them into
  // the map that merges equal texts.
  core::SmallVector<core::ModelColumn, 32> plain;
  core::SmallVector<PyObject*, 32> plain_keys;  // held by `holds`
  core::ModelColumns merged;
  bool is_plain = true;
  DictWalk model_walk(model_fields);
  holds.reserve(2 * static_cast<std::size_t>(model_walk.size()));
  PyObject *key, *value;
  while (true) {
    KESTRELITE_TRY(more, model_walk.next(key, value));
    if (!more) break;
    // A failed read ends the call before `value` is touched: making its exception may have
    // run finalisers that dropped the entry.
    std::string_view name;
    KESTRELITE_CHECK(held_text(key, holds, name));
    KESTRELITE_TRY(attrs, to_dict(value));
    if (is_plain && !PyUnicode_CheckExact(key)) {
      is_plain = false;
      merged.reserve(static_cast<std::size_t>(model_walk.size()));
      for (const core::ModelColumn& c : plain) merged.put(c);
    }
    core::ModelColumn* column = nullptr;
    if (is_plain) {
      column = &plain.emplace_back();
      column->name = name;
      plain_keys.push_back(key);
    } else {
      column = &merged.column(name);
    }
    KESTRELITE_CHECK(read_column(attrs, names, *column, holds));
  }

  // Nothing below runs Python code but on a failure that ends the call: the database's names
  // need no hold but their 3.9 copies.
  core::SmallVector<std::string_view, 32> db_names;
  bool db_plain = true;
  DictWalk db_walk(db_columns);
  while (true) {
    KESTRELITE_TRY(more, db_walk.next(key, value));
    if (!more) break;
    Str name;
    KESTRELITE_CHECK(read_str(key, name));
    db_names.push_back(name.view);
    holds.keep(std::move(name.owner));
    Str type_text;  // checked, not used
    KESTRELITE_CHECK(read_str(value, type_text));
    db_plain = db_plain && PyUnicode_CheckExact(key);
  }

  const std::span<const core::ModelColumn> columns =
      is_plain ? std::span<const core::ModelColumn>(plain.data(), plain.size())
               : merged.columns();
  core::SmallVector<bool, 64> present;
  if (is_plain && db_plain) {
    KESTRELITE_CHECK(mark_present_keys(
        db_columns, std::span<PyObject* const>(plain_keys.data(), plain_keys.size()), present));
  } else if (!db_names.empty()) {
    core::ColumnNames db;
    db.reserve(db_names.size());
    for (std::string_view n : db_names) db.put(n);
    core::mark_present(columns, db, present);
  }

  return statements(table.view, columns, present, !db_names.empty(), dialect.view);
}

const MethodEntry kMethods[] = {
    keyword_method<kDiffTable, diff_table>(
        "diff_table($self, table_name, model_fields, db_columns, _dialect)\n--\n\nCompares model "
        "metadata against database introspection table structure.\nReturns upgrade_statements "
        "and downgrade_statements."),
};

}  // namespace

ClassDef g_schema_diff_engine_class{
    ClassId::kSchemaDiffEngine,
    "SchemaDiffEngine",
    "SchemaDiffEngine()\n--\n\n",
    sizeof(Instance<NoState>),
    &generic_new<NoState, g_schema_diff_engine_class, kNew>,
    &generic_dealloc<NoState>,
    kMethods,
};

}  // namespace kestrelite::python

// class QueryCompiler:
//     def get_placeholder(self, dialect: str, index: int) -> str
//     def compile_select(self, table, columns, wheres, joins, order_by,
//                        limit=None, offset=None, dialect="sqlite") -> tuple[str, list[str]]
//     def compile_insert(self, table, columns, dialect) -> str
//     def compile_update(self, table, columns, pk_col, dialect) -> str
//     def compile_delete(self, table, pk_col, dialect) -> str

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/compiler.hpp"
#include "core/text.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace kestrelite::python {
namespace {

/// Statements already built, found again by the very argument objects they were built from:
/// exact strs, and exact lists or tuples of exact strs compared item by item. Each entry
/// holds its arguments, so no other object can come to live at their addresses while it
/// stands, and a hit is a few pointer comparisons that hand back the same str object. Only
/// arguments that no Python code can stand behind are remembered; whatever else is passed
/// is built every time.
class StatementCache {
 public:
  enum class Kind : std::uint8_t { kInsert = 1, kUpdate, kDelete };

  /// The statement built before from these arguments (a new reference), or nullptr.
  PyObject* find(Kind kind, std::span<PyObject* const> texts, PyObject* columns) const noexcept {
    const ColumnsView view(columns);
    const Entry& e = slots_[slot_of(kind, texts, view.first)];
    if (e.kind != kind || e.text_count != texts.size() || e.has_columns != (columns != nullptr))
      return nullptr;
    for (std::size_t i = 0; i < texts.size(); ++i)
      if (e.texts[i].get() != texts[i]) return nullptr;
    if (columns) {
      if (view.size < 0 || static_cast<std::size_t>(view.size) != e.columns.size()) return nullptr;
      if (view.size > 0 && view.first != e.columns[0].get()) return nullptr;
      for (Py_ssize_t i = 1; i < view.size; ++i)
        if (view.at(i) != e.columns[static_cast<std::size_t>(i)].get()) return nullptr;
    }
    PyObject* statement = e.statement.get();
    Py_INCREF(statement);
    return statement;
  }

  /// Remembers `statement` as built from these arguments, when they qualify.
  void remember(Kind kind, std::span<PyObject* const> texts, PyObject* columns,
                PyObject* statement) {
    if (texts.size() > kMaxTexts) return;
    for (PyObject* t : texts)
      if (!PyUnicode_CheckExact(t)) return;
    const ColumnsView view(columns);
    const Py_ssize_t n = columns ? view.size : 0;
    if (n < 0) return;
    Entry& e = slots_[slot_of(kind, texts, view.first)];
    e = Entry();
    e.columns.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = view.at(i);
      if (!PyUnicode_CheckExact(item)) return;
      e.columns.push_back(Owned::borrow(item));
    }
    for (std::size_t i = 0; i < texts.size(); ++i) e.texts[i] = Owned::borrow(texts[i]);
    e.text_count = static_cast<std::uint8_t>(texts.size());
    e.has_columns = columns != nullptr;
    e.statement = Owned::borrow(statement);
    e.kind = kind;
  }

 private:
  static constexpr std::size_t kSlots = 32;  // a power of two
  static constexpr std::size_t kMaxTexts = 3;
  static constexpr Py_ssize_t kMaxColumns = 64;

  struct Entry {
    Kind kind{};  // none while the entry is empty
    std::uint8_t text_count = 0;
    bool has_columns = false;
    std::array<Owned, kMaxTexts> texts;
    std::vector<Owned> columns;
    Owned statement;
  };

  /// The items of an exact list or tuple of at most kMaxColumns; `size` is -1 for anything
  /// else (nothing to remember), and `first` the first item when there is one.
  struct ColumnsView {
    explicit ColumnsView(PyObject* columns) noexcept : columns(columns) {
      if (!columns) return;
      list = PyList_CheckExact(columns);
      if (list) size = PyList_Size(columns);
      else if (PyTuple_CheckExact(columns)) size = PyTuple_Size(columns);
      if (size > kMaxColumns) size = -1;
      if (size > 0) first = at(0);
    }
    PyObject* at(Py_ssize_t i) const noexcept {
      return list ? PyList_GetItem(columns, i) : PyTuple_GetItem(columns, i);
    }
    PyObject* columns;
    bool list = false;
    Py_ssize_t size = -1;
    PyObject* first = nullptr;
  };

  /// Spreads calls over the slots by the identity of their texts and first column: a list
  /// literal is a new object at every call, but its items are the same constants.
  static std::size_t slot_of(Kind kind, std::span<PyObject* const> texts,
                             PyObject* first) noexcept {
    std::uintptr_t h = static_cast<std::uintptr_t>(kind);
    for (PyObject* t : texts) h = h * 0x9E3779B97F4A7C15ull + reinterpret_cast<std::uintptr_t>(t);
    if (first) h = h * 0x9E3779B97F4A7C15ull + reinterpret_cast<std::uintptr_t>(first);
    return static_cast<std::size_t>((h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull >> 58) % kSlots;
  }

  std::array<Entry, kSlots> slots_;
};

/// SELECT texts already built, found again the same way: by the objects the text depends on
/// (table, columns, each condition's column and operator, joins, ordering, paging, dialect).
/// The condition values take no part in the text; a hit lists them afresh.
class SelectCache {
 public:
  /// The borrowed objects of one call, in a fixed order, and its condition values.
  struct Key {
    core::SmallVector<PyObject*, 32> objects;
    core::SmallVector<PyObject*, 8> values;
    std::array<Py_ssize_t, 4> counts{};  // columns, wheres, joins, order_by
  };

  /// Reads the key of a call; false when some argument is not of a kind remembered (exact
  /// strs, exact lists or tuples of them, exact tuples as rows, exact ints or None as paging).
  static bool read_key(const Slots& a, Key& key) {
    if (!PyUnicode_CheckExact(a[0])) return false;
    key.objects.push_back(a[0]);
    for (int i : {5, 6}) {
      if (a[i] && a[i] != Py_None && !PyLong_CheckExact(a[i])) return false;
      key.objects.push_back(a[i]);
    }
    if (a[7] && !PyUnicode_CheckExact(a[7])) return false;
    key.objects.push_back(a[7]);
    constexpr int kWidths[] = {1, 3, 3, 2};
    for (int g = 0; g < 4; ++g) {
      PyObject* seq = a[1 + g];
      const Py_ssize_t n = exact_size(seq);
      if (n < 0) return false;
      key.counts[static_cast<std::size_t>(g)] = n;
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = item_at(seq, i);
        if (g == 0) {
          if (!PyUnicode_CheckExact(item)) return false;
          key.objects.push_back(item);
          continue;
        }
        if (!PyTuple_CheckExact(item) || PyTuple_Size(item) != kWidths[g]) return false;
        for (int f = 0; f < kWidths[g]; ++f) {
          PyObject* field = PyTuple_GetItem(item, f);
          if (!PyUnicode_CheckExact(field)) return false;
          // A condition's value is bound, not written: it is listed, not compared.
          if (g == 1 && f == 2) {
            key.values.push_back(field);
          } else {
            key.objects.push_back(field);
          }
        }
      }
    }
    return true;
  }

  /// The text built before for this key (borrowed), or nullptr.
  PyObject* find(const Key& key) const noexcept {
    const Entry& e = slots_[slot_of(key)];
    if (!e.text || e.counts != key.counts || e.objects.size() != key.objects.size())
      return nullptr;
    for (std::size_t i = 0; i < e.objects.size(); ++i)
      if (e.objects[i].get() != key.objects[i]) return nullptr;
    return e.text.get();
  }

  void remember(const Key& key, PyObject* text) {
    Entry& e = slots_[slot_of(key)];
    e = Entry();
    e.objects.reserve(key.objects.size());
    for (PyObject* o : key.objects) e.objects.push_back(Owned::borrow(o));
    e.counts = key.counts;
    e.text = Owned::borrow(text);
  }

 private:
  static constexpr std::size_t kSlots = 16;  // a power of two
  static constexpr Py_ssize_t kMaxRows = 64;

  struct Entry {
    std::vector<Owned> objects;  // null entries stand for absent arguments
    std::array<Py_ssize_t, 4> counts{};
    Owned text;
  };

  static Py_ssize_t exact_size(PyObject* seq) noexcept {
    Py_ssize_t n = -1;
    if (PyList_CheckExact(seq)) n = PyList_Size(seq);
    else if (PyTuple_CheckExact(seq)) n = PyTuple_Size(seq);
    return n <= kMaxRows ? n : -1;
  }
  static PyObject* item_at(PyObject* seq, Py_ssize_t i) noexcept {
    return PyList_CheckExact(seq) ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
  }

  static std::size_t slot_of(const Key& key) noexcept {
    std::uintptr_t h = 0;
    const std::size_t n = key.objects.size() < 6 ? key.objects.size() : 6;
    for (std::size_t i = 0; i < n; ++i)
      h = h * 0x9E3779B97F4A7C15ull + reinterpret_cast<std::uintptr_t>(key.objects[i]);
    h += static_cast<std::uintptr_t>(key.objects.size());
    return static_cast<std::size_t>((h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull >> 59) % kSlots;
  }

  std::array<Entry, kSlots> slots_;
};

/// A compiler's own state: its statement caches, made on first need.
struct CompilerState {
  // Changed under shared holds too: nothing in them runs Python code, so no call can come
  // back into them halfway.
  mutable std::unique_ptr<StatementCache> cache;
  mutable std::unique_ptr<SelectCache> select_cache;

  StatementCache& statements() const {
    if (!cache) cache = std::make_unique<StatementCache>();
    return *cache;
  }
  SelectCache& selects() const {
    if (!select_cache) select_cache = std::make_unique<SelectCache>();
    return *select_cache;
  }
};

/// The (text, values) pair of a SELECT: `values` are the conditions' own value objects.
Result<Owned> select_result(PyObject* text, std::span<PyObject* const> values) {
  KESTRELITE_TRY(params, checked(PyList_New(static_cast<Py_ssize_t>(values.size()))));
  for (std::size_t k = 0; k < values.size(); ++k)
    PyList_SetItem(params.get(), static_cast<Py_ssize_t>(k), Owned::borrow(values[k]).release());
  return checked(PyTuple_Pack(2, text, params.get()));
}
using Kind = StatementCache::Kind;

constexpr std::string_view kNoParams[] = {""};
constexpr FunctionDescription kNew{"QueryCompiler", "__new__", std::span(kNoParams, 0), 0};

constexpr std::string_view kPlaceholderParams[] = {"dialect", "index"};
constexpr FunctionDescription kGetPlaceholder{"QueryCompiler", "get_placeholder",
                                              kPlaceholderParams, 2};
constexpr std::string_view kSelectParams[] = {"table",    "columns", "wheres", "joins",
                                         "order_by", "limit",   "offset", "dialect"};
constexpr FunctionDescription kCompileSelect{"QueryCompiler", "compile_select", kSelectParams, 5};
constexpr std::string_view kInsertParams[] = {"table", "columns", "dialect"};
constexpr FunctionDescription kCompileInsert{"QueryCompiler", "compile_insert", kInsertParams, 3};
constexpr std::string_view kUpdateParams[] = {"table", "columns", "pk_col", "dialect"};
constexpr FunctionDescription kCompileUpdate{"QueryCompiler", "compile_update", kUpdateParams, 4};
constexpr std::string_view kDeleteParams[] = {"table", "pk_col", "dialect"};
constexpr FunctionDescription kCompileDelete{"QueryCompiler", "compile_delete", kDeleteParams, 3};

/// The statement buffer, reused from call to call so that building a statement allocates
/// only when it is longer than any before it.
std::string& statement_buffer() {
  static std::string buffer;
  return buffer;
}

std::span<const std::string_view> column_views(const StrList& list) {
  return {list.rows.data(), list.rows.size()};
}

Result<Owned> get_placeholder(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(receiver, take_shared<CompilerState>(self, g_query_compiler_class));
  KESTRELITE_TRY(dialect, convert_arg(a[0], "dialect", to_str));
  KESTRELITE_TRY(index, convert_arg(a[1], "index", to_u64));
  std::string& out = statement_buffer();
  out.clear();
  core::append_placeholder(out, core::classify_dialect(dialect.view), index);
  return new_str(out);
}

Result<Owned> compile_insert(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(receiver, take_shared<CompilerState>(self, g_query_compiler_class));
  PyObject* const texts[] = {a[0], a[2]};
  StatementCache& cache = receiver->statements();
  if (PyObject* built = cache.find(Kind::kInsert, texts, a[1])) return Owned::steal(built);
  KESTRELITE_TRY(table, convert_arg(a[0], "table", to_str));
  StrList columns;
  KESTRELITE_CHECK(convert_arg_into(a[1], "columns", to_str_list, columns));
  KESTRELITE_TRY(dialect, convert_arg(a[2], "dialect", to_str));
  const std::span<const std::string_view> names = column_views(columns);
  std::string& out = statement_buffer();
  core::compile_insert(out, table.view, names, dialect.view);
  KESTRELITE_TRY(statement, new_str(out));
  cache.remember(Kind::kInsert, texts, a[1], statement.get());
  return statement;
}

Result<Owned> compile_update(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(receiver, take_shared<CompilerState>(self, g_query_compiler_class));
  PyObject* const texts[] = {a[0], a[2], a[3]};
  StatementCache& cache = receiver->statements();
  if (PyObject* built = cache.find(Kind::kUpdate, texts, a[1])) return Owned::steal(built);
  KESTRELITE_TRY(table, convert_arg(a[0], "table", to_str));
  StrList columns;
  KESTRELITE_CHECK(convert_arg_into(a[1], "columns", to_str_list, columns));
  KESTRELITE_TRY(pk_col, convert_arg(a[2], "pk_col", to_str));
  KESTRELITE_TRY(dialect, convert_arg(a[3], "dialect", to_str));
  const std::span<const std::string_view> names = column_views(columns);
  std::string& out = statement_buffer();
  core::compile_update(out, table.view, names, pk_col.view, dialect.view);
  KESTRELITE_TRY(statement, new_str(out));
  cache.remember(Kind::kUpdate, texts, a[1], statement.get());
  return statement;
}

Result<Owned> compile_delete(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(receiver, take_shared<CompilerState>(self, g_query_compiler_class));
  PyObject* const texts[] = {a[0], a[1], a[2]};
  StatementCache& cache = receiver->statements();
  if (PyObject* built = cache.find(Kind::kDelete, texts, nullptr)) return Owned::steal(built);
  KESTRELITE_TRY(table, convert_arg(a[0], "table", to_str));
  KESTRELITE_TRY(pk_col, convert_arg(a[1], "pk_col", to_str));
  KESTRELITE_TRY(dialect, convert_arg(a[2], "dialect", to_str));
  std::string& out = statement_buffer();
  core::compile_delete(out, table.view, pk_col.view, dialect.view);
  KESTRELITE_TRY(statement, new_str(out));
  cache.remember(Kind::kDelete, texts, nullptr, statement.get());
  return statement;
}

/// Join types and directions outside ASCII are upper-cased by the interpreter itself, so the
/// result is exactly str.upper() of the running version; ASCII ones are folded by the core.
Result<Str> upper_text(PyObject* obj, std::string_view text, core::SmallVector<Owned, 4>& keep) {
  if (core::is_ascii(text)) return Str{text, Owned()};
  // str.upper itself, not a subclass's override.
  Owned upper = Owned::steal(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "upper", "O", obj));
  if (!upper) return fetch_error();
  KESTRELITE_TRY(s, to_str(upper.get()));
  if (s.keep) keep.push_back(std::move(s.keep));
  keep.push_back(std::move(upper));
  return Str{s.view, Owned()};
}

Result<Owned> compile_select(PyObject* self, const Slots& a) {
  KESTRELITE_TRY(receiver, take_shared<CompilerState>(self, g_query_compiler_class));
  SelectCache& cache = receiver->selects();
  SelectCache::Key key;
  const bool keyed = SelectCache::read_key(a, key);
  if (keyed) {
    if (PyObject* text = cache.find(key))
      return select_result(text, {key.values.data(), key.values.size()});
  }
  KESTRELITE_TRY(table, convert_arg(a[0], "table", to_str));
  StrList columns;
  KESTRELITE_CHECK(convert_arg_into(a[1], "columns", to_str_list, columns));
  StrRows<3> wheres;
  KESTRELITE_CHECK(convert_arg_into(a[2], "wheres", to_str_triples, wheres));
  StrRows<3> joins;
  KESTRELITE_CHECK(convert_arg_into(a[3], "joins", to_str_triples, joins));
  StrRows<2> order_by;
  KESTRELITE_CHECK(convert_arg_into(a[4], "order_by", to_str_pairs, order_by));
  std::optional<std::uint64_t> limit, offset;
  if (a[5] && a[5] != Py_None) {
    KESTRELITE_TRY(v, convert_arg(a[5], "limit", to_u64));
    limit = v;
  }
  if (a[6] && a[6] != Py_None) {
    KESTRELITE_TRY(v, convert_arg(a[6], "offset", to_u64));
    offset = v;
  }
  std::string_view dialect_text = "sqlite";
  Str dialect;
  if (a[7]) {
    KESTRELITE_TRY(d, convert_arg(a[7], "dialect", to_str));
    dialect = std::move(d);
    dialect_text = dialect.view;
  }

  const std::span<const std::string_view> names = column_views(columns);
  core::SmallVector<Owned, 4> upper_keep;
  core::SmallVector<core::Join, 4> join_specs;
  join_specs.reserve(joins.rows.size());
  for (std::size_t i = 0; i < joins.rows.size(); ++i) {
    const auto& row = joins.rows[i];
    KESTRELITE_TRY(type, upper_text(PyTuple_GetItem(joins.tuples[i], 0), row[0], upper_keep));
    join_specs.push_back({type.view, row[1], row[2]});
  }
  core::SmallVector<core::OrderTerm, 4> order_specs;
  order_specs.reserve(order_by.rows.size());
  for (std::size_t i = 0; i < order_by.rows.size(); ++i) {
    const auto& row = order_by.rows[i];
    KESTRELITE_TRY(dir, upper_text(PyTuple_GetItem(order_by.tuples[i], 1), row[1], upper_keep));
    order_specs.push_back({row[0], dir.view});
  }
  core::SmallVector<core::Condition, 8> conditions;
  conditions.reserve(wheres.rows.size());
  for (const auto& row : wheres.rows) conditions.push_back({row[0], row[1]});

  core::SelectQuery query{table.view,
                          names,
                          {join_specs.data(), join_specs.size()},
                          {conditions.data(), conditions.size()},
                          {order_specs.data(), order_specs.size()},
                          limit,
                          offset,
                          dialect_text};
  std::string& out = statement_buffer();
  core::compile_select(out, query);
  KESTRELITE_TRY(text, new_str(out));
  KESTRELITE_TRY(params, checked(PyList_New(static_cast<Py_ssize_t>(wheres.rows.size()))));
  // A plain str value is handed back itself; a subclass instance becomes a plain str.
  for (std::size_t k = 0; k < wheres.rows.size(); ++k) {
    PyObject* given = PyTuple_GetItem(wheres.tuples[k], 2);
    Owned value;
    if (PyUnicode_CheckExact(given)) {
      value = Owned::borrow(given);
    } else {
      KESTRELITE_TRY(copy, new_str(wheres.rows[k][2]));
      value = std::move(copy);
    }
    PyList_SetItem(params.get(), static_cast<Py_ssize_t>(k), value.release());
  }
  // Building ran no Python code when the arguments were of the remembered kinds.
  if (keyed) cache.remember(key, text.get());
  return checked(PyTuple_Pack(2, text.get(), params.get()));
}

const MethodEntry kMethods[] = {
    keyword_method<kGetPlaceholder, get_placeholder>(
        "get_placeholder($self, dialect, index)\n--\n\nFormats placeholder based on database "
        "dialect: sqlite (?), postgres ($N), mysql (%s)"),
    keyword_method<kCompileSelect, compile_select>(
        "compile_select($self, table, columns, wheres, joins, order_by, limit=None, offset=None, "
        "dialect=\"sqlite\")\n--\n\nCompiles SELECT query with pre-allocated buffer"),
    keyword_method<kCompileInsert, compile_insert>(
        "compile_insert($self, table, columns, dialect)\n--\n\nCompiles INSERT query with "
        "pre-allocated buffer"),
    keyword_method<kCompileUpdate, compile_update>(
        "compile_update($self, table, columns, pk_col, dialect)\n--\n\nCompiles UPDATE query with "
        "pre-allocated buffer"),
    keyword_method<kCompileDelete, compile_delete>(
        "compile_delete($self, table, pk_col, dialect)\n--\n\nCompiles DELETE query"),
};

}  // namespace

ClassDef g_query_compiler_class{
    "QueryCompiler",
    "QueryCompiler()\n--\n\n",
    sizeof(Instance<CompilerState>),
    &generic_new<CompilerState, g_query_compiler_class, kNew>,
    &generic_dealloc<CompilerState>,
    kMethods,
};

}  // namespace kestrelite::python

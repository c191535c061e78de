// class QueryCompiler:
//     def get_placeholder(self, dialect: str, index: int) -> str
//     def compile_select(self, table, columns, wheres, joins, order_by,
//                        limit=None, offset=None, dialect="sqlite") -> tuple[str, list[str]]
//     def compile_insert(self, table, columns, dialect) -> str
//     def compile_update(self, table, columns, pk_col, dialect) -> str
//     def compile_delete(self, table, pk_col, dialect) -> str

#include <optional>
#include <string>

#include "core/compiler.hpp"
#include "core/text.hpp"
#include "python/binding.hpp"
#include "python/classes.hpp"

namespace kestrelite::python {
namespace {

// The compiler keeps nothing between calls: its methods check only the receiver's type, as
// there is no state for the borrow guard to keep.
struct NoState {};

constexpr std::string_view kNoParams[] = {""};
constexpr FunctionDescription kNew{"QueryCompiler", "__new__", std::span(kNoParams, 0), 0};

constexpr std::string_view kPlaceholderParams[] = {"dialect", "index"};
constexpr FunctionDescription kGetPlaceholder{"QueryCompiler", "get_placeholder",
                                              kPlaceholderParams, 2,
                                              KeywordMethod::kGetPlaceholder};
constexpr std::string_view kSelectParams[] = {"table",    "columns", "wheres", "joins",
                                         "order_by", "limit",   "offset", "dialect"};
constexpr FunctionDescription kCompileSelect{"QueryCompiler", "compile_select", kSelectParams, 5,
                                             KeywordMethod::kCompileSelect};
constexpr std::string_view kInsertParams[] = {"table", "columns", "dialect"};
constexpr FunctionDescription kCompileInsert{"QueryCompiler", "compile_insert", kInsertParams, 3,
                                             KeywordMethod::kCompileInsert};
constexpr std::string_view kUpdateParams[] = {"table", "columns", "pk_col", "dialect"};
constexpr FunctionDescription kCompileUpdate{"QueryCompiler", "compile_update", kUpdateParams, 4,
                                             KeywordMethod::kCompileUpdate};
constexpr std::string_view kDeleteParams[] = {"table", "pk_col", "dialect"};
constexpr FunctionDescription kCompileDelete{"QueryCompiler", "compile_delete", kDeleteParams, 3,
                                             KeywordMethod::kCompileDelete};

/// The statement buffer of the module state (see ModuleState::statement for why no call
/// meets it in use), so that building a statement allocates only when it is longer than any
/// before it.
std::string& statement_buffer() { return state().statement; }

std::span<const std::string_view> column_views(const StrList& list) {
  return {list.rows.data(), list.rows.size()};
}

/// Reads a list argument, a refusal prefixed with the argument name.
template <std::size_t Width, class Row>
[[gnu::always_inline]] inline Status read_list_arg(PyObject* obj, const char* name, StrRows<Width, Row>& out) {
  Status r = read_rows(obj, out);
  if (!r) [[unlikely]] return argument_error(std::move(r).error(), name);
  return r;
}

Result<Owned> get_placeholder(PyObject* self, const Slots& a) {
  KESTRELITE_CHECK(check_receiver(self, g_query_compiler_class));
  Str dialect;
  KESTRELITE_CHECK(str_arg(a[0], "dialect", dialect));
  std::uint64_t index = 0;
  KESTRELITE_CHECK(u64_arg(a[1], "index", index));
  std::string& out = statement_buffer();
  out.clear();
  core::append_placeholder(out, core::classify_dialect(dialect.view), index);
  return new_str(out);
}

Result<Owned> compile_insert(PyObject* self, const Slots& a) {
  KESTRELITE_CHECK(check_receiver(self, g_query_compiler_class));
  Str table;
  KESTRELITE_CHECK(str_arg(a[0], "table", table));
  StrList columns;
  KESTRELITE_CHECK(read_list_arg(a[1], "columns", columns));
  Str dialect;
  KESTRELITE_CHECK(str_arg(a[2], "dialect", dialect));
  const std::span<const std::string_view> names = column_views(columns);
  std::string& out = statement_buffer();
  core::compile_insert(out, table.view, names, dialect.view);
  return new_str(out);
}

Result<Owned> compile_update(PyObject* self, const Slots& a) {
  KESTRELITE_CHECK(check_receiver(self, g_query_compiler_class));
  Str table;
  KESTRELITE_CHECK(str_arg(a[0], "table", table));
  StrList columns;
  KESTRELITE_CHECK(read_list_arg(a[1], "columns", columns));
  Str pk_col;
  KESTRELITE_CHECK(str_arg(a[2], "pk_col", pk_col));
  Str dialect;
  KESTRELITE_CHECK(str_arg(a[3], "dialect", dialect));
  const std::span<const std::string_view> names = column_views(columns);
  std::string& out = statement_buffer();
  core::compile_update(out, table.view, names, pk_col.view, dialect.view);
  return new_str(out);
}

Result<Owned> compile_delete(PyObject* self, const Slots& a) {
  KESTRELITE_CHECK(check_receiver(self, g_query_compiler_class));
  Str table;
  KESTRELITE_CHECK(str_arg(a[0], "table", table));
  Str pk_col;
  KESTRELITE_CHECK(str_arg(a[1], "pk_col", pk_col));
  Str dialect;
  KESTRELITE_CHECK(str_arg(a[2], "dialect", dialect));
  std::string& out = statement_buffer();
  core::compile_delete(out, table.view, pk_col.view, dialect.view);
  return new_str(out);
}

/// Join types and directions outside ASCII are upper-cased by the interpreter itself, so the
/// result is exactly str.upper() of the running version; ASCII ones are folded by the core.
Result<Str> upper_text_slow(PyObject* obj, core::SmallVector<Owned, 4>& keep) {
  // str.upper itself, not a subclass's override.
  Owned upper = Owned::steal(
      PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "upper", "O", obj));
  if (!upper) return fetch_error();
  KESTRELITE_TRY(s, to_str(upper.get()));
  if (s.owner) keep.push_back(std::move(s.owner));
  keep.push_back(std::move(upper));
  return Str{s.view, Owned()};
}

/// `text` (item `index` of `tuple`) itself when it is ASCII, for the core to fold; else the
/// interpreter's upper case of it.
Status upper_text(PyObject* tuple, Py_ssize_t index, std::string_view& text,
                  core::SmallVector<Owned, 4>& keep) {
  if (core::is_ascii(text)) [[likely]] return Unit{};
  KESTRELITE_TRY(upper, upper_text_slow(PyTuple_GetItem(tuple, index), keep));
  text = upper.view;
  return Unit{};
}

Result<Owned> compile_select(PyObject* self, const Slots& a) {
  KESTRELITE_CHECK(check_receiver(self, g_query_compiler_class));
  Str table;
  KESTRELITE_CHECK(str_arg(a[0], "table", table));
  // The limit and offset may run Python code (__index__), which may change the lists: their
  // items are held until the statement is written.
  // Each row's texts are read straight into the record the statement builder takes.
  StrList columns;
  KESTRELITE_CHECK(read_list_arg(a[1], "columns", columns));
  StrRows<3, core::Condition> wheres;
  KESTRELITE_CHECK(read_list_arg(a[2], "wheres", wheres));
  StrRows<3, core::Join> joins;
  KESTRELITE_CHECK(read_list_arg(a[3], "joins", joins));
  StrRows<2, core::OrderTerm> order_by;
  KESTRELITE_CHECK(read_list_arg(a[4], "order_by", order_by));
  std::optional<std::uint64_t> limit, offset;
  if (a[5] && a[5] != Py_None) KESTRELITE_CHECK(u64_arg(a[5], "limit", limit.emplace()));
  if (a[6] && a[6] != Py_None) KESTRELITE_CHECK(u64_arg(a[6], "offset", offset.emplace()));
  Str dialect{"sqlite", Owned()};
  if (a[7]) KESTRELITE_CHECK(str_arg(a[7], "dialect", dialect));

  const std::span<const std::string_view> names = column_views(columns);
  core::SmallVector<Owned, 4> upper_keep;
  for (std::size_t i = 0; i < joins.rows.size(); ++i)
    KESTRELITE_CHECK(upper_text(joins.items[i], 0, joins.rows[i].type, upper_keep));
  for (std::size_t i = 0; i < order_by.rows.size(); ++i)
    KESTRELITE_CHECK(upper_text(order_by.items[i], 1, order_by.rows[i].direction, upper_keep));

  core::SelectQuery query{table.view,
                          names,
                          {joins.rows.data(), joins.rows.size()},
                          {wheres.rows.data(), wheres.rows.size()},
                          {order_by.rows.data(), order_by.rows.size()},
                          limit,
                          offset,
                          dialect.view};
  std::string& out = statement_buffer();
  core::compile_select(out, query);
  KESTRELITE_TRY(text, new_str(out));
  KESTRELITE_TRY(params, checked(PyList_New(static_cast<Py_ssize_t>(wheres.rows.size()))));
  // A plain str value is handed back itself; a subclass instance becomes a plain str.
  for (std::size_t k = 0; k < wheres.rows.size(); ++k) {
    PyObject* given = PyTuple_GetItem(wheres.items[k], 2);
    Owned value;
    if (PyUnicode_CheckExact(given)) {
      value = Owned::borrow(given);
    } else {
      KESTRELITE_TRY(copy, new_str(wheres.rows[k].value));
      value = std::move(copy);
    }
    PyList_SetItem(params.get(), static_cast<Py_ssize_t>(k), value.release());
  }
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
    ClassId::kQueryCompiler,
    "QueryCompiler",
    "QueryCompiler()\n--\n\n",
    sizeof(Instance<NoState>),
    &generic_new<NoState, g_query_compiler_class, kNew>,
    &generic_dealloc<NoState>,
    kMethods,
};

}  // namespace kestrelite::python

#include "core/migration_diff.hpp"

#include <cassert>
#include <string>
#include <utility>

#include "core/writer.hpp"

namespace kestrelite::core {
namespace {

/// The key clause of a primary-key column in CREATE TABLE; the dialect is matched exactly.
std::string_view primary_key_clause(std::string_view dialect) noexcept {
  if (dialect == "mysql") return " INT AUTO_INCREMENT PRIMARY KEY";
  if (dialect == "postgres" || dialect == "postgresql") return " SERIAL PRIMARY KEY";
  return " INTEGER PRIMARY KEY AUTOINCREMENT";
}

constexpr std::string_view kCreate = "CREATE TABLE IF NOT EXISTS ";
constexpr std::string_view kDropTable = "DROP TABLE IF EXISTS ";
constexpr std::string_view kAlter = "ALTER TABLE ";
constexpr std::string_view kAdd = " ADD COLUMN ";
constexpr std::string_view kDrop = " DROP COLUMN ";
constexpr std::string_view kNotNull = " NOT NULL";

/// Grows the statements text by `size` bytes and hands back a writer at the old end. The
/// text is kept from diff to diff, so this usually only moves its end.
Writer grown(std::string& text, std::size_t size) {
  const std::size_t at = text.size();
  text.resize(at + size);
  return Writer(text.data() + at);
}

/// The length of one column definition of a CREATE TABLE statement.
std::size_t definition_size(const ModelColumn& column, std::string_view pk_clause) noexcept {
  if (column.primary_key) return column.name.size() + pk_clause.size();
  return column.name.size() + 1 + column.data_type.size() + (column.nullable ? 0 : kNotNull.size());
}

/// Writes one column definition of a CREATE TABLE statement.
void put_definition(Writer& w, const ModelColumn& column, std::string_view pk_clause) noexcept {
  w.put(column.name);
  if (column.primary_key) {
    w.put(pk_clause);
    return;
  }
  w.put(' ');
  w.put(column.data_type);
  if (!column.nullable) w.put(kNotNull);
}

/// The create path: one CREATE TABLE and the DROP TABLE that undoes it.
void create_table(MigrationText& out, std::string_view table,
                  std::span<const ModelColumn> model, std::string_view dialect) {
  const std::string_view pk_clause = primary_key_clause(dialect);
  std::size_t create_size = kCreate.size() + table.size() + 2 + 2;  // " (" and ");"
  for (const ModelColumn& column : model) create_size += definition_size(column, pk_clause);
  if (model.size() > 1) create_size += 2 * (model.size() - 1);
  const std::size_t drop_size = kDropTable.size() + table.size() + 1;

  std::string& text = out.text;
  const std::size_t begin = text.size();
  Writer w = grown(text, create_size + drop_size);
  w.put(kCreate);
  w.put(table);
  w.put(" (");
  bool first = true;
  for (const ModelColumn& column : model) {
    if (!first) w.put(", ");
    first = false;
    put_definition(w, column, pk_clause);
  }
  w.put(");");
  w.put(kDropTable);
  w.put(table);
  w.put(';');
  assert(w.end() == text.data() + text.size());
  out.upgrade.push_back({begin, create_size});
  out.downgrade.push_back({begin + create_size, drop_size});
}

/// The alter path: per missing column an ADD COLUMN and, at the same position, its DROP COLUMN.
void alter_table(MigrationText& out, std::string_view table,
                 std::span<const ModelColumn> model, std::span<const bool> present) {
  // A key column added to an existing table gets neither a key clause nor NOT NULL.
  auto not_null = [](const ModelColumn& c) { return !c.nullable && !c.primary_key; };
  // Every statement is placed first, which sizes the text once.
  std::string& text = out.text;
  const std::size_t start = text.size();
  std::size_t at = start;
  for (std::size_t i = 0; i < model.size(); ++i) {
    if (present[i]) continue;
    const ModelColumn& c = model[i];
    const std::size_t add = kAlter.size() + table.size() + kAdd.size() + c.name.size() + 1 +
                            c.data_type.size() + (not_null(c) ? kNotNull.size() : 0) + 1;
    out.upgrade.push_back({at, add});
    at += add;
    const std::size_t drop = kAlter.size() + table.size() + kDrop.size() + c.name.size() + 1;
    out.downgrade.push_back({at, drop});
    at += drop;
  }
  if (at == start) return;

  Writer w = grown(text, at - start);
  for (std::size_t i = 0; i < model.size(); ++i) {
    if (present[i]) continue;
    const ModelColumn& column = model[i];
    w.put(kAlter);
    w.put(table);
    w.put(kAdd);
    w.put(column.name);
    w.put(' ');
    w.put(column.data_type);
    if (not_null(column)) w.put(kNotNull);
    w.put(';');
    w.put(kAlter);
    w.put(table);
    w.put(kDrop);
    w.put(column.name);
    w.put(';');
  }
  assert(w.end() == text.data() + text.size());
}

}  // namespace

void ModelColumns::put(ModelColumn column) {
  auto [entry, created] = table_.find_or_insert(column.name, [&] { return column; });
  if (created) return;
  entry->data_type = column.data_type;
  entry->nullable = column.nullable;
  entry->primary_key = column.primary_key;
}

ModelColumn& ModelColumns::column(std::string_view name) {
  auto [entry, created] = table_.find_or_insert(name, [name] {
    ModelColumn c;
    c.name = name;
    return c;
  });
  if (!created) {
    entry->data_type = "TEXT";
    entry->nullable = true;
    entry->primary_key = false;
  }
  return *entry;
}

void ColumnNames::put(std::string_view name) {
  table_.find_or_insert(name, [name] { return name; });
}

void diff_columns(MigrationText& out, std::string_view table,
                  std::span<const ModelColumn> model, std::span<const bool> present, bool exist,
                  std::string_view dialect) {
  out.text.clear();
  out.upgrade.clear();
  out.downgrade.clear();
  if (!exist) {
    create_table(out, table, model, dialect);
  } else {
    alter_table(out, table, model, present);
  }
}

void mark_present(std::span<const ModelColumn> model, const ColumnNames& db,
                  SmallVector<bool, 64>& present) {
  present.reserve(present.size() + model.size());
  for (const ModelColumn& c : model) present.push_back(db.contains(c.name));
}

void diff_table(MigrationText& out, std::string_view table, const ModelColumns& model,
                const ColumnNames& db, std::string_view dialect) {
  const std::span<const ModelColumn> columns = model.columns();
  SmallVector<bool, 64> present;
  mark_present(columns, db, present);
  diff_columns(out, table, columns, std::span<const bool>(present.data(), present.size()),
               !db.empty(), dialect);
}

Migration diff_table(std::string_view table, const ModelColumns& model, const ColumnNames& db,
                     std::string_view dialect) {
  MigrationText text;
  diff_table(text, table, model, db, dialect);
  Migration m;
  for (MigrationText::Span s : text.upgrade) m.upgrade.emplace_back(text.at(s));
  for (MigrationText::Span s : text.downgrade) m.downgrade.emplace_back(text.at(s));
  return m;
}

}  // namespace kestrelite::core

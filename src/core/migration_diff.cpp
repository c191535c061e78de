#include "core/migration_diff.hpp"

#include <string>
#include <utility>

namespace kestrelite::core {
namespace {

/// The key clause of a primary-key column in CREATE TABLE; the dialect is matched exactly.
std::string_view primary_key_clause(std::string_view dialect) noexcept {
  if (dialect == "mysql") return " INT AUTO_INCREMENT PRIMARY KEY";
  if (dialect == "postgres" || dialect == "postgresql") return " SERIAL PRIMARY KEY";
  return " INTEGER PRIMARY KEY AUTOINCREMENT";
}

/// Appends one column definition of a CREATE TABLE statement.
void append_definition(std::string& out, const ModelColumn& column, std::string_view pk_clause) {
  out += column.name;
  if (column.primary_key) {
    out += pk_clause;
    return;
  }
  out += ' ';
  out += column.data_type;
  if (!column.nullable) out += " NOT NULL";
}

/// The create path: one CREATE TABLE and the DROP TABLE that undoes it.
Migration create_table(std::string_view table, const ModelColumns& model,
                       std::string_view dialect) {
  const std::string_view pk_clause = primary_key_clause(dialect);
  std::string create = "CREATE TABLE IF NOT EXISTS ";
  create += table;
  create += " (";
  bool first = true;
  for (const ModelColumn& column : model) {
    if (!first) create += ", ";
    first = false;
    append_definition(create, column, pk_clause);
  }
  create += ");";

  std::string drop = "DROP TABLE IF EXISTS ";
  drop += table;
  drop += ';';

  Migration m;
  m.upgrade.push_back(std::move(create));
  m.downgrade.push_back(std::move(drop));
  return m;
}

/// The alter path: per missing column an ADD COLUMN and, at the same position, its DROP COLUMN.
Migration alter_table(std::string_view table, const ModelColumns& model, const ColumnNames& db) {
  Migration m;
  for (const ModelColumn& column : model) {
    if (db.contains(column.name)) continue;

    std::string add = "ALTER TABLE ";
    add += table;
    add += " ADD COLUMN ";
    add += column.name;
    add += ' ';
    add += column.data_type;
    // A key column added to an existing table gets neither a key clause nor NOT NULL.
    if (!column.nullable && !column.primary_key) add += " NOT NULL";
    add += ';';

    std::string drop = "ALTER TABLE ";
    drop += table;
    drop += " DROP COLUMN ";
    drop += column.name;
    drop += ';';

    m.upgrade.push_back(std::move(add));
    m.downgrade.push_back(std::move(drop));
  }
  return m;
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

Migration diff_table(std::string_view table, const ModelColumns& model, const ColumnNames& db,
                     std::string_view dialect) {
  if (db.empty()) return create_table(table, model, dialect);
  return alter_table(table, model, db);
}

}  // namespace kestrelite::core

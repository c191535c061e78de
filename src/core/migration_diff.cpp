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

/// Records the text appended since `begin` as the next statement of `side`.
void close_statement(MigrationText& out, std::vector<MigrationText::Span>& side,
                     std::size_t begin) {
  side.push_back({begin, out.text.size() - begin});
}

/// The create path: one CREATE TABLE and the DROP TABLE that undoes it.
void create_table(MigrationText& out, std::string_view table,
                  std::span<const ModelColumn> model, std::string_view dialect) {
  const std::string_view pk_clause = primary_key_clause(dialect);
  std::string& text = out.text;
  std::size_t begin = text.size();
  text += "CREATE TABLE IF NOT EXISTS ";
  text += table;
  text += " (";
  bool first = true;
  for (const ModelColumn& column : model) {
    if (!first) text += ", ";
    first = false;
    append_definition(text, column, pk_clause);
  }
  text += ");";
  close_statement(out, out.upgrade, begin);

  begin = text.size();
  text += "DROP TABLE IF EXISTS ";
  text += table;
  text += ';';
  close_statement(out, out.downgrade, begin);
}

/// The alter path: per missing column an ADD COLUMN and, at the same position, its DROP COLUMN.
void alter_table(MigrationText& out, std::string_view table,
                 std::span<const ModelColumn> model, std::span<const bool> present) {
  std::string& text = out.text;
  for (std::size_t i = 0; i < model.size(); ++i) {
    if (present[i]) continue;
    const ModelColumn& column = model[i];

    std::size_t begin = text.size();
    text += "ALTER TABLE ";
    text += table;
    text += " ADD COLUMN ";
    text += column.name;
    text += ' ';
    text += column.data_type;
    // A key column added to an existing table gets neither a key clause nor NOT NULL.
    if (!column.nullable && !column.primary_key) text += " NOT NULL";
    text += ';';
    close_statement(out, out.upgrade, begin);

    begin = text.size();
    text += "ALTER TABLE ";
    text += table;
    text += " DROP COLUMN ";
    text += column.name;
    text += ';';
    close_statement(out, out.downgrade, begin);
  }
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

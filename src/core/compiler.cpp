#include "core/compiler.hpp"

#include "core/text.hpp"

namespace kestrelite::core {
namespace {

constexpr std::size_t kWriteReserve = 128;
constexpr std::size_t kSelectReserve = 256;
constexpr std::string_view kSeparator = ", ";

/// Appends `names` joined with ", ".
void append_joined(std::string& out, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out.append(kSeparator);
    out.append(names[i]);
  }
}

}  // namespace

Dialect classify_dialect(std::string_view dialect) noexcept {
  if (equals_ascii_folded(dialect, "mysql")) return Dialect::kMysql;
  if (equals_ascii_folded(dialect, "postgres") || equals_ascii_folded(dialect, "postgresql")) {
    return Dialect::kPostgres;
  }
  return Dialect::kSqlite;
}

bool wants_returning(std::string_view dialect) noexcept {
  return contains_ascii_folded(dialect, "postgres");
}

void append_placeholder(std::string& out, Dialect dialect, std::uint64_t index) {
  switch (dialect) {
    case Dialect::kPostgres:
      out.push_back('$');
      append_decimal(out, index);
      return;
    case Dialect::kMysql:
      out.append("%s");
      return;
    case Dialect::kSqlite:
      break;
  }
  out.push_back('?');
}

std::string placeholder(std::string_view dialect, std::uint64_t index) {
  std::string out;
  append_placeholder(out, classify_dialect(dialect), index);
  return out;
}

void compile_insert(std::string& out, std::string_view table,
                    std::span<const std::string_view> columns, std::string_view dialect) {
  const Dialect family = classify_dialect(dialect);
  out.clear();
  out.reserve(kWriteReserve);
  out.append("INSERT INTO ").append(table).append(" (");
  append_joined(out, columns);
  out.append(") VALUES (");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) out.append(kSeparator);
    append_placeholder(out, family, i + 1);
  }
  out.push_back(')');
  // Looser than the placeholder rule on purpose: any dialect naming postgres gets the clause,
  // so "my_postgres" writes "?" placeholders and still asks for the inserted row back.
  if (wants_returning(dialect)) out.append(" RETURNING *");
}

void compile_update(std::string& out, std::string_view table,
                    std::span<const std::string_view> columns, std::string_view pk_col,
                    std::string_view dialect) {
  const Dialect family = classify_dialect(dialect);
  out.clear();
  out.reserve(kWriteReserve);
  out.append("UPDATE ").append(table).append(" SET ");
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) out.append(kSeparator);
    out.append(columns[i]).append(" = ");
    append_placeholder(out, family, i + 1);
  }
  // With no columns this leaves two blanks between SET and WHERE; callers match on that text.
  out.append(" WHERE ").append(pk_col).append(" = ");
  append_placeholder(out, family, columns.size() + 1);
}

void compile_delete(std::string& out, std::string_view table, std::string_view pk_col,
                    std::string_view dialect) {
  out.clear();
  out.append("DELETE FROM ").append(table).append(" WHERE ").append(pk_col).append(" = ");
  append_placeholder(out, classify_dialect(dialect), 1);
}

void compile_select(std::string& out, const SelectQuery& query) {
  const Dialect family = classify_dialect(query.dialect);
  out.clear();
  out.reserve(kSelectReserve);
  out.append("SELECT ");
  if (query.columns.empty()) {
    out.push_back('*');
  } else {
    append_joined(out, query.columns);
  }
  out.append(" FROM ").append(query.table);

  for (const Join& join : query.joins) {
    out.push_back(' ');
    append_ascii_upper(out, join.type);
    out.append(" JOIN ").append(join.table).append(" ON ").append(join.on);
  }

  for (std::size_t k = 0; k < query.wheres.size(); ++k) {
    out.append(k == 0 ? " WHERE " : " AND ");
    const Condition& condition = query.wheres[k];
    out.append(condition.column).push_back(' ');
    out.append(condition.op).push_back(' ');
    append_placeholder(out, family, k + 1);
  }

  for (std::size_t i = 0; i < query.order_by.size(); ++i) {
    out.append(i == 0 ? " ORDER BY " : ", ");
    const OrderTerm& term = query.order_by[i];
    // The blank is written even for an empty direction, leaving "name " at the end.
    out.append(term.column).push_back(' ');
    append_ascii_upper(out, term.direction);
  }

  if (query.limit) {
    out.append(" LIMIT ");
    append_decimal(out, *query.limit);
  }
  // Independent of the limit: an offset alone is written without one.
  if (query.offset) {
    out.append(" OFFSET ");
    append_decimal(out, *query.offset);
  }
}

}  // namespace kestrelite::core

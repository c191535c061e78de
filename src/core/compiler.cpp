#include "core/compiler.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

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

/// Decimal digits of `v`.
std::size_t digit_count(std::uint64_t v) noexcept {
  std::size_t n = 1;
  while (v >= 10) {
    v /= 10;
    ++n;
  }
  return n;
}

/// The length of placeholder `index`.
std::size_t placeholder_size(Dialect dialect, std::uint64_t index) noexcept {
  switch (dialect) {
    case Dialect::kPostgres:
      return 1 + digit_count(index);
    case Dialect::kMysql:
      return 2;
    case Dialect::kSqlite:
      break;
  }
  return 1;
}

/// Writes into a buffer sized exactly beforehand: the write statements know their length
/// up front, so they skip the capacity check of every append.
class Writer {
 public:
  explicit Writer(char* p) noexcept : p_(p) {}
  void put(std::string_view s) noexcept {
    if (!s.empty()) std::memcpy(p_, s.data(), s.size());
    p_ += s.size();
  }
  void put(char c) noexcept { *p_++ = c; }
  void placeholder(Dialect dialect, std::uint64_t index) noexcept {
    switch (dialect) {
      case Dialect::kPostgres: {
        *p_++ = '$';
        const std::size_t n = digit_count(index);
        for (std::size_t i = n; i > 0; --i) {
          p_[i - 1] = static_cast<char>('0' + index % 10);
          index /= 10;
        }
        p_ += n;
        return;
      }
      case Dialect::kMysql:
        put("%s");
        return;
      case Dialect::kSqlite:
        break;
    }
    put('?');
  }
  char* end() const noexcept { return p_; }

 private:
  char* p_;
};

/// Sizes `out` to exactly `size` bytes and hands back a writer at its start.
Writer sized(std::string& out, std::size_t size) {
  out.clear();
  out.reserve(std::max(size, kWriteReserve));
  out.resize(size);
  return Writer(out.data());
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
  // Looser than the placeholder rule on purpose: any dialect naming postgres gets the clause,
  // so "my_postgres" writes "?" placeholders and still asks for the inserted row back.
  const bool returning = wants_returning(dialect);
  constexpr std::string_view kHead = "INSERT INTO ", kOpen = " (", kValues = ") VALUES (",
                             kReturning = " RETURNING *";
  const std::size_t n = columns.size();
  std::size_t size = kHead.size() + table.size() + kOpen.size() + kValues.size() + 1;
  if (n > 0) size += 2 * kSeparator.size() * (n - 1);
  for (std::size_t i = 0; i < n; ++i) size += columns[i].size() + placeholder_size(family, i + 1);
  if (returning) size += kReturning.size();
  Writer w = sized(out, size);
  w.put(kHead);
  w.put(table);
  w.put(kOpen);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) w.put(kSeparator);
    w.put(columns[i]);
  }
  w.put(kValues);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) w.put(kSeparator);
    w.placeholder(family, i + 1);
  }
  w.put(')');
  if (returning) w.put(kReturning);
  assert(w.end() == out.data() + out.size());
}

void compile_update(std::string& out, std::string_view table,
                    std::span<const std::string_view> columns, std::string_view pk_col,
                    std::string_view dialect) {
  const Dialect family = classify_dialect(dialect);
  constexpr std::string_view kHead = "UPDATE ", kSet = " SET ", kAssign = " = ",
                             kWhere = " WHERE ";
  const std::size_t n = columns.size();
  std::size_t size = kHead.size() + table.size() + kSet.size() + kWhere.size() + pk_col.size() +
                     kAssign.size() + placeholder_size(family, n + 1);
  if (n > 0) size += kSeparator.size() * (n - 1);
  for (std::size_t i = 0; i < n; ++i)
    size += columns[i].size() + kAssign.size() + placeholder_size(family, i + 1);
  Writer w = sized(out, size);
  w.put(kHead);
  w.put(table);
  w.put(kSet);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) w.put(kSeparator);
    w.put(columns[i]);
    w.put(kAssign);
    w.placeholder(family, i + 1);
  }
  // With no columns this leaves two blanks between SET and WHERE; callers match on that text.
  w.put(kWhere);
  w.put(pk_col);
  w.put(kAssign);
  w.placeholder(family, n + 1);
  assert(w.end() == out.data() + out.size());
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

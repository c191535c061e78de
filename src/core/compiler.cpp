#include "core/compiler.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "core/text.hpp"
#include "core/writer.hpp"

namespace kestrelite::core {
namespace {

constexpr std::size_t kWriteReserve = 128;
constexpr std::string_view kSeparator = ", ";

/// Decimal digits of `v`.
std::size_t digit_count(std::uint64_t v) noexcept {
  // Placeholder numbers, limits and offsets are mostly below 100.
  if (v < 10) return 1;
  if (v < 100) return 2;
  std::size_t n = 3;
  for (v /= 1000; v > 0; v /= 10) ++n;
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

/// `word` with each of its bytes from 'a' to 'z' lowered by 0x20, the rest unchanged.
constexpr std::uint64_t upper_word(std::uint64_t word) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const std::uint64_t low7 = word & ~kHigh;
  // The high bit of each byte says: its low seven bits reach 'a', or pass 'z'. Adding to the
  // low seven bits never carries into the next byte.
  const std::uint64_t from_a = low7 + (0x80 - 'a') * kOnes;
  const std::uint64_t past_z = low7 + (0x7F - 'z') * kOnes;
  const std::uint64_t lower = from_a & ~past_z & ~word & kHigh;  // ~word: ASCII bytes only
  return word ^ (lower >> 2);
}

/// Writes the upper-case fold of the `Word`-sized bytes at `in` to `out`.
template <class Word>
void fold_word(const char* in, char* out) noexcept {
  Word word;
  std::memcpy(&word, in, sizeof word);
  word = static_cast<Word>(upper_word(word));
  std::memcpy(out, &word, sizeof word);
}

/// The statement writer: every statement knows its length up front, so no write checks
/// capacity.
class StatementWriter : public Writer {
 public:
  using Writer::Writer;
  /// `s` with ASCII a-z written as A-Z; every other byte unchanged.
  void put_upper(std::string_view s) noexcept {
    const char* in = s.data();
    const std::size_t n = s.size();
    // A word at a time, the last word overlapping the one before it, and a keyword shorter
    // than a word as two overlapping halves: each byte written is the fold of its source, so
    // writing one twice is harmless.
    if (n >= 8) {
      std::size_t i = 0;
      for (; i + 8 <= n; i += 8) fold_word<std::uint64_t>(in + i, p_ + i);
      if (i < n) fold_word<std::uint64_t>(in + n - 8, p_ + n - 8);
    } else if (n >= 4) {
      fold_word<std::uint32_t>(in, p_);
      fold_word<std::uint32_t>(in + n - 4, p_ + n - 4);
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const char c = in[i];
        p_[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
      }
    }
    p_ += n;
  }
  void decimal(std::uint64_t v) noexcept {
    p_ += digit_count(v);
    digits_ending_at(p_, v);
  }
  void placeholder(Dialect dialect, std::uint64_t index) noexcept {
    switch (dialect) {
      case Dialect::kPostgres:
        *p_++ = '$';
        decimal(index);
        return;
      case Dialect::kMysql:
        put("%s");
        return;
      case Dialect::kSqlite:
        break;
    }
    put('?');
  }
};

/// Sizes `out` to exactly `size` bytes and hands back a writer at its start. The buffer is
/// reused from statement to statement, so resizing usually only moves its end: bytes are
/// filled in only where it grows, and every byte is written over anyway.
StatementWriter sized(std::string& out, std::size_t size) {
  out.reserve(std::max(size, kWriteReserve));
  out.resize(size);
  return StatementWriter(out.data());
}

}  // namespace

Dialect classify_dialect(std::string_view dialect) noexcept {
  // Callers nearly always pass the lower-case spelling, which needs no folding.
  if (dialect == "postgres") return Dialect::kPostgres;
  if (dialect == "sqlite") return Dialect::kSqlite;
  if (dialect == "mysql") return Dialect::kMysql;
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
  StatementWriter w = sized(out, size);
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
  StatementWriter w = sized(out, size);
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
  const Dialect family = classify_dialect(dialect);
  constexpr std::string_view kHead = "DELETE FROM ", kWhere = " WHERE ", kAssign = " = ";
  StatementWriter w = sized(out, kHead.size() + table.size() + kWhere.size() + pk_col.size() +
                            kAssign.size() + placeholder_size(family, 1));
  w.put(kHead);
  w.put(table);
  w.put(kWhere);
  w.put(pk_col);
  w.put(kAssign);
  w.placeholder(family, 1);
  assert(w.end() == out.data() + out.size());
}

void compile_select(std::string& out, const SelectQuery& query) {
  const Dialect family = classify_dialect(query.dialect);
  constexpr std::string_view kHead = "SELECT ", kFrom = " FROM ", kJoin = " JOIN ",
                             kOn = " ON ", kWhere = " WHERE ", kAnd = " AND ",
                             kOrder = " ORDER BY ", kLimit = " LIMIT ", kOffset = " OFFSET ";
  const std::size_t ncol = query.columns.size();
  std::size_t size = kHead.size() + kFrom.size() + query.table.size();
  size += ncol == 0 ? 1 : kSeparator.size() * (ncol - 1);
  for (const std::string_view column : query.columns) size += column.size();
  for (const Join& join : query.joins)
    size += 1 + join.type.size() + kJoin.size() + join.table.size() + kOn.size() +
            join.on.size();
  for (std::size_t k = 0; k < query.wheres.size(); ++k) {
    const Condition& condition = query.wheres[k];
    size += (k == 0 ? kWhere.size() : kAnd.size()) + condition.column.size() + 1 +
            condition.op.size() + 1 + placeholder_size(family, k + 1);
  }
  for (std::size_t i = 0; i < query.order_by.size(); ++i) {
    const OrderTerm& term = query.order_by[i];
    size += (i == 0 ? kOrder.size() : kSeparator.size()) + term.column.size() + 1 +
            term.direction.size();
  }
  if (query.limit) size += kLimit.size() + digit_count(*query.limit);
  if (query.offset) size += kOffset.size() + digit_count(*query.offset);

  StatementWriter w = sized(out, size);
  w.put(kHead);
  if (ncol == 0) {
    w.put('*');
  } else {
    for (std::size_t i = 0; i < ncol; ++i) {
      if (i > 0) w.put(kSeparator);
      w.put(query.columns[i]);
    }
  }
  w.put(kFrom);
  w.put(query.table);

  for (const Join& join : query.joins) {
    w.put(' ');
    w.put_upper(join.type);
    w.put(kJoin);
    w.put(join.table);
    w.put(kOn);
    w.put(join.on);
  }

  for (std::size_t k = 0; k < query.wheres.size(); ++k) {
    const Condition& condition = query.wheres[k];
    w.put(k == 0 ? kWhere : kAnd);
    w.put(condition.column);
    w.put(' ');
    w.put(condition.op);
    w.put(' ');
    w.placeholder(family, k + 1);
  }

  for (std::size_t i = 0; i < query.order_by.size(); ++i) {
    const OrderTerm& term = query.order_by[i];
    w.put(i == 0 ? kOrder : kSeparator);
    // The blank is written even for an empty direction, leaving "name " at the end.
    w.put(term.column);
    w.put(' ');
    w.put_upper(term.direction);
  }

  if (query.limit) {
    w.put(kLimit);
    w.decimal(*query.limit);
  }
  // Independent of the limit: an offset alone is written without one.
  if (query.offset) {
    w.put(kOffset);
    w.decimal(*query.offset);
  }
  assert(w.end() == out.data() + out.size());
}

}  // namespace kestrelite::core

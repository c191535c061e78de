#pragma once
// Statement text for the three dialect families: placeholders and the four statement builders.
// Every name, operator and condition is inserted verbatim; values never enter the text.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrelite::core {

enum class Dialect { kSqlite, kPostgres, kMysql };

/// "mysql" and "postgres"/"postgresql" compared case-insensitively and whole; anything else
/// is SQLite.
Dialect classify_dialect(std::string_view dialect) noexcept;

/// The looser INSERT test: the folded dialect contains "postgres" anywhere.
bool wants_returning(std::string_view dialect) noexcept;

/// Appends the placeholder for parameter `index` ("?", "$<index>" or "%s").
void append_placeholder(std::string& out, Dialect dialect, std::uint64_t index);

/// The placeholder for `index` under the caller's dialect string.
std::string placeholder(std::string_view dialect, std::uint64_t index);

/// Each builder clears `out` and writes one statement into it.
void compile_insert(std::string& out, std::string_view table,
                    std::span<const std::string_view> columns, std::string_view dialect);
void compile_update(std::string& out, std::string_view table,
                    std::span<const std::string_view> columns, std::string_view pk_col,
                    std::string_view dialect);
void compile_delete(std::string& out, std::string_view table, std::string_view pk_col,
                    std::string_view dialect);

struct Condition {
  std::string_view column;
  std::string_view op;
  std::string_view value = {};  // the caller's to bind; never written into the text
};

struct Join {
  std::string_view type;  // written upper-cased (ASCII letters folded here)
  std::string_view table;
  std::string_view on;
};

struct OrderTerm {
  std::string_view column;
  std::string_view direction;  // written upper-cased (ASCII letters folded here)
};

struct SelectQuery {
  std::string_view table;
  std::span<const std::string_view> columns;
  std::span<const Join> joins;
  std::span<const Condition> wheres;
  std::span<const OrderTerm> order_by;
  std::optional<std::uint64_t> limit;
  std::optional<std::uint64_t> offset;
  std::string_view dialect;
};

/// Writes the SELECT statement; the k-th condition carries placeholder k. The values to bind
/// are the caller's, in `wheres` order.
void compile_select(std::string& out, const SelectQuery& query);

}  // namespace kestrelite::core

// Fuzzes the four statement builders and the placeholders against statements put together by
// plain concatenation. The builders size their buffer first and then write without checks, so
// a length miscounted anywhere shows as a sanitizer report or as a text that differs here.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/compiler.hpp"

namespace core = kestrelite::core;

namespace {

void expect_equal(const char* what, std::string_view got, std::string_view want) {
  if (got == want) return;
  std::fprintf(stderr, "%s: got [%.*s], want [%.*s]\n", what, static_cast<int>(got.size()),
               got.data(), static_cast<int>(want.size()), want.data());
  std::abort();
}

std::string fold_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::string fold_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

/// The placeholder text for parameter `index`, from the dialect's ASCII-lowered spelling.
std::string reference_placeholder(std::string_view dialect, std::uint64_t index) {
  const std::string d = fold_lower(dialect);
  if (d == "mysql") return "%s";
  if (d == "postgres" || d == "postgresql") return "$" + std::to_string(index);
  return "?";
}

/// Dialect strings near the ones the rules look for, or any text at all.
std::string consume_dialect(FuzzedDataProvider& in) {
  static constexpr std::string_view kNames[] = {"sqlite",      "postgres",
                                                "postgresql",  "mysql",
                                                "PostgreSQL",  "MySQL",
                                                "my_postgres", "postgres ",
                                                "mysq",        "POSTGRES\xC4\xB0",
                                                "mariadb",     ""};
  if (in.ConsumeBool()) return std::string(in.PickValueInArray(kNames));
  return in.ConsumeRandomLengthString(24);
}

std::string consume_text(FuzzedDataProvider& in) { return in.ConsumeRandomLengthString(40); }

std::vector<std::string> consume_texts(FuzzedDataProvider& in, std::size_t max) {
  std::vector<std::string> out(in.ConsumeIntegralInRange<std::size_t>(0, max));
  for (std::string& s : out) s = consume_text(in);
  return out;
}

std::vector<std::string_view> views(const std::vector<std::string>& texts) {
  return {texts.begin(), texts.end()};
}

std::optional<std::uint64_t> consume_number(FuzzedDataProvider& in) {
  if (!in.ConsumeBool()) return std::nullopt;
  // Small numbers, and any 64-bit number, including the largest.
  return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 1000)
                          : in.ConsumeIntegral<std::uint64_t>();
}

void check_insert(FuzzedDataProvider& in, std::string& out) {
  const std::string table = consume_text(in), dialect = consume_dialect(in);
  const std::vector<std::string> columns = consume_texts(in, 12);
  std::string want = "INSERT INTO " + table + " (";
  std::string values;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) {
      want += ", ";
      values += ", ";
    }
    want += columns[i];
    values += reference_placeholder(dialect, i + 1);
  }
  want += ") VALUES (" + values + ")";
  if (fold_lower(dialect).find("postgres") != std::string::npos) want += " RETURNING *";
  const std::vector<std::string_view> cols = views(columns);
  core::compile_insert(out, table, cols, dialect);
  expect_equal("compile_insert", out, want);
}

void check_update(FuzzedDataProvider& in, std::string& out) {
  const std::string table = consume_text(in), pk = consume_text(in), dialect = consume_dialect(in);
  const std::vector<std::string> columns = consume_texts(in, 12);
  std::string want = "UPDATE " + table + " SET ";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) want += ", ";
    want += columns[i] + " = " + reference_placeholder(dialect, i + 1);
  }
  want += " WHERE " + pk + " = " + reference_placeholder(dialect, columns.size() + 1);
  const std::vector<std::string_view> cols = views(columns);
  core::compile_update(out, table, cols, pk, dialect);
  expect_equal("compile_update", out, want);
}

void check_delete(FuzzedDataProvider& in, std::string& out) {
  const std::string table = consume_text(in), pk = consume_text(in), dialect = consume_dialect(in);
  core::compile_delete(out, table, pk, dialect);
  expect_equal("compile_delete", out,
               "DELETE FROM " + table + " WHERE " + pk + " = " + reference_placeholder(dialect, 1));
}

void check_select(FuzzedDataProvider& in, std::string& out) {
  const std::string table = consume_text(in), dialect = consume_dialect(in);
  const std::vector<std::string> columns = consume_texts(in, 8);
  std::vector<std::string> join_texts = consume_texts(in, 3 * 4);
  join_texts.resize(join_texts.size() / 3 * 3);
  std::vector<std::string> where_texts = consume_texts(in, 3 * 6);
  where_texts.resize(where_texts.size() / 3 * 3);
  std::vector<std::string> order_texts = consume_texts(in, 2 * 4);
  order_texts.resize(order_texts.size() / 2 * 2);
  const std::optional<std::uint64_t> limit = consume_number(in), offset = consume_number(in);

  std::vector<core::Join> joins;
  for (std::size_t i = 0; i < join_texts.size(); i += 3)
    joins.push_back({join_texts[i], join_texts[i + 1], join_texts[i + 2]});
  std::vector<core::Condition> wheres;
  for (std::size_t i = 0; i < where_texts.size(); i += 3)
    wheres.push_back({where_texts[i], where_texts[i + 1], where_texts[i + 2]});
  std::vector<core::OrderTerm> order_by;
  for (std::size_t i = 0; i < order_texts.size(); i += 2)
    order_by.push_back({order_texts[i], order_texts[i + 1]});

  std::string want = "SELECT ";
  if (columns.empty()) want += '*';
  for (std::size_t i = 0; i < columns.size(); ++i) want += (i > 0 ? ", " : "") + columns[i];
  want += " FROM " + table;
  for (const core::Join& j : joins)
    want += " " + fold_upper(j.type) + " JOIN " + std::string(j.table) + " ON " + std::string(j.on);
  for (std::size_t k = 0; k < wheres.size(); ++k)
    want += (k == 0 ? " WHERE " : " AND ") + std::string(wheres[k].column) + " " +
            std::string(wheres[k].op) + " " + reference_placeholder(dialect, k + 1);
  for (std::size_t i = 0; i < order_by.size(); ++i)
    want += (i == 0 ? " ORDER BY " : ", ") + std::string(order_by[i].column) + " " +
            fold_upper(order_by[i].direction);
  if (limit) want += " LIMIT " + std::to_string(*limit);
  if (offset) want += " OFFSET " + std::to_string(*offset);

  const std::vector<std::string_view> cols = views(columns);
  core::SelectQuery query{table, cols, joins, wheres, order_by, limit, offset, dialect};
  core::compile_select(out, query);
  expect_equal("compile_select", out, want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // One buffer for every statement of the input, as the binding keeps one: each builder must
  // write over whatever a longer or shorter statement left in it.
  std::string out = in.ConsumeRandomLengthString(64);
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
      case 0:
        check_insert(in, out);
        break;
      case 1:
        check_update(in, out);
        break;
      case 2:
        check_delete(in, out);
        break;
      case 3:
        check_select(in, out);
        break;
      default: {
        const std::string dialect = consume_dialect(in);
        const std::uint64_t index = in.ConsumeIntegral<std::uint64_t>();
        expect_equal("placeholder", core::placeholder(dialect, index),
                     reference_placeholder(dialect, index));
        break;
      }
    }
  }
  return 0;
}

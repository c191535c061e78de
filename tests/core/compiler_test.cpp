#include "core/compiler.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelite::core {
namespace {

using namespace std::string_view_literals;

using Names = std::vector<std::string_view>;

const Names kNameEmail = {"name", "email"};

TEST(Compiler, ClassifiesDialectsByWholeNameIgnoringAsciiCase) {
  struct Row {
    std::string_view dialect;
    Dialect expected;
  };
  const std::vector<Row> rows = {
      {"mysql", Dialect::kMysql},
      {"MySQL", Dialect::kMysql},
      {"MYSQL", Dialect::kMysql},
      {"postgres", Dialect::kPostgres},
      {"POSTGRES", Dialect::kPostgres},
      {"postgresql", Dialect::kPostgres},
      {"PostgreSQL", Dialect::kPostgres},
      {"sqlite", Dialect::kSqlite},
      {"", Dialect::kSqlite},
      {"pg", Dialect::kSqlite},
      {"mysql8", Dialect::kSqlite},
      {"my_postgres", Dialect::kSqlite},
      {" mysql", Dialect::kSqlite},
      {"postgres ", Dialect::kSqlite},
      {"postgresq", Dialect::kSqlite},
      {"mysql\0"sv, Dialect::kSqlite},
      // U+017F LONG S case-folds to 's' but lower-cases to itself, so this is no match.
      {"my\xc5\xbfql", Dialect::kSqlite},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(classify_dialect(row.dialect), row.expected) << '"' << row.dialect << '"';
  }
}

TEST(Compiler, FormatsOnePlaceholderPerDialectFamily) {
  struct Row {
    std::string_view dialect;
    std::uint64_t index;
    std::string_view expected;
  };
  const std::vector<Row> rows = {
      {"sqlite", 5, "?"},
      {"mysql", 1, "%s"},
      {"postgres", 1, "$1"},
      {"PostgreSQL", 12, "$12"},
      {"MYSQL", 7, "%s"},
      {"postgres", 0, "$0"},
      {"postgres", std::numeric_limits<std::uint64_t>::max(), "$18446744073709551615"},
      {"", 3, "?"},
      {"pg", 3, "?"},
      {"mysql8", 3, "?"},
      {"my_postgres", 3, "?"},
      {" mysql", 3, "?"},
      {"postgres ", 3, "?"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(placeholder(row.dialect, row.index), row.expected)
        << '"' << row.dialect << "\" " << row.index;
  }
}

TEST(Compiler, AsksForReturningWheneverTheDialectMentionsPostgres) {
  struct Row {
    std::string_view dialect;
    bool expected;
  };
  const std::vector<Row> rows = {
      {"postgres", true}, {"PostgreSQL", true}, {"my_postgres", true}, {"xPOSTGRESx", true},
      {"postgre", false}, {"mysql", false},     {"sqlite", false},     {"", false},
  };
  for (const Row& row : rows) EXPECT_EQ(wants_returning(row.dialect), row.expected) << row.dialect;
}

struct WriteCase {
  Names columns;
  std::string_view dialect;
  std::string_view expected;
};

TEST(Compiler, BuildsInsertStatements) {
  const std::vector<WriteCase> cases = {
      {kNameEmail, "sqlite", "INSERT INTO users (name, email) VALUES (?, ?)"},
      {kNameEmail, "postgres", "INSERT INTO users (name, email) VALUES ($1, $2) RETURNING *"},
      {kNameEmail, "POSTGRESQL", "INSERT INTO users (name, email) VALUES ($1, $2) RETURNING *"},
      {kNameEmail, "mysql", "INSERT INTO users (name, email) VALUES (%s, %s)"},
      {kNameEmail, "my_postgres", "INSERT INTO users (name, email) VALUES (?, ?) RETURNING *"},
      {{}, "sqlite", "INSERT INTO users () VALUES ()"},
      {{}, "postgres", "INSERT INTO users () VALUES () RETURNING *"},
      {{"name", "name", ""}, "mysql", "INSERT INTO users (name, name, ) VALUES (%s, %s, %s)"},
  };
  for (const WriteCase& c : cases) {
    std::string out;
    compile_insert(out, "users", c.columns, c.dialect);
    EXPECT_EQ(out, c.expected) << c.dialect;
  }
}

TEST(Compiler, NumbersKeyPlaceholderAfterAssignments) {
  const std::vector<WriteCase> cases = {
      {kNameEmail, "postgres", "UPDATE users SET name = $1, email = $2 WHERE id = $3"},
      {kNameEmail, "mysql", "UPDATE users SET name = %s, email = %s WHERE id = %s"},
      {kNameEmail, "sqlite", "UPDATE users SET name = ?, email = ? WHERE id = ?"},
      {kNameEmail, "my_postgres", "UPDATE users SET name = ?, email = ? WHERE id = ?"},
      {{}, "sqlite", "UPDATE users SET  WHERE id = ?"},
      {{}, "postgres", "UPDATE users SET  WHERE id = $1"},
  };
  for (const WriteCase& c : cases) {
    std::string out;
    compile_update(out, "users", c.columns, "id", c.dialect);
    EXPECT_EQ(out, c.expected) << c.dialect;
  }
}

TEST(Compiler, BuildsDeleteStatementsWithoutReturning) {
  const std::vector<WriteCase> cases = {
      {{}, "postgres", "DELETE FROM users WHERE id = $1"},
      {{}, "sqlite", "DELETE FROM users WHERE id = ?"},
      {{}, "mysql", "DELETE FROM users WHERE id = %s"},
      {{}, "my_postgres", "DELETE FROM users WHERE id = ?"},
  };
  for (const WriteCase& c : cases) {
    std::string out;
    compile_delete(out, "users", "id", c.dialect);
    EXPECT_EQ(out, c.expected) << c.dialect;
  }
}

struct SelectCase {
  const char* what;
  Names columns = {};
  std::vector<Join> joins = {};
  std::vector<Condition> wheres = {};
  std::vector<OrderTerm> order_by = {};
  std::optional<std::uint64_t> limit = {};
  std::optional<std::uint64_t> offset = {};
  std::string_view dialect = "sqlite";
  std::string_view expected = {};
};

/// A query on `table` with every list empty and no paging.
SelectQuery bare_query(std::string_view table, std::string_view dialect) {
  return {.table = table,
          .columns = {},
          .joins = {},
          .wheres = {},
          .order_by = {},
          .limit = {},
          .offset = {},
          .dialect = dialect};
}

std::string select_text(const SelectCase& c) {
  std::string out;
  compile_select(out, {.table = "users",
                       .columns = c.columns,
                       .joins = c.joins,
                       .wheres = c.wheres,
                       .order_by = c.order_by,
                       .limit = c.limit,
                       .offset = c.offset,
                       .dialect = c.dialect});
  return out;
}

const Join kOrdersJoin = {"left", "orders o", "o.user_id = users.id"};
const std::vector<Condition> kAgeAndName = {{"age", ">"}, {"name", "="}};

TEST(Compiler, BuildsSelectStatementsClauseByClause) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::vector<SelectCase> cases = {
      {.what = "nothing but the table", .expected = "SELECT * FROM users"},
      {.what = "a column list",
       .columns = {"id", "name"},
       .expected = "SELECT id, name FROM users"},
      {.what = "postgres conditions",
       .wheres = kAgeAndName,
       .dialect = "postgres",
       .expected = "SELECT * FROM users WHERE age > $1 AND name = $2"},
      {.what = "sqlite conditions",
       .wheres = kAgeAndName,
       .expected = "SELECT * FROM users WHERE age > ? AND name = ?"},
      {.what = "mysql conditions",
       .wheres = kAgeAndName,
       .dialect = "mysql",
       .expected = "SELECT * FROM users WHERE age > %s AND name = %s"},
      {.what = "a value that looks like SQL",
       .wheres = {{"deleted_at", "IS"}},
       .expected = "SELECT * FROM users WHERE deleted_at IS ?"},
      {.what = "one join",
       .joins = {kOrdersJoin},
       .expected = "SELECT * FROM users LEFT JOIN orders o ON o.user_id = users.id"},
      {.what = "two joins",
       .joins = {{"inner", "a", "x"}, {"Cross", "b", "y"}},
       .expected = "SELECT * FROM users INNER JOIN a ON x CROSS JOIN b ON y"},
      {.what = "an empty join type",
       .joins = {{"", "t", "c"}},
       .expected = "SELECT * FROM users  JOIN t ON c"},
      {.what = "a join type outside ascii",
       .joins = {{"n\xc3\xa4tural", "t", "c"}},
       .expected = "SELECT * FROM users N\xc3\xa4TURAL JOIN t ON c"},
      {.what = "two ordering terms",
       .order_by = {{"name", "asc"}, {"id", "desc"}},
       .expected = "SELECT * FROM users ORDER BY name ASC, id DESC"},
      {.what = "an empty direction",
       .order_by = {{"name", ""}},
       .expected = "SELECT * FROM users ORDER BY name "},
      {.what = "limit and offset",
       .limit = 10,
       .offset = 20,
       .expected = "SELECT * FROM users LIMIT 10 OFFSET 20"},
      {.what = "a zero limit", .limit = 0, .expected = "SELECT * FROM users LIMIT 0"},
      {.what = "an offset alone", .offset = 5, .expected = "SELECT * FROM users OFFSET 5"},
      {.what = "the largest paging numbers",
       .limit = kMax,
       .offset = kMax,
       .expected = "SELECT * FROM users LIMIT 18446744073709551615 OFFSET 18446744073709551615"},
      {.what = "every clause at once",
       .columns = {"id", "name"},
       .joins = {{"inner", "orders o", "o.user_id = users.id"}},
       .wheres = {{"age", ">"}},
       .order_by = {{"name", "desc"}},
       .limit = 10,
       .offset = 20,
       .dialect = "postgres",
       .expected = "SELECT id, name FROM users INNER JOIN orders o ON o.user_id = users.id "
                   "WHERE age > $1 ORDER BY name DESC LIMIT 10 OFFSET 20"},
      {.what = "joins that take no placeholder numbers",
       .joins = {kOrdersJoin, kOrdersJoin},
       .wheres = kAgeAndName,
       .order_by = {{"id", "asc"}},
       .limit = 1,
       .dialect = "PostgreSQL",
       .expected = "SELECT * FROM users LEFT JOIN orders o ON o.user_id = users.id LEFT JOIN "
                   "orders o ON o.user_id = users.id WHERE age > $1 AND name = $2 ORDER BY id "
                   "ASC LIMIT 1"},
  };
  for (const SelectCase& c : cases) EXPECT_EQ(select_text(c), c.expected) << c.what;
}

TEST(Compiler, ReplacesWhateverTheOutputHeldBefore) {
  const std::string stale(1000, '#');
  const Names one = {"a"};
  std::string out = stale;
  compile_insert(out, "t", one, "sqlite");
  EXPECT_EQ(out, "INSERT INTO t (a) VALUES (?)");
  out = stale;
  compile_update(out, "t", one, "id", "sqlite");
  EXPECT_EQ(out, "UPDATE t SET a = ? WHERE id = ?");
  out = stale;
  compile_delete(out, "t", "id", "sqlite");
  EXPECT_EQ(out, "DELETE FROM t WHERE id = ?");
  out = stale;
  compile_select(out, bare_query("t", "sqlite"));
  EXPECT_EQ(out, "SELECT * FROM t");
}

TEST(Compiler, ReservesRoomForTypicalStatementsUpFront) {
  std::string insert;
  compile_insert(insert, "t", kNameEmail, "sqlite");
  EXPECT_GE(insert.capacity(), 128u);
  std::string update;
  compile_update(update, "t", kNameEmail, "id", "sqlite");
  EXPECT_GE(update.capacity(), 128u);
  std::string select;
  compile_select(select, bare_query("t", "sqlite"));
  EXPECT_GE(select.capacity(), 128u);
}

TEST(Compiler, NumbersThousandsOfPlaceholdersInOrder) {
  constexpr int kCount = 3000;
  std::vector<std::string> storage;
  storage.reserve(kCount);
  for (int i = 0; i < kCount; ++i) storage.push_back("c" + std::to_string(i));
  const Names columns(storage.begin(), storage.end());
  std::vector<Condition> wheres;
  for (const std::string& name : storage) wheres.push_back({name, "<>"});

  std::string names, values, sets, conds;
  for (int i = 0; i < kCount; ++i) {
    const std::string sep = i == 0 ? "" : ", ";
    const std::string number = "$" + std::to_string(i + 1);
    names += sep + storage[i];
    values += sep + number;
    sets += sep + storage[i] + " = " + number;
    conds += (i == 0 ? " WHERE " : " AND ") + storage[i] + " <> " + number;
  }

  std::string out;
  compile_insert(out, "t", columns, "postgres");
  EXPECT_EQ(out, "INSERT INTO t (" + names + ") VALUES (" + values + ") RETURNING *");
  compile_update(out, "t", columns, "id", "postgres");
  EXPECT_EQ(out, "UPDATE t SET " + sets + " WHERE id = $3001");
  SelectQuery query = bare_query("t", "postgres");
  query.columns = columns;
  query.wheres = wheres;
  compile_select(out, query);
  EXPECT_EQ(out, "SELECT " + names + " FROM t" + conds);
}

TEST(Compiler, CopiesLongAndNonAsciiNamesByteForByte) {
  std::string long_name;
  for (int i = 0; i < 8192; ++i) long_name += "t\xc3\xa4pl\xe2\x82\xac";  // 64 KiB
  const std::string_view odd = "we\"ird 'na`me\0x;"sv;
  const std::string_view cjk = "\xe8\xa1\xa8";
  const Names columns = {odd, cjk, long_name};
  const std::string joined = std::string(odd) + ", " + std::string(cjk) + ", " + long_name;

  std::string out;
  compile_insert(out, long_name, columns, "sqlite");
  EXPECT_EQ(out, "INSERT INTO " + long_name + " (" + joined + ") VALUES (?, ?, ?)");
  compile_update(out, cjk, columns, long_name, "mysql");
  EXPECT_EQ(out, "UPDATE " + std::string(cjk) + " SET " + std::string(odd) + " = %s, " +
                     std::string(cjk) + " = %s, " + long_name + " = %s WHERE " + long_name +
                     " = %s");
  compile_delete(out, odd, cjk, "postgres");
  EXPECT_EQ(out, "DELETE FROM " + std::string(odd) + " WHERE " + std::string(cjk) + " = $1");

  const std::vector<Join> joins = {{"left", long_name, odd}};
  const std::vector<Condition> wheres = {{cjk, long_name}};
  const std::vector<OrderTerm> order = {{long_name, "d\xc3\xa9sc"}};
  SelectQuery query = bare_query(cjk, "mysql");
  query.columns = columns;
  query.joins = joins;
  query.wheres = wheres;
  query.order_by = order;
  compile_select(out, query);
  EXPECT_EQ(out, "SELECT " + joined + " FROM " + std::string(cjk) + " LEFT JOIN " + long_name +
                     " ON " + std::string(odd) + " WHERE " + std::string(cjk) + " " + long_name +
                     " %s ORDER BY " + long_name + " D\xc3\xa9SC");
}

TEST(Compiler, UpperCasesOnlyAsciiLettersOfJoinTypesAndDirections) {
  // Every byte value at every place of keywords of 1 to 19 bytes: the fold works in words of
  // eight or four bytes that may overlap, and below four bytes one by one, so each place of
  // every form is reached.
  auto folded = [](std::string_view s) {
    std::string r(s);
    for (char& c : r)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
  };
  std::string out;
  for (std::size_t length = 1; length < 20; ++length) {
    for (int byte = 0; byte < 256; ++byte) {
      for (std::size_t at = 0; at < length; ++at) {
        std::string keyword(length, 'q');
        keyword[at] = static_cast<char>(byte);
        const std::vector<Join> joins = {{keyword, "b", "x"}};
        const std::vector<OrderTerm> order = {{"c", keyword}};
        SelectQuery query = bare_query("a", "sqlite");
        query.joins = joins;
        query.order_by = order;
        compile_select(out, query);
        const std::string want =
            "SELECT * FROM a " + folded(keyword) + " JOIN b ON x ORDER BY c " + folded(keyword);
        ASSERT_EQ(out, want) << "byte " << byte << " at " << at << " of " << length;
      }
    }
  }
}

}  // namespace
}  // namespace kestrelite::core

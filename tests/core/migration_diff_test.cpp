#include "core/migration_diff.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kestrelite::core {
namespace {

using Statements = std::vector<std::string>;

ModelColumns model_of(std::vector<ModelColumn> columns) {
  ModelColumns model;
  for (ModelColumn& c : columns) model.put(std::move(c));
  return model;
}

// The tables view the names they are given: the names here are literals, or strings that
// outlive the table.
ColumnNames db_of(std::initializer_list<std::string_view> names) {
  ColumnNames db;
  for (std::string_view n : names) db.put(n);
  return db;
}

ColumnNames db_of(const std::vector<std::string>& names) {
  ColumnNames db;
  for (const std::string& n : names) db.put(n);
  return db;
}

const ModelColumn kId{"id", "INTEGER", true, true};
const ModelColumn kName{"name", "VARCHAR(100)", false, false};

TEST(DiffTable, WorkedExampleCreatesAltersOrDoesNothing) {
  const ModelColumns model = model_of({kId, kName});
  const Migration create = diff_table("users", model, db_of({}), "postgres");
  EXPECT_EQ(
      create.upgrade,
      Statements{
          "CREATE TABLE IF NOT EXISTS users (id SERIAL PRIMARY KEY, name VARCHAR(100) NOT NULL);"});
  EXPECT_EQ(create.downgrade, Statements{"DROP TABLE IF EXISTS users;"});

  const Migration alter = diff_table("users", model, db_of({"id"}), "postgres");
  EXPECT_EQ(alter.upgrade, Statements{"ALTER TABLE users ADD COLUMN name VARCHAR(100) NOT NULL;"});
  EXPECT_EQ(alter.downgrade, Statements{"ALTER TABLE users DROP COLUMN name;"});

  const Migration none = diff_table("users", model_of({kId}), db_of({"id"}), "mysql");
  EXPECT_TRUE(none.upgrade.empty());
  EXPECT_TRUE(none.downgrade.empty());
}

TEST(DiffTable, PrimaryKeyClauseMatchesTheDialectExactly) {
  struct Case {
    const char* dialect;
    const char* definition;
  };
  const Case cases[] = {
      {"mysql", "id INT AUTO_INCREMENT PRIMARY KEY"},
      {"postgres", "id SERIAL PRIMARY KEY"},
      {"postgresql", "id SERIAL PRIMARY KEY"},
      {"MySQL", "id INTEGER PRIMARY KEY AUTOINCREMENT"},
      {"PostgreSQL", "id INTEGER PRIMARY KEY AUTOINCREMENT"},
      {"Postgres", "id INTEGER PRIMARY KEY AUTOINCREMENT"},
      {"sqlite", "id INTEGER PRIMARY KEY AUTOINCREMENT"},
      {" mysql", "id INTEGER PRIMARY KEY AUTOINCREMENT"},
      {"mysql ", "id INTEGER PRIMARY KEY AUTOINCREMENT"},
      {"postgre", "id INTEGER PRIMARY KEY AUTOINCREMENT"},
      {"", "id INTEGER PRIMARY KEY AUTOINCREMENT"},
  };
  // A key column never shows its type or NOT NULL, whatever the dialect.
  const ModelColumns model = model_of({{"id", "BIGINT", false, true}});
  for (const Case& c : cases) {
    const Migration m = diff_table("t", model, db_of({}), c.dialect);
    EXPECT_EQ(m.upgrade,
              Statements{"CREATE TABLE IF NOT EXISTS t (" + std::string(c.definition) + ");"})
        << '"' << c.dialect << '"';
  }
}

TEST(DiffTable, RendersEachColumnKindOnBothPaths) {
  struct Case {
    ModelColumn column;
    const char* definition;  // inside CREATE TABLE
    const char* added;       // after ADD COLUMN
  };
  const Case cases[] = {
      {{"c"}, "c TEXT", "c TEXT"},
      {{"c", "INT", false, false}, "c INT NOT NULL", "c INT NOT NULL"},
      {{"c", "INT", true, false}, "c INT", "c INT"},
      // On an existing table a key column is added plainly, even when not nullable.
      {{"c", "BIGINT", false, true}, "c INTEGER PRIMARY KEY AUTOINCREMENT", "c BIGINT"},
      // Texts go in verbatim: no quoting, trimming or case change.
      {{"\"Odd Name\"", " varchar(5) DEFAULT 'a;b' ", true, false},
       "\"Odd Name\"  varchar(5) DEFAULT 'a;b' ",
       "\"Odd Name\"  varchar(5) DEFAULT 'a;b' "},
      {{"é", "", true, false}, "é ", "é "},
  };
  for (const Case& c : cases) {
    const ModelColumns model = model_of({c.column});
    EXPECT_EQ(diff_table("t", model, db_of({}), "sqlite").upgrade,
              Statements{"CREATE TABLE IF NOT EXISTS t (" + std::string(c.definition) + ");"});
    const Migration alter = diff_table("t", model, db_of({"other"}), "sqlite");
    EXPECT_EQ(alter.upgrade, Statements{"ALTER TABLE t ADD COLUMN " + std::string(c.added) + ";"});
    EXPECT_EQ(alter.downgrade, Statements{"ALTER TABLE t DROP COLUMN " + std::string(c.column.name) + ";"});
  }
}

TEST(DiffTable, EmptyInputsAndAnEmptyTableName) {
  const Migration both_empty = diff_table("users", model_of({}), db_of({}), "sqlite");
  EXPECT_EQ(both_empty.upgrade, Statements{"CREATE TABLE IF NOT EXISTS users ();"});
  EXPECT_EQ(both_empty.downgrade, Statements{"DROP TABLE IF EXISTS users;"});

  const Migration no_model = diff_table("users", model_of({}), db_of({"id"}), "sqlite");
  EXPECT_TRUE(no_model.upgrade.empty());
  EXPECT_TRUE(no_model.downgrade.empty());

  const Migration unnamed = diff_table("", model_of({kName}), db_of({}), "sqlite");
  EXPECT_EQ(unnamed.upgrade,
            Statements{"CREATE TABLE IF NOT EXISTS  (name VARCHAR(100) NOT NULL);"});
  EXPECT_EQ(unnamed.downgrade, Statements{"DROP TABLE IF EXISTS ;"});
  EXPECT_EQ(diff_table("", model_of({kName}), db_of({"id"}), "sqlite").downgrade,
            Statements{"ALTER TABLE  DROP COLUMN name;"});
}

TEST(DiffTable, AddsOnlyModelColumnsTheDatabaseLacksByExactName) {
  // "Name" and "name" are different columns; "extra" exists only in the database.
  const ModelColumns model = model_of({{"id"}, {"Name"}, {"email"}, {"name"}});
  const Migration m = diff_table("u", model, db_of({"id", "name", "extra"}), "sqlite");
  EXPECT_EQ(m.upgrade, (Statements{"ALTER TABLE u ADD COLUMN Name TEXT;",
                                   "ALTER TABLE u ADD COLUMN email TEXT;"}));
  EXPECT_EQ(m.downgrade,
            (Statements{"ALTER TABLE u DROP COLUMN Name;", "ALTER TABLE u DROP COLUMN email;"}));
}

TEST(ModelColumns, RepeatedNameReplacesAttributesInTheEarlierPlace) {
  const ModelColumns model =
      model_of({{"a", "INT", true, false}, {"b"}, {"a", "VARCHAR(9)", false, false}});
  EXPECT_EQ(model.size(), 2u);
  EXPECT_EQ(diff_table("t", model, db_of({}), "sqlite").upgrade,
            Statements{"CREATE TABLE IF NOT EXISTS t (a VARCHAR(9) NOT NULL, b TEXT);"});
  // A repeated database name is still one column.
  EXPECT_TRUE(diff_table("t", model_of({{"a"}}), db_of({"a", "a"}), "sqlite").upgrade.empty());
}

TEST(DiffTable, EachDowngradeUndoesTheUpgradeAtItsPosition) {
  static const std::vector<std::string> kPool = [] {
    std::vector<std::string> pool;
    for (int i = 0; i < 16; ++i) pool.push_back("c" + std::to_string(i));
    return pool;
  }();
  std::mt19937_64 rng(20240601);
  for (int trial = 0; trial < 200; ++trial) {
    // Names from a small pool so model and database overlap often.
    std::vector<ModelColumn> columns;
    std::vector<std::string> db_names;
    std::set<std::string> db_set;
    for (int i = 0; i < 12; ++i) {
      const std::string& name = kPool[rng() % 16];
      if (rng() % 2) columns.push_back({name, "INT", rng() % 2 == 0, rng() % 4 == 0});
      if (rng() % 3 == 0) {
        db_names.push_back(name);
        db_set.insert(name);
      }
    }
    if (db_set.empty()) {  // keep to the alter path
      db_names.push_back("only_in_db");
      db_set.insert("only_in_db");
    }
    const ModelColumns model = model_of(columns);
    const Migration m = diff_table("t", model, db_of(db_names), "sqlite");
    ASSERT_EQ(m.upgrade.size(), m.downgrade.size());

    std::set<std::string> missing;
    for (const ModelColumn& c : model)
      if (!db_set.count(std::string(c.name))) missing.insert(std::string(c.name));
    ASSERT_EQ(m.upgrade.size(), missing.size());

    const std::string add = "ALTER TABLE t ADD COLUMN ";
    std::set<std::string> added;
    for (std::size_t i = 0; i < m.upgrade.size(); ++i) {
      ASSERT_EQ(m.upgrade[i].rfind(add, 0), 0u) << m.upgrade[i];
      const std::string name =
          m.upgrade[i].substr(add.size(), m.upgrade[i].find(' ', add.size()) - add.size());
      EXPECT_EQ(m.downgrade[i], "ALTER TABLE t DROP COLUMN " + name + ";");
      EXPECT_TRUE(added.insert(name).second) << name;
    }
    EXPECT_EQ(added, missing);
  }
}

}  // namespace
}  // namespace kestrelite::core

"""The road of a row on MariaDB through PyMySQL ('%s')."""

from __future__ import annotations

import pytest

import _kestrelite_rs as kr
import engines
import road


def syntax_error_near(quoted: str) -> str:
    """MariaDB's whole message for a statement it cannot parse."""
    return ("You have an error in your SQL syntax; check the manual that corresponds to your "
            f"MariaDB server version for the right syntax to use near {quoted} at line 1")


@pytest.mark.parametrize("step", road.STEPS, ids=road.step_id)
def test_road_of_a_row(mariadb_db, step):
    step(mariadb_db)


@pytest.mark.parametrize("case", road.SELECT_CASES, ids=lambda case: case["id"])
def test_select_answers_the_expected_rows(mariadb_db, case):
    road.check_select(mariadb_db, case)


def test_offset_without_limit_is_refused(mariadb_db):
    pymysql = engines.require_driver("pymysql")
    road.build_schema(mariadb_db)
    sql, params = kr.QueryCompiler().compile_select("books", [], [], [], [], offset=2,
                                                    dialect="mysql")
    with pytest.raises(pymysql.err.ProgrammingError) as excinfo:
        mariadb_db.run(sql, params)
    assert excinfo.value.args == (1064, syntax_error_near("''"))


def test_text_that_is_not_a_number_is_cut_to_its_leading_digits_with_a_warning(mariadb_db):
    road.build_schema(mariadb_db)
    sql, params = kr.QueryCompiler().compile_select("books", ["title"], [("year", "=", "1944x")],
                                                    [], [], dialect="mysql")
    assert mariadb_db.run(sql, params).rows == [{"title": "Ficciones"}]
    assert mariadb_db.conn.show_warnings() == (
        ("Warning", 1292, "Truncated incorrect DECIMAL value: '1944x'"),)


def test_adding_a_not_null_column_fills_existing_rows_with_the_implicit_default(mariadb_db):
    road.build_schema(mariadb_db)
    model = {**road.MODELS["books"], "isbn": {"data_type": "VARCHAR(20)", "nullable": False}}
    [upgrade], [downgrade] = kr.SchemaDiffEngine().diff_table("books", model,
                                                              mariadb_db.columns("books"), "mysql")
    mariadb_db.run(upgrade)
    assert mariadb_db.columns("books")["isbn"] == "varchar(20)"
    assert road.select_all(mariadb_db, "books") == [{**r, "isbn": ""} for r in road.seeded("books")]
    mariadb_db.run(downgrade)
    assert sorted(mariadb_db.columns("books")) == sorted(road.MODELS["books"])


def test_a_capitalised_dialect_name_gets_the_sqlite_key_clause(mariadb_db):
    pymysql = engines.require_driver("pymysql")
    [create], _ = kr.SchemaDiffEngine().diff_table("authors", {"id": road.kPrimaryKey}, {}, "MySQL")
    with pytest.raises(pymysql.err.ProgrammingError) as excinfo:
        mariadb_db.run(create)
    assert excinfo.value.args == (1064, syntax_error_near("')'"))
    assert mariadb_db.columns("authors") == {}


def test_example_walks_the_road(mariadb_server, mariadb_db):
    target = f"{mariadb_server.unix_socket}:0:{mariadb_server.user}:road"
    assert road.example_catalogue(road.run_example("--mysql", target)) == road.kExampleCatalogue

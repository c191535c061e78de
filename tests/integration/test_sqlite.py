"""The road of a row on SQLite through the stdlib sqlite3 driver ('?'), in memory and in a file."""

from __future__ import annotations

import sqlite3

import pytest

import _kestrelite_rs as kr
import road


@pytest.mark.parametrize("step", road.STEPS, ids=road.step_id)
def test_road_of_a_row(sqlite_db, step):
    step(sqlite_db)


@pytest.mark.parametrize("case", road.SELECT_CASES, ids=lambda case: case["id"])
def test_select_answers_the_expected_rows(sqlite_db, case):
    road.check_select(sqlite_db, case)


@pytest.mark.parametrize(("column", "operator", "value", "titles"), [
    ("year", ">", "1900", ["Ficciones", "ノルウェイの森"]),
    # An expression has no column affinity: the text is compared as text, and any
    # integer sorts before any text.
    ("year + 0", ">", "1900", []),
    # Text that is not a number stays text and equals no integer.
    ("year", "=", "1944x", []),
], ids=["bare-column", "expression", "not-a-number"])
def test_text_values_compare_as_numbers_only_against_a_bare_column(sqlite_db, column, operator,
                                                                  value, titles):
    road.build_schema(sqlite_db)
    sql, params = kr.QueryCompiler().compile_select(
        "books", ["title"], [(column, operator, value)], [],
        [("title", "asc")], dialect="sqlite")
    assert [row["title"] for row in sqlite_db.run(sql, params).rows] == titles


def test_offset_without_limit_is_refused(sqlite_db):
    road.build_schema(sqlite_db)
    sql, params = kr.QueryCompiler().compile_select("books", [], [], [], [], offset=2,
                                                    dialect="sqlite")
    with pytest.raises(sqlite3.OperationalError) as excinfo:
        sqlite_db.run(sql, params)
    assert str(excinfo.value) == 'near "2": syntax error'


def test_adding_a_not_null_column_without_default_is_refused_once_the_table_has_rows(sqlite_db):
    model = {**road.MODELS["books"], "isbn": {"data_type": "VARCHAR(20)", "nullable": False}}
    undo = road.migrate(sqlite_db, "books", road.MODELS["books"])
    [upgrade], _ = kr.SchemaDiffEngine().diff_table("books", model, sqlite_db.columns("books"),
                                                    "sqlite")
    sqlite_db.run(upgrade)
    assert sorted(sqlite_db.columns("books")) == sorted(model)

    for statement in undo:
        sqlite_db.run(statement)
    road.migrate(sqlite_db, "books", road.MODELS["books"])
    road.insert(sqlite_db, "books", road.SEED["books"][0])
    with pytest.raises(sqlite3.OperationalError) as excinfo:
        sqlite_db.run(upgrade)
    assert str(excinfo.value) == "Cannot add a NOT NULL column with default value NULL"
    assert sorted(sqlite_db.columns("books")) == sorted(road.MODELS["books"])


def test_example_walks_the_road_in_memory():
    assert road.example_catalogue(road.run_example()) == road.kExampleCatalogue

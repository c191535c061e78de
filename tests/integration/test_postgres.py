"""The road of a row on PostgreSQL through asyncpg ('$N', INSERT ... RETURNING *)."""

from __future__ import annotations

import sys

import pytest

import _kestrelite_rs as kr
import engines
import road


@pytest.mark.parametrize("step", road.STEPS, ids=road.step_id)
def test_road_of_a_row(postgres_db, step):
    step(postgres_db)


@pytest.mark.parametrize("case", road.SELECT_CASES, ids=lambda case: case["id"])
def test_select_answers_the_expected_rows(postgres_db, case):
    road.check_select(postgres_db, case)


def test_text_value_for_an_integer_column_is_refused_by_the_driver(postgres_db):
    asyncpg = engines.require_driver("asyncpg")
    road.build_schema(postgres_db)
    sql, params = kr.QueryCompiler().compile_select("books", [], [("year", ">", "1900")], [], [],
                                                    dialect="postgres")
    with pytest.raises(asyncpg.exceptions.DataError) as excinfo:
        postgres_db.run(sql, params)
    # The driver passes on the interpreter's own words for a str that is not an integer.
    reason = ("an integer is required (got type str)" if sys.version_info < (3, 10)
              else "'str' object cannot be interpreted as an integer")
    assert str(excinfo.value) == f"invalid input for query argument $1: '1900' ({reason})"


@pytest.mark.parametrize("column", ["year::numeric", "CAST(year AS numeric)"])
def test_a_numeric_cast_in_the_column_text_takes_the_text_value(postgres_db, column):
    road.build_schema(postgres_db)
    sql, params = kr.QueryCompiler().compile_select("books", ["title"], [(column, ">", "1900")], [],
                                                    [("year", "asc")], dialect="postgres")
    assert postgres_db.run(sql, params).rows == [{"title": "Ficciones"}, {"title": "ノルウェイの森"}]


def test_offset_without_limit_is_accepted(postgres_db):
    road.build_schema(postgres_db)
    sql, params = kr.QueryCompiler().compile_select("books", ["id"], [], [], [("id", "asc")],
                                                    offset=5, dialect="postgres")
    assert postgres_db.run(sql, params).rows == [{"id": 6}, {"id": 7}]


def test_adding_a_not_null_column_is_refused_once_the_table_has_rows(postgres_db):
    asyncpg = engines.require_driver("asyncpg")
    model = {**road.MODELS["books"], "isbn": {"data_type": "VARCHAR(20)", "nullable": False}}
    undo = road.migrate(postgres_db, "books", road.MODELS["books"])
    [upgrade], _ = kr.SchemaDiffEngine().diff_table("books", model, postgres_db.columns("books"),
                                                    "postgres")
    postgres_db.run(upgrade)
    assert sorted(postgres_db.columns("books")) == sorted(model)

    for statement in undo:
        postgres_db.run(statement)
    road.migrate(postgres_db, "books", road.MODELS["books"])
    road.insert(postgres_db, "books", road.SEED["books"][0])
    with pytest.raises(asyncpg.exceptions.NotNullViolationError) as excinfo:
        postgres_db.run(upgrade)
    assert str(excinfo.value) == 'column "isbn" of relation "books" contains null values'
    assert sorted(postgres_db.columns("books")) == sorted(road.MODELS["books"])


@pytest.mark.parametrize("dialect", ["postgres", "postgresql"])
def test_both_dialect_names_create_a_serial_key(postgres_db, dialect):
    [create], _ = kr.SchemaDiffEngine().diff_table("books", road.MODELS["books"], {}, dialect)
    postgres_db.run(create)
    assert road.insert(postgres_db, "books", road.SEED["books"][0])["id"] == 1
    assert postgres_db.columns("books")["id"] == "integer"


def test_a_capitalised_dialect_name_gets_the_sqlite_key_clause(postgres_db):
    asyncpg = engines.require_driver("asyncpg")
    [create], _ = kr.SchemaDiffEngine().diff_table("books", road.MODELS["books"], {}, "PostgreSQL")
    with pytest.raises(asyncpg.exceptions.PostgresSyntaxError) as excinfo:
        postgres_db.run(create)
    assert str(excinfo.value) == 'syntax error at or near "AUTOINCREMENT"'
    assert postgres_db.columns("books") == {}


def test_example_walks_the_road(postgres_server):
    dsn = (f"postgresql://{postgres_server.user}@/{postgres_server.database}"
           f"?host={postgres_server.host}&port={postgres_server.port}")
    assert road.example_catalogue(road.run_example("--postgres", dsn)) == road.kExampleCatalogue

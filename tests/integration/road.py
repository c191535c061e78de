"""The road of a row through the module, walked on a real engine.

Each step builds its statements with the module, runs them through the engine's own
driver and reads the rows back, so what is checked is what the engine stored and
answered, not what the text looks like. The engine test files run every step against
their engine and add the cases where that engine disagrees with the others.
"""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import _kestrelite_rs as kr

kPrimaryKey = {"primary_key": True}
kIntegerType = "INTEGER"

# Each table comes after the tables it refers to.
MODELS = {
    "countries": {
        "id": kPrimaryKey,
        "code": {"data_type": "VARCHAR(2)", "nullable": False},
        "name": {"data_type": "VARCHAR(100)", "nullable": False},
    },
    "authors": {
        "id": kPrimaryKey,
        "name": {"data_type": "VARCHAR(100)", "nullable": False},
        "country": {"data_type": "VARCHAR(2)", "nullable": False},
    },
    "books": {
        "id": kPrimaryKey,
        "author_id": {"data_type": kIntegerType, "nullable": False},
        "title": {"data_type": "VARCHAR(200)", "nullable": False},
        "year": {"data_type": kIntegerType},
    },
}

# Rows as inserted, without their keys; a fresh table numbers them from 1 in this order.
SEED = {
    "countries": [
        {"code": "FR", "name": "France"},
        {"code": "JP", "name": "Japan"},
        {"code": "AR", "name": "Argentina"},
        {"code": "GB", "name": "United Kingdom"},
        {"code": "DE", "name": "Germany"},
    ],
    "authors": [
        {"name": "Victor Hugo", "country": "FR"},
        {"name": "Jules Verne", "country": "FR"},
        {"name": "村上春樹", "country": "JP"},
        {"name": "Jorge Luis Borges", "country": "AR"},
        {"name": "Jane Austen", "country": "GB"},
    ],
    "books": [
        {"author_id": 1, "title": "Les Misérables", "year": 1862},
        {"author_id": 2, "title": "Vingt mille lieues sous les mers", "year": 1870},
        {"author_id": 3, "title": "ノルウェイの森", "year": 1987},
        {"author_id": 1, "title": "Notre-Dame de Paris", "year": 1831},
        {"author_id": 4, "title": "Ficciones", "year": 1944},
        {"author_id": 2, "title": "Le Tour du monde en quatre-vingts jours", "year": 1872},
        {"author_id": 4, "title": "Untitled draft", "year": None},
    ],
}


def seeded(table: str) -> list[dict]:
    """The seed rows of a table with the keys a fresh table gives them."""
    return [{"id": i, **row} for i, row in enumerate(SEED[table], start=1)]


def column_type(table: str, column: str) -> str:
    """The model's type of a condition column, written bare or as table.column."""
    if "." in column:
        table, column = column.split(".", 1)
    return MODELS[table][column].get("data_type", "TEXT")


def bind(db, table: str, wheres: list[tuple], params: list[str]) -> list:
    """The SELECT parameters as this engine's driver takes them.

    The compiler hands every condition value back as a str. SQLite and MariaDB convert
    a text parameter against the column it is compared with; asyncpg sends each value in
    the type the server inferred for its placeholder and refuses a str for a number, so
    for it the caller converts by the model's column type.
    """
    if db.binds_text_as_typed:
        return list(params)
    return [int(value) if column_type(table, column) == kIntegerType else value
            for value, (column, _, _) in zip(params, wheres)]


def migrate(db, table: str, model: dict) -> list[str]:
    """Brings a table up to its model; returns the statements that undo it."""
    differ = kr.SchemaDiffEngine()
    upgrade, downgrade = differ.diff_table(table, model, db.columns(table), db.dialect)
    for statement in upgrade:
        db.run(statement)
    return downgrade


def insert(db, table: str, row: dict) -> dict:
    """Inserts one row; returns it as stored, with its new key."""
    sql = kr.QueryCompiler().compile_insert(table, list(row), db.dialect)
    outcome = db.run(sql, list(row.values()))
    if sql.endswith(" RETURNING *"):
        assert len(outcome.rows) == 1
        return outcome.rows[0]
    assert outcome.rowcount == 1
    return {"id": outcome.lastrowid, **row}


def select_all(db, table: str) -> list[dict]:
    """Every row of a table, by key."""
    sql, params = kr.QueryCompiler().compile_select(table, [], [], [], [("id", "asc")],
                                                    dialect=db.dialect)
    return db.run(sql, params).rows


def build_schema(db) -> None:
    """Creates the three tables from their models and fills them with the seed rows."""
    for table, model in MODELS.items():
        migrate(db, table, model)
    for table, rows in SEED.items():
        for row in rows:
            insert(db, table, row)


def check_migration(db) -> None:
    """Create, add two columns, drop them again, drop the table; introspected each time."""
    model = MODELS["books"]
    assert db.columns("books") == {}
    create_undo = migrate(db, "books", model)
    assert len(create_undo) == 1
    assert sorted(db.columns("books")) == sorted(model)
    first = insert(db, "books", SEED["books"][0])
    second = insert(db, "books", SEED["books"][1])
    assert (first["id"], second["id"]) == (1, 2)

    differ = kr.SchemaDiffEngine()
    extended = {**model, "isbn": {"data_type": "VARCHAR(20)"}, "pages": {"data_type": kIntegerType}}
    upgrade, downgrade = differ.diff_table("books", extended, db.columns("books"), db.dialect)
    added = []
    for statement in upgrade:
        before = set(db.columns("books"))
        db.run(statement)
        [column] = set(db.columns("books")) - before
        added.append(column)
    assert sorted(added) == ["isbn", "pages"]
    assert select_all(db, "books") == [{**row, "isbn": None, "pages": None}
                                       for row in seeded("books")[:2]]
    assert differ.diff_table("books", extended, db.columns("books"), db.dialect) == ([], [])

    # The i-th downgrade statement takes back the column of the i-th upgrade statement.
    assert len(downgrade) == len(added)
    for statement, column in zip(downgrade, added):
        db.run(statement)
        assert column not in db.columns("books")
    assert sorted(db.columns("books")) == sorted(model)
    assert select_all(db, "books") == seeded("books")[:2]

    for statement in create_undo:
        db.run(statement)
    assert db.columns("books") == {}


def check_insert(db) -> None:
    """Each inserted row comes back as given, with keys 1..n, and reads back the same."""
    for table, model in MODELS.items():
        migrate(db, table, model)
        stored = [insert(db, table, row) for row in SEED[table]]
        assert stored == seeded(table)
        assert select_all(db, table) == seeded(table)


SELECT_CASES = [
    {
        "id": "integer-columns-with-text-values",
        "call": {"table": "books", "columns": ["id", "title"],
                 "wheres": [("author_id", "=", "2"), ("year", ">", "1860")], "joins": [],
                 "order_by": [("year", "asc")]},
        "expect": [{"id": 2, "title": "Vingt mille lieues sous les mers"},
                   {"id": 6, "title": "Le Tour du monde en quatre-vingts jours"}],
    },
    {
        "id": "limit-and-offset",
        "call": {"table": "books", "columns": ["id"], "wheres": [], "joins": [],
                 "order_by": [("id", "desc")], "limit": 3, "offset": 2},
        "expect": [{"id": 5}, {"id": 4}, {"id": 3}],
    },
    {
        "id": "limit-zero",
        "call": {"table": "books", "columns": [], "wheres": [], "joins": [], "order_by": [],
                 "limit": 0},
        "expect": [],
    },
    {
        "id": "join-with-text-condition",
        "call": {"table": "books", "columns": ["books.title AS title", "authors.name AS author"],
                 "wheres": [("authors.country", "=", "FR"), ("books.year", "<", "1871")],
                 "joins": [("inner", "authors", "authors.id = books.author_id")],
                 "order_by": [("books.year", "asc")]},
        "expect": [{"title": "Notre-Dame de Paris", "author": "Victor Hugo"},
                   {"title": "Les Misérables", "author": "Victor Hugo"},
                   {"title": "Vingt mille lieues sous les mers", "author": "Jules Verne"}],
    },
    {
        "id": "left-join-keeps-authors-without-books",
        "call": {"table": "authors", "columns": ["authors.name AS author", "books.id AS book"],
                 "wheres": [("authors.country", "=", "GB")],
                 "joins": [("left", "books", "books.author_id = authors.id")],
                 "order_by": [("authors.id", "asc")]},
        "expect": [{"author": "Jane Austen", "book": None}],
    },
]


def check_select(db, case: dict) -> None:
    """A compiled SELECT with its parameter list answers exactly the expected rows."""
    build_schema(db)
    sql, params = kr.QueryCompiler().compile_select(dialect=db.dialect, **case["call"])
    assert all(isinstance(p, str) for p in params)
    call = case["call"]
    assert db.run(sql, bind(db, call["table"], call["wheres"], params)).rows == case["expect"]


def check_tracked_update(db) -> None:
    """A loaded row is tracked, changed, and saved with an UPDATE of its dirty columns only."""
    build_schema(db)
    compiler = kr.QueryCompiler()
    sql, params = compiler.compile_select("books", [], [("title", "=", "Ficciones")], [], [],
                                          dialect=db.dialect)
    [row] = db.run(sql, params).rows

    tracker = kr.StateTracker()
    tracker.set_initial_state(row)
    tracker.set_field("title", "Ficciones (1956 edition)")
    tracker.set_field("year", 1956)
    # The same text as loaded: no change, so the column stays out of the UPDATE.
    tracker.set_field("author_id", str(row["author_id"]))
    assert sorted(tracker.dirty_fields()) == ["title", "year"]

    update = compiler.compile_update("books", tracker.dirty_fields(), "id", db.dialect)
    outcome = db.run(update, list(tracker.get_dirty_changes().values()) + [row["id"]])
    assert outcome.rowcount == 1
    tracker.hydrate_snapshot()
    assert not tracker.is_dirty()

    expected = [dict(r) for r in seeded("books")]
    expected[row["id"] - 1].update(title="Ficciones (1956 edition)", year=1956)
    assert select_all(db, "books") == expected


def check_delete(db) -> None:
    """DELETE by key removes that row only; a second time it removes nothing."""
    build_schema(db)
    delete = kr.QueryCompiler().compile_delete("books", "id", db.dialect)
    assert db.run(delete, [3]).rowcount == 1
    assert db.run(delete, [3]).rowcount == 0
    assert select_all(db, "books") == [r for r in seeded("books") if r["id"] != 3]


def load_in(db, table: str, columns: str, key_column: str, keys: list) -> list[dict]:
    """Loads the rows whose key column is one of the keys, with one IN query."""
    compiler = kr.QueryCompiler()
    placeholders = ", ".join(compiler.get_placeholder(db.dialect, i)
                             for i in range(1, len(keys) + 1))
    sql = f"SELECT {columns} FROM {table} WHERE {key_column} IN ({placeholders}) ORDER BY id"
    return db.run(sql, keys).rows


def check_batch_load(db) -> None:
    """Foreign keys of many rows, gathered once each, load the related rows in one query."""
    build_schema(db)
    books = select_all(db, "books")
    authors_of_books = kr.BatchAggregator()
    assert authors_of_books.add_keys_batch([b["author_id"] for b in books]) == 4
    keys = authors_of_books.get_keys()
    assert sorted(keys) == [1, 2, 3, 4]
    authors = load_in(db, "authors", "id, name, country", "id", keys)
    # Jane Austen wrote none of the seeded books.
    assert authors == seeded("authors")[:4]

    countries_of_authors = kr.BatchAggregator()
    assert countries_of_authors.add_keys_batch([a["country"] for a in authors]) == 3
    codes = countries_of_authors.get_keys()
    assert sorted(codes) == ["AR", "FR", "JP"]
    assert load_in(db, "countries", "id, code, name", "code", codes) == seeded("countries")[:3]


STEPS = [check_migration, check_insert, check_tracked_update, check_delete, check_batch_load]


def step_id(step) -> str:
    """A test id for a road step: its function name without the prefix."""
    return step.__name__.removeprefix("check_")


kExampleCatalogue = [
    "1831  Notre-Dame de Paris, by Victor Hugo",
    "1862  Les Misérables, by Victor Hugo",
    "1870  Vingt mille lieues sous les mers, by Jules Verne",
    "1956  Ficciones (revised), by Jorge Luis Borges",
]


def run_example(*args: str) -> str:
    """Runs the example program with this interpreter; returns what it printed."""
    example = Path(__file__).resolve().parents[2] / "examples" / "road_of_a_row.py"
    done = subprocess.run([sys.executable, str(example), *args], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return done.stdout


def example_catalogue(output: str) -> list[str]:
    """The book lines the example prints after loading the authors in one query."""
    lines = output.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("5. ")) + 1
    end = next(i for i, line in enumerate(lines) if line.startswith("6. "))
    return [line.strip() for line in lines[start:end] if re.match(r"\s+\d{4}  ", line)]

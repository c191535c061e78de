#!/usr/bin/env python3
"""The road of a row: declare a model, migrate, insert, track changes, save, batch-load.

    PYTHONPATH=build python3 examples/road_of_a_row.py                  # SQLite in memory
    PYTHONPATH=build python3 examples/road_of_a_row.py --postgres postgresql://me@localhost/scratch
    PYTHONPATH=build python3 examples/road_of_a_row.py --mysql localhost:3306:me:scratch

Every statement the module builds is printed before it runs, with the values bound to it.
The program creates the tables road_authors and road_books and drops them again at the
end with the migration's own downgrade statements: point it at a scratch database.
For --mysql the password comes from MYSQL_PWD, and a HOST starting with "/" is a socket.
"""

import argparse
import asyncio
import os
import sqlite3

from _kestrelite_rs import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

# The model as a mapping layer declares it: column name -> attributes.
MODEL = {
    "road_authors": {
        "id": {"primary_key": True},
        "name": {"data_type": "VARCHAR(100)", "nullable": False},
    },
    "road_books": {
        "id": {"primary_key": True},
        "author_id": {"data_type": "INTEGER", "nullable": False},
        "title": {"data_type": "VARCHAR(200)", "nullable": False},
        "year": {"data_type": "INTEGER"},
    },
}
AUTHORS = ["Victor Hugo", "Jules Verne", "Jorge Luis Borges"]
BOOKS = [  # (index into AUTHORS, title, year)
    (0, "Les Misérables", 1862),
    (1, "Vingt mille lieues sous les mers", 1870),
    (0, "Notre-Dame de Paris", 1831),
    (2, "Ficciones", 1944),
]


class Database:
    """A connection that prints each statement before running it."""

    dialect = "sqlite"

    def execute(self, sql, params=()):
        """Runs one statement and returns its rows as dicts."""
        print(f"    {sql}" + (f"    -- {list(params)!r}" if params else ""))
        return self.run(sql, list(params))


class SqliteDatabase(Database):
    dialect = "sqlite"

    def __init__(self):
        self.conn = sqlite3.connect(":memory:", isolation_level=None)
        self.lastrowid = None

    def run(self, sql, params):
        cursor = self.conn.execute(sql, params)
        names = [d[0] for d in cursor.description or ()]
        self.lastrowid = cursor.lastrowid
        return [dict(zip(names, row)) for row in cursor.fetchall()]

    def columns(self, table):
        return {row[1]: row[2] for row in self.conn.execute(f"PRAGMA table_info({table})")}

    def close(self):
        self.conn.close()


class PostgresDatabase(Database):
    dialect = "postgres"

    def __init__(self, dsn):
        import asyncpg

        self.loop = asyncio.new_event_loop()
        self.conn = self.loop.run_until_complete(asyncpg.connect(dsn, statement_cache_size=0))

    def run(self, sql, params):
        return [dict(r) for r in self.loop.run_until_complete(self.conn.fetch(sql, *params))]

    def columns(self, table):
        rows = self.run("SELECT column_name, data_type FROM information_schema.columns "
                        "WHERE table_schema = current_schema() AND table_name = $1", [table])
        return {row["column_name"]: row["data_type"] for row in rows}

    def close(self):
        self.loop.run_until_complete(self.conn.close())
        self.loop.close()


class MysqlDatabase(Database):
    dialect = "mysql"

    def __init__(self, target):
        import pymysql

        host, port, user, database = target.split(":")
        where = {"unix_socket": host} if host.startswith("/") else {"host": host, "port": int(port)}
        self.conn = pymysql.connect(user=user, password=os.environ.get("MYSQL_PWD", ""),
                                    database=database, autocommit=True, charset="utf8mb4",
                                    cursorclass=pymysql.cursors.DictCursor, **where)
        self.lastrowid = None

    def run(self, sql, params):
        with self.conn.cursor() as cursor:
            cursor.execute(sql, params or None)
            self.lastrowid = cursor.lastrowid
            return list(cursor.fetchall())

    def columns(self, table):
        rows = self.run("SELECT COLUMN_NAME, COLUMN_TYPE FROM information_schema.columns "
                        "WHERE table_schema = DATABASE() AND table_name = %s", [table])
        return {row["COLUMN_NAME"]: row["COLUMN_TYPE"] for row in rows}

    def close(self):
        self.conn.close()


def insert(db, compiler, table, row):
    """Inserts one row and returns its new key."""
    sql = compiler.compile_insert(table, list(row), db.dialect)
    returned = db.execute(sql, list(row.values()))
    # PostgreSQL's INSERT ends in RETURNING *: the stored row comes straight back.
    return returned[0]["id"] if returned else db.lastrowid


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    server = parser.add_mutually_exclusive_group()
    server.add_argument("--postgres", metavar="DSN", help="run on PostgreSQL (asyncpg)")
    server.add_argument("--mysql", metavar="HOST:PORT:USER:DB",
                        help="run on MySQL/MariaDB (PyMySQL)")
    args = parser.parse_args()
    if args.postgres:
        db = PostgresDatabase(args.postgres)
    elif args.mysql:
        db = MysqlDatabase(args.mysql)
    else:
        db = SqliteDatabase()
    compiler, differ = QueryCompiler(), SchemaDiffEngine()
    print(f"dialect: {db.dialect}")

    print("1. migrate: diff each model against the table the database reports")
    rollback = []
    for table, fields in MODEL.items():
        upgrade, downgrade = differ.diff_table(table, fields, db.columns(table), db.dialect)
        for statement in upgrade:
            db.execute(statement)
        rollback = downgrade + rollback

    print("2. insert authors and books")
    author_ids = [insert(db, compiler, "road_authors", {"name": name}) for name in AUTHORS]
    for author, title, year in BOOKS:
        row = {"author_id": author_ids[author], "title": title, "year": year}
        insert(db, compiler, "road_books", row)

    print("3. load one book into a StateTracker and change it")
    sql, params = compiler.compile_select("road_books", [], [("title", "=", "Ficciones")], [], [],
                                          dialect=db.dialect)
    [book] = db.execute(sql, params)
    tracker = StateTracker()
    tracker.set_initial_state(book)
    tracker.set_field("title", "Ficciones (revised)")
    tracker.set_field("year", 1956)
    tracker.set_field("author_id", str(book["author_id"]))  # same text: not a change
    print(f"    dirty: {sorted(tracker.get_dirty_changes().items())}")

    print("4. save exactly the dirty columns")
    update = compiler.compile_update("road_books", tracker.dirty_fields(), "id", db.dialect)
    db.execute(update, list(tracker.get_dirty_changes().values()) + [book["id"]])
    tracker.hydrate_snapshot()
    print(f"    dirty after the snapshot: {tracker.is_dirty()}")

    print("5. load every book, then all their authors in one query")
    sql, params = compiler.compile_select("road_books", ["id", "author_id", "title", "year"],
                                          [], [], [("year", "asc")], dialect=db.dialect)
    books = db.execute(sql, params)
    keys = BatchAggregator()
    keys.add_keys_batch([b["author_id"] for b in books])
    ids = keys.get_keys()
    placeholders = ", ".join(compiler.get_placeholder(db.dialect, i)
                             for i in range(1, len(ids) + 1))
    rows = db.execute(f"SELECT id, name FROM road_authors WHERE id IN ({placeholders})", ids)
    names = {row["id"]: row["name"] for row in rows}
    print(f"    {len(books)} books, {len(ids)} distinct authors, 2 queries:")
    for b in books:
        print(f"    {b['year']}  {b['title']}, by {names[b['author_id']]}")

    print("6. roll the migration back")
    for statement in rollback:
        db.execute(statement)
    db.close()


if __name__ == "__main__":
    main()

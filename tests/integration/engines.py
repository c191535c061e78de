"""One small adapter per driver, so that a road step reads the same on every engine.

An adapter runs one statement with a list of parameters and answers the rows it returned
(as dicts), the row count and the last inserted id; it also introspects a table's columns
the way a mapping layer does before it asks for a schema diff.
"""

from __future__ import annotations

import asyncio
import importlib
import sqlite3
from dataclasses import dataclass


def require_driver(name: str):
    """Imports a driver. The drivers are test requirements, installed for every
    interpreter: a missing one is a failure, not a skip."""
    return importlib.import_module(name)


@dataclass
class Outcome:
    """What one statement gave back."""

    rows: list[dict]
    rowcount: int
    lastrowid: int | None


class SqliteEngine:
    """sqlite3 in autocommit mode; '?' placeholders."""

    dialect = "sqlite"
    # SQLite and MariaDB convert a text parameter against the column they meet.
    binds_text_as_typed = True

    def __init__(self, path: str):
        self.conn = sqlite3.connect(path, isolation_level=None)
        # Each statement commits on its own; waiting for the disk on every one of them
        # would only make the file-backed runs slow.
        self.conn.execute("PRAGMA synchronous = OFF")

    def run(self, sql: str, params=()) -> Outcome:
        """Executes one statement."""
        cursor = self.conn.execute(sql, list(params))
        try:
            names = [d[0] for d in cursor.description or ()]
            rows = [dict(zip(names, row)) for row in cursor.fetchall()]
            return Outcome(rows, cursor.rowcount, cursor.lastrowid)
        finally:
            cursor.close()

    def columns(self, table: str) -> dict[str, str]:
        """The table's columns and their declared types; empty when there is no table."""
        return {row["name"]: row["type"] for row in self.run(f"PRAGMA table_info({table})").rows}

    def close(self) -> None:
        self.conn.close()


class PostgresEngine:
    """asyncpg driven from synchronous code; '$N' placeholders."""

    dialect = "postgres"
    # asyncpg encodes each parameter with the type the server inferred for its placeholder,
    # and refuses a str where that type is a number.
    binds_text_as_typed = False

    def __init__(self, params):
        self.asyncpg = require_driver("asyncpg")
        self.loop = asyncio.new_event_loop()
        # No statement cache: the road changes tables under statements it already ran.
        self.conn = self.loop.run_until_complete(self.asyncpg.connect(
            host=params.host, port=params.port, user=params.user, database=params.database,
            statement_cache_size=0))

    def run(self, sql: str, params=()) -> Outcome:
        """Prepares and executes one statement."""
        return self.loop.run_until_complete(self._run(sql, list(params)))

    async def _run(self, sql: str, params: list) -> Outcome:
        statement = await self.conn.prepare(sql)
        rows = [dict(record) for record in await statement.fetch(*params)]
        status = statement.get_statusmsg().split()
        rowcount = int(status[-1]) if status and status[-1].isdigit() else -1
        return Outcome(rows, rowcount, None)

    def columns(self, table: str) -> dict[str, str]:
        return {row["column_name"]: row["data_type"] for row in self.run(
            "SELECT column_name, data_type FROM information_schema.columns "
            "WHERE table_schema = current_schema() AND table_name = $1 ORDER BY ordinal_position",
            [table]).rows}

    def close(self) -> None:
        self.loop.run_until_complete(self.conn.close())
        self.loop.close()


def mariadb_error():
    """PyMySQL's base error class."""
    return require_driver("pymysql").err.Error


class MariadbEngine:
    """PyMySQL in autocommit mode; '%s' placeholders."""

    dialect = "mysql"
    binds_text_as_typed = True

    def __init__(self, params):
        pymysql = require_driver("pymysql")
        self.conn = pymysql.connect(unix_socket=params.unix_socket, user=params.user,
                                    autocommit=True, charset="utf8mb4",
                                    cursorclass=pymysql.cursors.DictCursor)

    @staticmethod
    def ping(unix_socket: str, user: str) -> None:
        """Connects once and disconnects; raises the driver's error when that fails."""
        pymysql = require_driver("pymysql")
        pymysql.connect(unix_socket=unix_socket, user=user, connect_timeout=2).close()

    def run(self, sql: str, params=()) -> Outcome:
        """Executes one statement."""
        with self.conn.cursor() as cursor:
            # Without parameters PyMySQL leaves the text alone; with them it %-formats it.
            cursor.execute(sql, list(params) if params else None)
            rows = [dict(row) for row in cursor.fetchall()]
            return Outcome(rows, cursor.rowcount, cursor.lastrowid)

    def columns(self, table: str) -> dict[str, str]:
        return {row["COLUMN_NAME"]: row["COLUMN_TYPE"] for row in self.run(
            "SELECT COLUMN_NAME, COLUMN_TYPE FROM information_schema.columns "
            "WHERE table_schema = DATABASE() AND table_name = %s ORDER BY ORDINAL_POSITION",
            [table]).rows}

    def close(self) -> None:
        self.conn.close()

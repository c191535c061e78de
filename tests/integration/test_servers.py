"""The throwaway servers are what the suites claim: unprivileged, reachable, UTF-8."""

from __future__ import annotations

import os
from pathlib import Path


def process_uid(pid: int) -> int:
    """The real user id of a running process."""
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("Uid:"):
            return int(line.split()[1])
    raise AssertionError(f"no Uid line for process {pid}")


def test_postgres_runs_unprivileged_and_round_trips_utf8(postgres_server, postgres_db):
    assert process_uid(postgres_server.pid) != 0 or os.geteuid() != 0
    rows = postgres_db.run("SELECT current_user AS who, $1::text AS echo, "
                           "current_setting('server_encoding') AS encoding", ["ノルウェイの森"]).rows
    assert rows == [{"who": "road", "echo": "ノルウェイの森", "encoding": "UTF8"}]


def test_mariadb_runs_unprivileged_and_round_trips_utf8(mariadb_server, mariadb_db):
    assert process_uid(mariadb_server.pid) != 0 or os.geteuid() != 0
    rows = mariadb_db.run("SELECT DATABASE() AS db, CAST(%s AS CHAR) AS echo, "
                          "@@character_set_database AS charset", ["ノルウェイの森"]).rows
    assert rows == [{"db": "road", "echo": "ノルウェイの森", "charset": "utf8mb4"}]


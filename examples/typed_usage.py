"""Every method of the module, as an ORM author would call it; type-checked with mypy against
the shipped stub."""

from __future__ import annotations

from typing import Any

import _kestrelite_rs as kr


def main() -> None:
    q = kr.QueryCompiler()
    marker: str = q.get_placeholder("postgres", 1)
    sql, params = q.compile_select(
        "users", ["id", "name"], [("age", ">", "18")], [("inner", "orders o", "o.uid = users.id")],
        [("name", "asc")], limit=10, offset=None, dialect="postgres",
    )
    insert: str = q.compile_insert("users", ("name", "email"), "sqlite")
    update: str = q.compile_update("users", ["name"], "id", "mysql")
    delete: str = q.compile_delete("users", "id", "sqlite")
    print(marker, sql, params, insert, update, delete)

    t = kr.StateTracker()
    row: dict[str, Any] = {"id": 1, "name": "Ada"}
    t.set_initial_state(row)
    t.set_field("name", "Grace")
    name: Any = t.get_field("name")
    dirty: bool = t.is_dirty()
    fields: list[str] = t.dirty_fields()
    changes: dict[str, Any] = t.get_dirty_changes()
    t.hydrate_snapshot()
    current: dict[str, Any] = t.get_current_dict()
    seconds: float = kr.StateTracker.benchmark_pure_rust(10)
    print(name, dirty, fields, changes, current, seconds)

    b = kr.BatchAggregator()
    added: bool = b.add_key_int(1) or b.add_key_str("a") or b.add_key(2.5)
    count: int = b.add_keys_batch([1, "b", None])
    keys: list[int | str] = b.get_keys()
    size: int = b.len()
    empty: bool = b.is_empty()
    b.clear()
    print(added, count, keys, size, empty)

    up, down = kr.SchemaDiffEngine().diff_table(
        "users", {"id": {"primary_key": True}}, {}, "sqlite"
    )
    statements: list[str] = up + down
    print(statements)


def report(failure: kr.PanicException) -> str:
    """Internal failures are BaseExceptions: catch them by name only where that is meant."""
    return f"native failure: {failure}"


if __name__ == "__main__":
    main()

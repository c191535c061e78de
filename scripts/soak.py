#!/usr/bin/env python3
"""Soak: a million calls of every method, with the process's resident memory before and after.

    PYTHONPATH=build python3 scripts/soak.py [--calls N] [--only SUBSTRING] [--max-growth-mib M]

Each line drives one method (on a success path, and on its common failure paths) N times
and prints the resident set size before and after. Memory that a leak keeps would show up
as growth that does not stop; the run fails when any line grew by more than the limit.
Not part of the test run: at the default count it takes some minutes.
"""

import argparse
import gc
import sys
import time

import _kestrelite_rs as native

kPageKiB = 4


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * kPageKiB


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def swallow(exc, fn, *args):
    def call():
        try:
            fn(*args)
        except exc:
            pass
    return call


def workloads():
    """(name, call) pairs; each call makes one or a few module calls."""
    tracker = native.StateTracker()
    tracker.set_initial_state({"alpha": 1001, "beta": "x" * 30, "gamma": [1, 2]})
    values = [10**20, "y" * 40, (1, 2), None, Unprintable()]
    counter = iter(range(10**12))
    qc = native.QueryCompiler()
    engine = native.SchemaDiffEngine()
    agg = native.BatchAggregator()
    model = {"id": {"primary_key": True}, "name": {"data_type": "VARCHAR(100)",
                                                   "nullable": False}}
    return [
        ("StateTracker()", native.StateTracker),
        ("set_initial_state", lambda: tracker.set_initial_state(
            {"alpha": next(counter), "beta": "x" * 30, "gamma": values[next(counter) % 5]})),
        ("set_initial_state not a dict", swallow(TypeError, tracker.set_initial_state, [])),
        ("set_field", lambda: tracker.set_field("beta", values[next(counter) % 5])),
        ("set_field bad field", swallow(TypeError, tracker.set_field, 1, 2)),
        ("get_field", lambda: tracker.get_field("alpha")),
        ("is_dirty", tracker.is_dirty),
        ("dirty_fields", tracker.dirty_fields),
        ("get_dirty_changes", tracker.get_dirty_changes),
        ("get_current_dict", tracker.get_current_dict),
        ("hydrate_snapshot", tracker.hydrate_snapshot),
        ("benchmark_pure_rust", lambda: native.StateTracker.benchmark_pure_rust(2)),
        ("benchmark_pure_rust float", swallow(TypeError, native.StateTracker.benchmark_pure_rust,
                                              1.5)),
        ("QueryCompiler()", native.QueryCompiler),
        ("get_placeholder", lambda: qc.get_placeholder("postgres", next(counter))),
        ("compile_insert", lambda: qc.compile_insert("users", ["name", "email"], "postgres")),
        ("compile_insert bad column", swallow(TypeError, qc.compile_insert, "t", ["a", 1], "x")),
        ("compile_update", lambda: qc.compile_update("users", ["name", "email"], "id", "mysql")),
        ("compile_delete", lambda: qc.compile_delete("users", "id", "sqlite")),
        ("compile_select", lambda: qc.compile_select(
            "users", ["id", "name"], [("age", ">", "18")], [("left", "o", "o.id = users.id")],
            [("name", "desc")], 10, 20, "postgres")),
        ("compile_select short tuple", swallow(ValueError, qc.compile_select, "u", [], [("a",)],
                                               [], [])),
        ("BatchAggregator()", native.BatchAggregator),
        ("add_key_int", lambda: agg.add_key_int(next(counter) % 1000)),
        ("add_key_int overflow", swallow(OverflowError, agg.add_key_int, 2**63)),
        ("add_key_str", lambda: agg.add_key_str(f"k{next(counter) % 1000}")),
        ("add_key", lambda: agg.add_key(values[next(counter) % 5])),
        ("add_keys_batch", lambda: agg.add_keys_batch([1, "a", None, 2.5, "long" * 10])),
        ("get_keys", agg.get_keys),
        ("len", agg.len),
        ("is_empty", agg.is_empty),
        ("clear", lambda: (agg.add_key("again"), agg.clear())),
        ("SchemaDiffEngine()", native.SchemaDiffEngine),
        ("diff_table create", lambda: engine.diff_table("users", model, {}, "postgres")),
        ("diff_table alter", lambda: engine.diff_table("users", model, {"id": "INT"}, "mysql")),
        ("diff_table bad model", swallow(TypeError, engine.diff_table, "u", {"a": []}, {}, "x")),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10**6)
    parser.add_argument("--only", default="")
    parser.add_argument("--max-growth-mib", type=float, default=4.0)
    options = parser.parse_args()

    sys.unraisablehook = lambda unraisable: None  # Unprintable values report each str()
    print(f"{'workload':32} {'calls':>9} {'seconds':>8} {'RSS before':>11} {'after':>9} "
          f"{'growth':>8}")
    failed = []
    for name, call in workloads():
        if options.only not in name:
            continue
        for _ in range(1000):
            call()
        gc.collect()
        before = rss_kib()
        start = time.perf_counter()
        for _ in range(options.calls):
            call()
        took = time.perf_counter() - start
        gc.collect()
        after = rss_kib()
        growth = after - before
        print(f"{name:32} {options.calls:9} {took:8.2f} {before:8} KiB {after:6} KiB "
              f"{growth:+5} KiB", flush=True)
        if growth > options.max_growth_mib * 1024:
            failed.append(name)
    if failed:
        print(f"soak: resident memory grew by more than {options.max_growth_mib} MiB in: "
              f"{', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

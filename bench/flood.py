#!/usr/bin/env python3
"""Times the module's tables with keys crafted to flood them beside ordinary keys.

    scripts/flood-bench.sh                           builds everything, then runs this
    PYTHONPATH=BUILD python3 bench/flood.py --flood-bench BUILD/bench/flood_bench

The crafted keys come from `flood_bench --emit`: texts and integers whose hashes under seed 0
(the unkeyed XXH3) share bits 10 to 16, so that a table hashing them that way puts them all in
one run of slots. The module hashes under its own random seed, so to it they are keys like
any other: each row times one call with the crafted keys and with ordinary keys of the same
form and number, interleaved, and gives the ratio of their medians and of their minimums
(the least disturbed by other work on the machine). Nothing here asserts a speed.
"""

import argparse
import gc
import statistics
import subprocess
import sys
import time

import _kestrelite_rs

kSizes = (8_192, 65_536)
kTarget = 2.0


class Name(str):
    """A column name of a str subclass, as some ORMs use for quoted names."""


def crafted_keys(flood_bench, n):
    out = subprocess.run([flood_bench, "--emit", str(n)], check=True, capture_output=True,
                         text=True).stdout
    texts, ints = [], []
    for line in out.splitlines():
        kind, _, key = line.partition(" ")
        (texts if kind == "text" else ints).append(key if kind == "text" else int(key))
    assert len(texts) == len(ints) == n, (len(texts), len(ints))
    return texts, ints


def ordinary_keys(n):
    return [f"key{i:08d}" for i in range(n)], list(range(n))


def workloads(texts, ints):
    """(name, prepare, call, check): prepare makes the fresh objects and inputs outside the
    timed call; check looks at the call's result."""
    def batch_ints():
        return (_kestrelite_rs.BatchAggregator(), ints)

    def batch_texts():
        return (_kestrelite_rs.BatchAggregator(), texts)

    def tracker():
        return (_kestrelite_rs.StateTracker(), dict.fromkeys(texts, 1))

    engine = _kestrelite_rs.SchemaDiffEngine()
    n = len(texts)
    one_column = ([f"ALTER TABLE t ADD COLUMN {texts[-1]} INTEGER;"],
                  [f"ALTER TABLE t DROP COLUMN {texts[-1]};"])

    def diff(names):
        model = {name: {"data_type": "INTEGER"} for name in names}
        db = dict.fromkeys(names[:-1], "INTEGER")
        return lambda: (model, db)

    return [
        ("add_keys_batch ints", batch_ints, lambda a, k: a.add_keys_batch(k), lambda r: r == n),
        ("add_keys_batch strs", batch_texts, lambda a, k: a.add_keys_batch(k), lambda r: r == n),
        ("set_initial_state", tracker, lambda t, d: t.set_initial_state(d), lambda r: r is None),
        # Names that are all exact strs are looked up in the caller's own dicts; names of a
        # str subclass go through the module's tables.
        ("diff_table", diff(texts), lambda m, d: engine.diff_table("t", m, d, "sqlite"),
         lambda r: r == one_column),
        ("diff_table subclass", diff([Name(t) for t in texts]),
         lambda m, d: engine.diff_table("t", m, d, "sqlite"), lambda r: r == one_column),
    ]


def time_call(prepare, call, check):
    first, second = prepare()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        result = call(first, second)
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    if not check(result):
        sys.exit(f"flood: unexpected result {result!r:.200}")
    return elapsed / 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--flood-bench", required=True, help="the flood_bench executable")
    parser.add_argument("--repeats", type=int, default=9)
    parser.add_argument("--profile", metavar="CALL:KEYS:KIND",
                        help="only make one call, untimed, for a profiler: e.g. "
                             "'add_keys_batch strs:65536:crafted' (KIND crafted or ordinary)")
    args = parser.parse_args()
    if args.profile:
        name, n, kind = args.profile.split(":")
        n = int(n)
        texts, ints = (crafted_keys(args.flood_bench, n) if kind == "crafted"
                       else ordinary_keys(n))
        _, prepare, call, check = next(w for w in workloads(texts, ints) if w[0] == name)
        first, second = prepare()
        if not check(call(first, second)):
            sys.exit("flood: unexpected result")
        return

    crafted_texts, crafted_ints = crafted_keys(args.flood_bench, max(kSizes))
    ordinary_texts, ordinary_ints = ordinary_keys(max(kSizes))
    print(f"interpreter: {sys.implementation.name} {sys.version.split()[0]} ({sys.executable})")
    print(f"module:      {_kestrelite_rs.__file__}")
    print(f"timing:      median and min of {args.repeats} calls per row after 2 untimed ones, "
          "crafted and ordinary interleaved; gc off during a call\n")
    header = (f"{'call':<20} {'keys':>7} {'ordinary ms':>12} {'min':>8} {'crafted ms':>11} "
              f"{'min':>8} {'crafted/ordinary':>17} {'of mins':>8}")
    print(header)
    print("-" * len(header))
    verdicts = []
    for n in kSizes:
        plain = workloads(ordinary_texts[:n], ordinary_ints[:n])
        bad = workloads(crafted_texts[:n], crafted_ints[:n])
        for (name, *plain_row), (_, *bad_row) in zip(plain, bad):
            # Two untimed calls of each first: they settle the allocator's thresholds for
            # blocks of this size, which otherwise make the first calls map fresh memory.
            for _ in range(2):
                time_call(*plain_row)
                time_call(*bad_row)
            times = {"ordinary": [], "crafted": []}
            for _ in range(args.repeats):
                times["ordinary"].append(time_call(*plain_row))
                times["crafted"].append(time_call(*bad_row))
            p, c = statistics.median(times["ordinary"]), statistics.median(times["crafted"])
            p_min, c_min = min(times["ordinary"]), min(times["crafted"])
            print(f"{name:<20} {n:>7} {p:>12.3f} {p_min:>8.3f} {c:>11.3f} {c_min:>8.3f} "
                  f"{c / p:>16.2f}x {c_min / p_min:>7.2f}x")
            verdicts.append((name, n, c / p))
    print()
    for name, n, ratio in verdicts:
        met = "met   " if ratio <= kTarget else "MISSED"
        print(f"  {met} {name}, {n} keys: crafted within {kTarget:g}x of ordinary: {ratio:.2f}x")


if __name__ == "__main__":
    main()

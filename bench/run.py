#!/usr/bin/env python3
"""Times the module's hot paths beside pure Python, memoized Python, peer ORMs and a no-op
method of the same shape, all in this one process, and prints one table.

    scripts/bench.sh [--quick] [--python PYTHON]       builds everything, then runs this
    PYTHONPATH=BUILD:FLOOR_DIR python3 bench/run.py [--quick] [--native-bench PATH] [--show-sql]

Every row times one call statement with timeit (its loop is inlined and the garbage collector
is off while a repeat runs). The loop count is chosen so that one repeat lasts at least
--min-time seconds; the repeats of the variants of one workload are interleaved, so a drift of
the machine touches them alike. Before timing, each pure-Python variant's result is checked
against the module's.
"""

import argparse
import faulthandler
import math
import os
import platform
import re
import statistics
import subprocess
import sys
import timeit

import _kestrelite_floor
import _kestrelite_rs

import peers
import pure_python

# ---- workload inputs ----------------------------------------------------------------------

kSelectArgs = dict(
    table="users",
    columns=["id", "name"],
    wheres=[("users.age", ">", "18"), ("teams.name", "=", "core")],
    joins=[("inner", "teams", "teams.id = users.team_id")],
    order_by=[("users.name", "desc")],
    limit=10,
    offset=20,
    dialect="postgres",
)
kWriteColumns = ["name", "email", "age", "city", "score"]
kRow = {
    "id": 42, "name": "Alice", "email": "alice@example.com", "age": 31, "score": 4.5,
    "city": "Lyon", "country": "FR", "logins": 1287, "referrer": None, "plan": "pro",
}


def batch_keys():
    """1000 keys, half ints and half strs, of which 500 are distinct, in a fixed mixed order."""
    ints = [10_000 + 7 * (i % 250) for i in range(500)]
    strs = [f"user-{i % 250:04d}" for i in range(500)]
    keys = ints + strs
    # A fixed permutation (multiplication by a unit mod 1000) mixes types and duplicates.
    return [keys[(i * 337) % 1000] for i in range(1000)]


def model_and_table():
    """A 20-column model and the 15 of its columns that the table already has."""
    model = {"id": {"primary_key": True, "data_type": "INTEGER"}}
    for i in range(1, 20):
        attrs = {"data_type": "VARCHAR(100)" if i % 3 else "INTEGER"}
        if i % 4 == 0:
            attrs["nullable"] = False
        model[f"col_{i:02d}"] = attrs
    table = {name: attrs["data_type"] for name, attrs in list(model.items())[:15]}
    return model, table


def normalised_keys(keys):
    """Key list as (integer run, sorted ints, sorted strs): set order is not part of the result."""
    ints = [k for k in keys if type(k) is int]
    strs = [k for k in keys if type(k) is str]
    return keys[: len(ints)] == ints, sorted(ints), sorted(strs), len(keys)


# ---- variants -----------------------------------------------------------------------------


class Variant:
    """One row: a call statement and the names it uses."""

    def __init__(self, label, kind, stmt, namespace, check=None, note=""):
        self.label = label
        self.kind = kind  # module, python, memoized, peer, floor, strwork, strpair, missing
        self.stmt = stmt
        self.namespace = namespace
        self.check = check  # expression read after running stmt once; None: stmt's own value
        self.note = note
        self.loops = 0
        self.samples = []

    def result(self):
        namespace = dict(self.namespace)
        if self.check is None:
            return eval(self.stmt, namespace)
        exec(self.stmt, namespace)
        return eval(self.check, namespace)


class Workload:
    def __init__(self, key, title, variants):
        self.key = key
        self.title = title
        self.variants = variants

    @property
    def module(self):
        return self.variants[0]

    def find(self, kind, label=None):
        return [v for v in self.variants
                if v.kind == kind and v.samples and (label is None or v.label == label)]


# The interpreter's own share of a statement builder's work: the same call, reading the UTF-8
# of every str argument and list item, and making one new str.
kStrWork = "floor + str work (reads every str, makes one str)"
# The same for a select, whose result is a tuple of the text and a list of the values.
kStrPair = "floor + str work + result (one str and the values' list in a tuple)"


def select_stmt(receiver, method, keyword):
    a = kSelectArgs
    if keyword:
        return (f"{receiver}.{method}(table=table, columns=columns, wheres=wheres, joins=joins, "
                f"order_by=order_by, limit={a['limit']}, offset={a['offset']}, "
                f"dialect={a['dialect']!r})")
    return (f"{receiver}.{method}(table, columns, wheres, joins, order_by, {a['limit']}, "
            f"{a['offset']}, {a['dialect']!r})")


def peer_variants(loaded, workload):
    out = []
    for label, version, note, builders, reason in loaded:
        if builders is None:
            out.append(Variant(label, "missing", "", {}, note=reason))
        else:
            out.append(Variant(label, "peer", "build()", {"build": builders[workload]},
                               note=f"{version}, {note}"))
    return out


def build_workloads(loaded_peers):
    m = _kestrelite_rs
    p = pure_python
    floor = _kestrelite_floor.Floor()
    select_ns = {k: kSelectArgs[k] for k in ("table", "columns", "wheres", "joins", "order_by")}
    workloads = []

    for keyword in (False, True):
        style = "keyword" if keyword else "positional"
        variants = [
            Variant("module", "module", select_stmt("q", "compile_select", keyword),
                    dict(select_ns, q=m.QueryCompiler())),
            Variant("pure Python", "python", select_stmt("q", "compile_select", keyword),
                    dict(select_ns, q=p.QueryCompiler())),
        ]
        if not keyword:
            variants += peer_variants(loaded_peers, "select")
        variants.append(Variant("floor (no-op, 8 args)", "floor", select_stmt("f", "noop", keyword),
                                dict(select_ns, f=floor)))
        variants.append(Variant(kStrWork, "strwork", select_stmt("f", "strs", keyword),
                                dict(select_ns, f=floor)))
        variants.append(Variant(kStrPair, "strpair", select_stmt("f", "strs_pair", keyword),
                                dict(select_ns, f=floor)))
        workloads.append(Workload(f"W1-{style[:3]}", f"W1 SELECT, {style}", variants))

    for key, title, stmt, floor_stmt in (
        ("W2", "W2 UPDATE 5 columns", "q.compile_update('users', columns, 'id', 'postgres')",
         "f.noop('users', columns, 'id', 'postgres')"),
        ("W3", "W3 INSERT 5 columns", "q.compile_insert('users', columns, 'postgres')",
         "f.noop('users', columns, 'postgres')"),
    ):
        ns = {"columns": kWriteColumns}
        n_args = floor_stmt.count(",") + 1
        workloads.append(Workload(key, title, [
            Variant("module", "module", stmt, dict(ns, q=m.QueryCompiler())),
            Variant("pure Python", "python", stmt, dict(ns, q=p.QueryCompiler())),
            Variant("memoized Python (lru_cache)", "memoized", stmt,
                    dict(ns, q=p.MemoizedQueryCompiler())),
            *peer_variants(loaded_peers, "update" if key == "W2" else "insert"),
            Variant(f"floor (no-op, {n_args} args)", "floor", floor_stmt, dict(ns, f=floor)),
            Variant(kStrWork, "strwork", floor_stmt.replace("f.noop(", "f.strs("),
                    dict(ns, f=floor)),
        ]))

    row_stmt = ("t.set_initial_state(row); t.set_field('plan', 'team'); "
                "t.set_field('logins', 1288); changes = t.get_dirty_changes(); "
                "t.hydrate_snapshot()")
    row_check = "(changes, t.is_dirty(), t.get_current_dict())"
    floor_row = "f.noop(row); f.noop('plan', 'team'); f.noop('logins', 1288); f.noop0(); f.noop0()"
    workloads.append(Workload("W4", "W4 road of a row (10 fields)", [
        Variant("module", "module", row_stmt, {"row": kRow, "t": m.StateTracker()}, row_check),
        Variant("pure Python", "python", row_stmt, {"row": kRow, "t": p.StateTracker()}, row_check),
        Variant("floor (5 no-op calls)", "floor", floor_row, {"row": kRow, "f": floor}),
    ]))

    keys = batch_keys()
    batch_stmt = "a.clear(); new = a.add_keys_batch(keys); got = a.get_keys()"
    batch_check = "(new, normalised_keys(got))"
    batch_ns = {"keys": keys, "normalised_keys": normalised_keys}
    workloads.append(Workload("W5", "W5 add_keys_batch 1000 + get_keys", [
        Variant("module", "module", batch_stmt, dict(batch_ns, a=m.BatchAggregator()), batch_check),
        Variant("pure Python", "python", batch_stmt, dict(batch_ns, a=p.BatchAggregator()),
                batch_check),
        Variant("floor (3 no-op calls)", "floor", "f.noop0(); f.noop(keys); f.noop0()",
                dict(batch_ns, f=floor)),
    ]))

    model, table = model_and_table()
    diff_ns = {"model": model, "table": table}
    diff_stmt = "e.diff_table('users', model, table, 'postgres')"
    diff_check = "sorted(zip(*" + diff_stmt + "))"
    workloads.append(Workload("W6", "W6 diff_table 20 vs 15 columns", [
        Variant("module", "module", diff_stmt, dict(diff_ns, e=m.SchemaDiffEngine()), diff_check),
        Variant("pure Python, same checks", "python", diff_stmt,
                dict(diff_ns, e=p.CheckedSchemaDiffEngine()), diff_check),
        Variant("pure Python, missing columns only", "python", diff_stmt,
                dict(diff_ns, e=p.SchemaDiffEngine()), diff_check),
        Variant("floor (no-op, 4 args)", "floor", "f.noop('users', model, table, 'postgres')",
                dict(diff_ns, f=floor)),
    ]))
    return workloads


# ---- timing -------------------------------------------------------------------------------


# A call that never returns (a native loop cannot be interrupted from Python) ends the run with
# every thread's traceback instead of hanging it.
kWatchdogSeconds = 120


def watchdog():
    faulthandler.dump_traceback_later(kWatchdogSeconds, exit=True)


def calibrate(variant, min_time):
    """Loop count for which one repeat lasts at least min_time seconds."""
    timer = timeit.Timer(variant.stmt, globals=dict(variant.namespace))
    # Warm-up: first calls fill the peers' caches (Django's first compile costs ~500 calls).
    watchdog()
    warm = 0.0
    for _ in range(3):
        warm += timer.timeit(1)
        if warm > min_time:
            break
    loops = 1
    while True:
        watchdog()
        elapsed = timer.timeit(loops)
        if elapsed >= min_time / 10:
            break
        loops *= 10
    # 20 % over the estimate keeps a repeat above min_time despite noise.
    return max(1, math.ceil(loops * min_time * 1.2 / elapsed))


def run_workload(workload, repeats, min_time):
    timed = [v for v in workload.variants if v.kind != "missing"]
    for variant in timed:
        variant.loops = calibrate(variant, min_time)
    timers = {id(v): timeit.Timer(v.stmt, globals=dict(v.namespace)) for v in timed}
    for _ in range(repeats):
        for variant in timed:
            watchdog()
            elapsed = timers[id(variant)].timeit(variant.loops)
            variant.samples.append(elapsed / variant.loops * 1e9)


def check_results(workloads):
    """Fails when a pure-Python variant disagrees with the module on the benchmark's input, or
    the select's result-shaped floor returns another shape."""
    for workload in workloads:
        watchdog()
        expected = workload.module.result()
        for variant in workload.variants:
            if variant.kind in ("python", "memoized"):
                got = variant.result()
                if got != expected:
                    raise SystemExit(f"{workload.title}: {variant.label} gave {got!r}, "
                                     f"the module {expected!r}")
            elif variant.kind == "strpair":
                # Its text differs; its shape and its list of values are the module's.
                got = variant.result()
                if not (type(got) is tuple and len(got) == 2 and type(got[0]) is str
                        and got[1] == expected[1]):
                    raise SystemExit(f"{workload.title}: {variant.label} gave {got!r}, "
                                     f"the module {expected!r}")


def show_sql(workloads):
    for workload in workloads:
        print(f"-- {workload.title}")
        for variant in workload.variants:
            if variant.kind in ("module", "peer"):
                shown = repr(variant.result())
                if len(shown) > 400:
                    shown = shown[:400] + f"... ({len(shown)} characters)"
                print(f"   {variant.label}: {shown}")
    print()


# ---- native tracker benchmark -----------------------------------------------------------


def time_pure_native(count, repeats):
    """ns per tracker of StateTracker.benchmark_pure_rust(count), one sample per call."""
    return [_kestrelite_rs.StateTracker.benchmark_pure_rust(count) * 1e9 / count
            for _ in range(repeats)]


def run_native_bench(path, count, repeats):
    """The native executable's output and its rows {"ours"/"naive": (median, min)}, if it ran."""
    if not path:
        return None, None, "not built"
    try:
        done = subprocess.run([path, str(count), str(repeats)], capture_output=True, text=True,
                              timeout=600, check=False)
    except OSError as error:
        return None, None, f"could not run: {error}"
    if done.returncode != 0:
        return done.stdout + done.stderr, None, f"exit code {done.returncode}"
    rows = {}
    for line in done.stdout.splitlines():
        match = re.match(r"\s*(field map|unordered_map\S*)\s+([0-9.]+)\s+([0-9.]+)"
                         r"(?:\s+([0-9.]+))?", line)
        if match:
            first = float(match.group(4)) if match.group(4) else None
            rows["ours" if match.group(1) == "field map" else "naive"] = (
                float(match.group(2)), float(match.group(3)), first)
    return done.stdout, rows, None


# ---- report -------------------------------------------------------------------------------


def machine():
    model, cores = "unknown", None
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name") and model == "unknown":
                    model = line.split(":", 1)[1].strip()
                elif line.startswith("cpu cores") and cores is None:
                    cores = line.split(":", 1)[1].strip()
    except OSError:
        pass
    logical = os.cpu_count()
    return f"{model}, {logical} logical CPUs" + (f" ({cores} cores per socket)" if cores else "")


def shown_path(path):
    """A path inside the repository relative to its root, any other path as it is."""
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = os.path.abspath(path)
    return os.path.relpath(path, repo) if path.startswith(repo + os.sep) else path


def fmt_ns(ns):
    if ns >= 100_000:
        return f"{ns:,.0f}"
    return f"{ns:,.1f}"


def print_table(rows):
    header = ("workload", "variant", "ns/op median", "ns/op min", "ratio vs module", "loops")
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    aligns = "<<>>>>"

    def line(r):
        return "  ".join(f"{str(c):{a}{w}}" for c, a, w in zip(r, aligns, widths)).rstrip()

    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))


def table_rows(workloads):
    rows = []
    for workload in workloads:
        base = statistics.median(workload.module.samples)
        for variant in workload.variants:
            label = variant.label + (f" [{variant.note}]" if variant.note else "")
            if not variant.samples:
                rows.append((workload.key, label, "n/a", "n/a", "n/a", ""))
                continue
            median = statistics.median(variant.samples)
            ratio = "1.00x" if variant.kind == "module" else f"{median / base:.2f}x"
            rows.append((workload.key, label, fmt_ns(median), fmt_ns(min(variant.samples)), ratio,
                         f"{variant.loops:,}"))
    return rows


def target_lines(workloads, native_median, native_rows):
    """(verdict, text) per target; a verdict of None means the row could not be measured."""
    by_key = {w.key: w for w in workloads}
    lines = []

    def med(v):
        return statistics.median(v.samples)

    def faster(key, kind, needed, what):
        w = by_key.get(key)
        if w is None:
            return
        for v in w.find(kind) or [None]:
            name = v.label if v else what
            if v is None:
                lines.append((None, f"{key}: module >= {needed:g}x faster than {name}: not measured"))
                continue
            got = med(v) / med(w.module)
            lines.append((got >= needed,
                          f"{key}: module >= {needed:g}x faster than {name}: {got:,.2f}x"))

    def floor(key, limit):
        w = by_key.get(key)
        if w is None:
            return
        v = w.find("floor")[0]
        got = med(w.module) / med(v)
        lines.append((got <= limit, f"{key}: module <= {limit:g}x the floor: {got:.2f}x"))

    for key in ("W1-pos", "W1-key"):
        faster(key, "python", 8, "pure Python")
        floor(key, 6)
    faster("W1-pos", "peer", 500, "each peer")
    for key in ("W2", "W3"):
        faster(key, "python", 10, "pure Python")
        faster(key, "memoized", 1.5, "memoized Python")
        floor(key, 2.5)
        faster(key, "peer", 500, "each peer")
    faster("W4", "python", 4, "pure Python")
    faster("W5", "python", 3, "pure Python")
    faster("W6", "python", 5, "pure Python")
    naive = native_rows.get("naive")
    ours = native_rows.get("ours")
    if naive:
        got = naive[0] / native_median
        lines.append((got >= 3, "benchmark_pure_rust >= 3x faster than the naive C++ tracker "
                                f"(called from Python vs the executable's naive row): {got:.2f}x"))
    if naive and ours:
        got = naive[0] / ours[0]
        lines.append((got >= 3, "benchmark_pure_rust >= 3x faster than the naive C++ tracker "
                                f"(both inside native_tracker_bench, medians): {got:.2f}x"))
        if naive[2] and ours[2]:
            # Every call from Python writes fresh pages; inside the executable only the first
            # repeat of each variant does, and later naive repeats reuse the heap it freed.
            got = naive[2] / ours[2]
            lines.append((got >= 3, "benchmark_pure_rust >= 3x faster than the naive C++ tracker "
                                    f"(both inside native_tracker_bench, first repeats, on fresh "
                                    f"memory): {got:.2f}x"))
    if not naive:
        lines.append((None, "benchmark_pure_rust >= 3x faster than the naive C++ tracker: "
                            "not measured (native_tracker_bench did not run)"))
    return lines


kPeerNames = {"sqlalchemy": "SQLAlchemy", "peewee": "peewee", "django": "Django"}


def profile(key, kind, loops):
    """Runs one row's statement `loops` times after three warm-up runs, and nothing else.
    `kind` is a variant kind, or a peer's name (sqlalchemy, peewee, django)."""
    workloads = build_workloads(peers.load() if kind in kPeerNames else [])
    workload = next(w for w in workloads if w.key == key)
    variant = next(v for v in workload.variants
                   if v.kind == kind or (v.kind == "peer" and kPeerNames.get(kind, "") in v.label))
    timer = timeit.Timer(variant.stmt, globals=dict(variant.namespace))
    timer.timeit(3)
    timer.timeit(int(loops))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="3 repeats of >= 0.05 s and 100000 native trackers")
    parser.add_argument("--repeats", type=int, help="repeats per variant (default 7, quick 3)")
    parser.add_argument("--min-time", type=float,
                        help="seconds per repeat at least (default 0.2, quick 0.05)")
    parser.add_argument("--native-bench", help="path of the native_tracker_bench executable")
    parser.add_argument("--show-sql", action="store_true",
                        help="print what the module and each peer produce, then time")
    parser.add_argument("--only", help="comma-separated workload keys, e.g. W1-pos,W5")
    parser.add_argument("--profile", metavar="KEY:KIND:LOOPS",
                        help="only run one row's statement LOOPS times, untimed, for a profiler "
                             "(KIND: module, python, memoized, floor, strwork, strpair, or a peer: "
                             "sqlalchemy, peewee, django), e.g. W2:module:10000")
    args = parser.parse_args()
    if args.profile:
        profile(*args.profile.split(":"))
        return
    repeats = args.repeats or (3 if args.quick else 7)
    min_time = args.min_time or (0.05 if args.quick else 0.2)
    native_count = 100_000 if args.quick else 1_000_000

    print(f"interpreter: {platform.python_implementation()} {platform.python_version()} "
          f"({sys.executable})")
    print(f"machine:     {machine()}; {platform.system()} {platform.release()} "
          f"{platform.machine()}")
    print(f"module:      {shown_path(_kestrelite_rs.__file__)}")
    print(f"floor:       {shown_path(_kestrelite_floor.__file__)} "
          f"({'vector' if _kestrelite_floor.VECTOR_CALLS else 'tuple-and-dict'} calls)")
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"load:        {load} (1, 5, 15 min) at the start: other work on the machine "
          f"shows as a wide median-to-min gap")
    print(f"timing:      {repeats} repeats of >= {min_time:g} s per row, interleaved; "
          f"gc off while timing")

    loaded = peers.load()
    workloads = build_workloads(loaded)
    if args.only:
        wanted = set(args.only.split(","))
        workloads = [w for w in workloads if w.key in wanted]
    check_results(workloads)
    print("checked:     every pure-Python variant returns what the module returns")
    print()
    if args.show_sql:
        show_sql(workloads)

    for workload in workloads:
        run_workload(workload, repeats, min_time)

    watchdog()
    native = time_pure_native(native_count, repeats)
    faulthandler.cancel_dump_traceback_later()
    native_median = statistics.median(native)
    native_out, native_rows, native_problem = run_native_bench(args.native_bench, native_count,
                                                               repeats)
    naive = (native_rows or {}).get("naive")

    rows = table_rows(workloads)
    rows.append(("W7", f"StateTracker.benchmark_pure_rust({native_count}) [ns per tracker]",
                 fmt_ns(native_median), fmt_ns(min(native)), "1.00x", f"{repeats} calls"))
    ours = (native_rows or {}).get("ours")
    if ours:
        rows.append(("W7", "same field map inside native_tracker_bench [ns per tracker]",
                     fmt_ns(ours[0]), fmt_ns(ours[1]), f"{ours[0] / native_median:.2f}x",
                     f"{repeats} runs"))
    if naive:
        rows.append(("W7", "naive C++ tracker (native_tracker_bench) [ns per tracker]",
                     fmt_ns(naive[0]), fmt_ns(naive[1]), f"{naive[0] / native_median:.2f}x",
                     f"{repeats} runs"))
    else:
        rows.append(("W7", f"naive C++ tracker [{native_problem}]", "n/a", "n/a", "n/a", ""))
    print_table(rows)
    print()
    print("ratio vs module = variant median / module median of the same workload:")
    print("above 1 the module is that many times faster; a floor row's ratio below 1 means the")
    print("module costs 1/ratio times the bare call.")

    if native_out:
        print()
        print(f"native_tracker_bench {native_count} {repeats}:")
        for line in native_out.rstrip().splitlines():
            print(f"  {line}")

    print()
    print("targets:")
    for verdict, text in target_lines(workloads, native_median, native_rows or {}):
        mark = {True: "met   ", False: "MISSED", None: "n/a   "}[verdict]
        print(f"  {mark} {text}")


if __name__ == "__main__":
    main()

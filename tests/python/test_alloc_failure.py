"""Work whose memory cannot be had: MemoryError, and the interpreter goes on.

Each case runs in a child interpreter that limits its own address space to a little more
than it already uses, then asks the module for work that needs far more. The module must
raise MemoryError from its own frame (not crash, not abort, not leave a borrow held), and
the child must go on to print a line that uses the same instance again. Where the
interpreter itself cannot make the result object, the call ends as the internal failure.
"""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the AddressSanitizer runtime ends the process when an allocation fails")

kChild = textwrap.dedent("""
    import collections.abc
    import resource
    import sys

    import _kestrelite_rs as native

    class ManyInts(collections.abc.Sequence):
        def __len__(self):
            return 10**9

        def __getitem__(self, i):
            return i

    class EndlessColumns:
        def __getitem__(self, i):
            raise AssertionError("read through iteration")

        def __len__(self):
            return 0

        def __iter__(self):
            while True:
                yield "c"

    def used_bytes():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        raise AssertionError("no VmSize")

    {setup}
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used_bytes() + {headroom} * 2**20, hard))
    try:
        {work}
    except MemoryError as error:
        # The innermost frame is this one when the module itself ran out.
        origin = "module" if error.__traceback__.tb_next is None else "python"
        print("MemoryError from", origin, flush=True)
    except BaseException as error:
        print(type(error).__name__ + ":", error, flush=True)
    else:
        print("no MemoryError", flush=True)
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print("then", {after}, flush=True)
""")

kCases = {
    "benchmark whose tracker list cannot be reserved": (
        "", 64, "native.StateTracker.benchmark_pure_rust(10**9)",
        "type(native.StateTracker.benchmark_pure_rust(10))", "then <class 'float'>"),
    # The list of 2 * 10**6 trackers fits; the trackers' own maps and texts do not.
    "benchmark that runs out while building trackers": (
        "", 128, "native.StateTracker.benchmark_pure_rust(2 * 10**6)",
        "type(native.StateTracker.benchmark_pure_rust(10))", "then <class 'float'>"),
    "batch of ever more distinct integers": (
        "agg = native.BatchAggregator()", 48, "agg.add_keys_batch(ManyInts())",
        "agg.len() > 10**5, agg.add_key('after'), agg.is_empty()", "then True True False"),
    "insert with a column list too long to hold": (
        "qc = native.QueryCompiler()", 64, "qc.compile_insert('t', EndlessColumns(), 'sqlite')",
        "qc.compile_insert('t', ['a'], 'postgres')",
        "then INSERT INTO t (a) VALUES ($1) RETURNING *"),
    "insert whose statement text is too long to hold": (
        "qc = native.QueryCompiler(); cols = ['c' * 2**20] * 512", 128,
        "qc.compile_insert('t', cols, 'sqlite')", "qc.compile_delete('t', 'id', 'mysql')",
        "then DELETE FROM t WHERE id = %s"),
    "field value too long to copy": (
        "st = native.StateTracker(); st.set_field('a', 1); big = 'x' * (96 * 2**20)", 64,
        "st.set_field('big', big)", "sorted(st.get_current_dict()), st.is_dirty()",
        "then ['a'] False"),
    # The interpreter cannot make the result list: its MemoryError is printed, and the call
    # ends as an internal failure.
    "keys list too long to build": (
        "agg = native.BatchAggregator(); agg.add_keys_batch(range(4 * 10**6))", 16,
        "agg.get_keys()", "agg.len(), agg.add_key_str('after')", "then 4000000 True",
        "PanicException: Python API call failed"),
    # The tracker is emptied before it sizes its map for the new row.
    "row too wide to index": (
        "st = native.StateTracker(); st.set_field('a', 1); "
        "row = dict.fromkeys(map(str, range(10**6)))",
        32, "st.set_initial_state(row)", "st.get_current_dict(), st.dirty_fields()",
        "then {} []"),
}


@pytest.mark.parametrize("case", list(kCases))
def test_work_that_cannot_get_memory_raises_memory_error(case):
    setup, headroom, work, after, expected, *raised = kCases[case]
    script = kChild.format(setup=setup, headroom=headroom, work=work, after=after)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                           timeout=120)
    assert (child.returncode, child.stdout.splitlines()) == (
        0, [*(raised or ["MemoryError from module"]), expected]), child.stderr

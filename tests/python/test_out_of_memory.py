"""The interpreter's allocator fails at one chosen point of a call, for every point.

Each case makes one call again and again; on round n the n-th request to the interpreter's
allocators (the module's strs, lists, dicts and exceptions, and whatever the interpreter
itself asks for on the module's behalf) fails. Every round must end with the right result
or MemoryError (or, when a result object cannot be made, the internal failure), never a
crash or another error, and the instance must still answer its own
queries consistently and give the right result once memory is back.
"""

import sys

import pytest

import _kestrelite_rs as native
import support

testcapi = pytest.importorskip("_testcapi")
if not hasattr(testcapi, "set_nomemory"):
    pytest.skip("this interpreter's _testcapi cannot fail allocations", allow_module_level=True)

# Rounds after the last failing one that must all succeed before a case is done: a request
# whose failure the interpreter absorbs (a cache it does without) makes one round succeed.
kCleanRounds = 8
kMaxRounds = 3000


def call_failing_at(n, method, args, kwargs):
    """Calls method with allocation n failing; returns ("ok", result) or ("raised", error).
    `args` may be a function that makes them anew, before the failure is set."""
    if callable(args):
        args = args()
    testcapi.set_nomemory(n, n + 1)
    try:
        result = method(*args, **kwargs)
    except BaseException as error:  # noqa: B902 - the kind is what is checked
        testcapi.remove_mem_hooks()
        return "raised", error
    testcapi.remove_mem_hooks()
    return "ok", result


def is_out_of_memory(error):
    """MemoryError, or the internal failure a result the interpreter cannot make ends in
    (the interpreter's own error is printed to stderr first)."""
    if isinstance(error, MemoryError):
        return True
    return type(error).__name__ == "PanicException" and str(error) == "Python API call failed"


def tracker_with_row():
    tracker = native.StateTracker()
    tracker.set_initial_state({"id": 7, "name": "ada" * 10, "score": 1.5, "note": None})
    tracker.set_field("name", "grace" * 10)
    return tracker


def tracker_with_many_changes():
    tracker = native.StateTracker()
    tracker.set_initial_state({f"field_{i}": i for i in range(12)})
    for i in range(12):
        tracker.set_field(f"field_{i}", -i - 1)
    return tracker


def check_tracker(tracker):
    changes = tracker.get_dirty_changes()
    assert tracker.dirty_fields() == list(changes)
    assert tracker.is_dirty() == bool(changes)
    current = tracker.get_current_dict()
    assert all(tracker.get_field(name) == value for name, value in current.items())


def aggregator_with_keys():
    aggregator = native.BatchAggregator()
    aggregator.add_keys_batch([1, "a" * 20, 2**62, "ž" * 9])
    return aggregator


def check_aggregator(aggregator):
    keys = aggregator.get_keys()
    assert aggregator.len() == len(keys) == len(set(keys))
    assert aggregator.is_empty() == (not keys)


kModel = {
    "id": {"type": "INTEGER", "primary_key": True},
    "name": {"type": "VARCHAR(80)", "nullable": False},
    "email": {"type": "TEXT", "unique": True, "default": "''"},
    "żółw": {"type": "TEXT"},
}
kDatabase = {"id": "INTEGER", "name": "VARCHAR(80)", "legacy": "TEXT"}

# Claims to be numpy's boolean scalar, so that the bool conversion calls its __bool__.
NumpyFalse = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})


def attribute_model():
    """A model whose attributes allocate as they are converted: a type text whose UTF-8 form
    is made (and cached) at its first read, hence made anew for every call, and flags that
    take a call of __bool__."""
    return ("users", {
        "id": {"data_type": "INTEGER", "primary_key": True},
        "name": {"data_type": "".join(("VARCHAR(", "żółw", ")")), "nullable": NumpyFalse()},
        "flag": {"nullable": False, "primary_key": NumpyFalse()},
    }, {"id": "INTEGER"}, "postgres")

# name: (make the receiver, method name, args, kwargs, check the receiver afterwards)
kCases = {
    "compile_select": (native.QueryCompiler, "compile_select",
                       ("users", ["id", "name"], [("age", ">", "x" * 20), ("ok", "=", "y")],
                        [("left", "orders o", "o.uid = users.id"), ("ǉeft", "t", "c")],
                        [("name", "desc"), ("id", "ǆesc")], 10, 20, "postgres"), {}, None),
    "compile_select keywords": (native.QueryCompiler, "compile_select",
                                ("users", ["id"], [("a", "=", "b")], [], []),
                                {"limit": 5, "dialect": "mysql"}, None),
    "compile_insert": (native.QueryCompiler, "compile_insert",
                       ("users", ("a", "b", "ċ" * 3), "postgres"), {}, None),
    "compile_update": (native.QueryCompiler, "compile_update",
                       ("users", ["a", "b"], "id"), {"dialect": "sqlite"}, None),
    "compile_delete": (native.QueryCompiler, "compile_delete", ("users", "id", "mysql"), {},
                       None),
    "get_placeholder": (native.QueryCompiler, "get_placeholder", ("postgres", 12), {}, None),
    "compile_insert bad column": (native.QueryCompiler, "compile_insert",
                                  ("users", ["a", 3], "postgres"), {}, None),
    "set_initial_state": (native.StateTracker, "set_initial_state",
                          ({"id": 1, "name": "n" * 30, "f": 2.5, "z": None},), {},
                          check_tracker),
    "set_field": (tracker_with_row, "set_field", ("score", 9.5), {}, check_tracker),
    "set_field new": (tracker_with_row, "set_field", ("extra" * 5, [1]), {}, check_tracker),
    "get_dirty_changes": (tracker_with_row, "get_dirty_changes", (), {}, check_tracker),
    "get_dirty_changes many": (tracker_with_many_changes, "get_dirty_changes", (), {},
                               check_tracker),
    "dirty_fields": (tracker_with_row, "dirty_fields", (), {}, check_tracker),
    "get_current_dict": (tracker_with_row, "get_current_dict", (), {}, check_tracker),
    "get_current_dict many": (tracker_with_many_changes, "get_current_dict", (), {},
                              check_tracker),
    "hydrate_snapshot": (tracker_with_row, "hydrate_snapshot", (), {}, check_tracker),
    "get_field missing": (tracker_with_row, "get_field", ("nope" * 5,), {}, check_tracker),
    "benchmark_pure_rust": (lambda: native.StateTracker, "benchmark_pure_rust", (10,), {},
                            None),
    "add_keys_batch": (aggregator_with_keys, "add_keys_batch",
                       ([3, "b" * 20, 3, True, "a" * 20, -(2**63)],), {}, check_aggregator),
    "add_keys_batch bad key": (aggregator_with_keys, "add_keys_batch", ([4, 2.5],), {},
                               check_aggregator),
    "add_key str": (aggregator_with_keys, "add_key", ("k" * 30,), {}, check_aggregator),
    "add_key_int": (aggregator_with_keys, "add_key_int", (2**40,), {}, check_aggregator),
    "add_key_int too big": (aggregator_with_keys, "add_key_int", (2**64,), {},
                            check_aggregator),
    "get_keys": (aggregator_with_keys, "get_keys", (), {}, check_aggregator),
    "diff_table": (native.SchemaDiffEngine, "diff_table",
                   ("users", kModel, kDatabase, "postgres"), {}, None),
    "diff_table attributes": (native.SchemaDiffEngine, "diff_table", attribute_model, {},
                              None),
    "diff_table bad model": (native.SchemaDiffEngine, "diff_table",
                             ("users", {"id": {"type": 5}}, {}, "sqlite"), {}, None),
}


def outcome(kind, value):
    """What a call gave, comparable between rounds: an error by its type and text, a float
    (a timing) by its type."""
    if kind == "raised":
        return kind, type(value), str(value)
    if isinstance(value, float):
        return kind, float
    return kind, value


def same_outcome(got, expected):
    """Equal, or the same error whose text could not be made in full without memory: the
    interpreter drops a message it cannot allocate, and a type name that cannot be read is
    shown as such."""
    if got == expected:
        return True
    return (got[0] == expected[0] == "raised" and got[1] is expected[1]
            and (got[2] == "" or "<failed to extract type name>" in got[2]))


# Calls that make no Python object of their own on success, or that absorb a failed one by
# design (a value's text that cannot be made is reported to the unraisable hook and left
# out), so that no round needs to end in MemoryError.
kMayAbsorbEveryFailure = {
    "set_initial_state", "set_field", "set_field new", "hydrate_snapshot",
    "get_field missing", "add_keys_batch", "add_keys_batch bad key", "add_key str",
    "add_key_int", "add_key_int too big", "benchmark_pure_rust",
}


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("case", list(kCases))
def test_each_failing_allocation_gives_memory_error_or_the_result(case):
    make, name, args, kwargs, check = kCases[case]
    expected = outcome(*call_failing_at(10**9, getattr(make(), name), args, kwargs))
    failures = 0
    clean = 0
    n = 0
    while clean < kCleanRounds:
        assert n < kMaxRounds, "the call never stopped allocating"
        receiver = make()
        method = getattr(receiver, name)
        kind, value = call_failing_at(n, method, args, kwargs)
        if kind == "raised" and is_out_of_memory(value):
            failures += 1
            clean = 0
        else:
            assert same_outcome(outcome(kind, value), expected), f"allocation {n}"
            clean += 1
        if check is not None:
            check(receiver)
        # Memory is back: the same receiver does the work again (adding keys answers
        # differently the second time).
        if not name.startswith("add_key"):
            assert outcome(*call_failing_at(10**9, method, args, kwargs)) == expected
        n += 1
    assert failures > 0 or case in kMayAbsorbEveryFailure, "no allocation was made to fail"


# CPython 3.13.0 makes a method descriptor without a name when interning the name fails,
# and then crashes putting it into the new type's dict (inside PyType_FromSpec).
@pytest.mark.skipif(sys.version_info[:3] == (3, 13, 0),
                    reason="CPython 3.13.0 crashes making a type when a method name cannot be "
                           "interned")
def test_an_import_that_runs_out_of_memory_fails_cleanly_and_can_be_tried_again(mod):
    # A fresh interpreter loads the module again and again, with one allocation failing each
    # time, until a load succeeds; that module must then work.
    out = support.run_python(mod, """
        import importlib.util, _testcapi
        spec = importlib.util.find_spec("_kestrelite_rs")
        failed = 0
        for n in range(100000):
            _testcapi.set_nomemory(n, n + 1)
            try:
                module = spec.loader.create_module(spec)
            except MemoryError:
                failed += 1
                continue
            except RuntimeError as error:
                # A class that cannot be made names itself, its cause the MemoryError, or
                # the SystemError for a type the interpreter failed to make without saying
                # why (3.11 and later do so at one of their allocations).
                cause = error.__cause__
                if not (str(error).startswith("An error occurred while initializing class ")
                        and (isinstance(cause, MemoryError) or str(cause) ==
                             "attempted to fetch exception but none was set")):
                    raise
                failed += 1
                continue
            finally:
                _testcapi.remove_mem_hooks()
            break
        print(failed > 0, sorted(module.__all__))
        print(module.QueryCompiler().compile_delete("t", "id", "postgres"))
        print(module.BatchAggregator().add_keys_batch([1, "a", 1]))
    """)
    assert out.splitlines() == [
        "True ['BatchAggregator', 'QueryCompiler', 'SchemaDiffEngine', 'StateTracker']",
        "DELETE FROM t WHERE id = $1",
        "2",
    ]

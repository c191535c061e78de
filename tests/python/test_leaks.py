"""Reference and native-heap leaks: every method, on its success and failure paths.

Each case runs one call many times in rounds; the interpreter's allocated blocks (or the
bytes tracemalloc sees, when the interpreter allocates with plain malloc) and the C heap's
bytes in use are read after a collection between rounds. A case leaks when every round
grew by a fair share of a block or a chunk per call: a missing decref shows about one block
per call, a lost native buffer some tens of bytes per call, while a clean path stays flat
once its free lists are full.
"""

import array
import contextlib
import ctypes
import gc
import os
import sys
import tracemalloc

import pytest

import _kestrelite_rs as native
import hostile

kCalls = 400
kRounds = 4
# What every round must have grown by, per call, to count as a leak. A lost reference costs
# a block (at least 16 bytes) per call; a lost native buffer at least glibc's smallest chunk,
# 32 bytes. Free lists and caches that fill up slowly stay well below these.
kBlocksPerCall = 0.25
kTracedBytesPerCall = 8
kNativeBytesPerCall = 16


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def native_heap_reader():
    """Bytes in use on the C heap, or None where glibc's counters do not apply (a sanitizer
    runtime replaces malloc)."""
    libc = ctypes.CDLL(None)
    if "libasan" in os.environ.get("LD_PRELOAD", "") or not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = MallInfo2
    return lambda: libc.mallinfo2().uordblks + libc.mallinfo2().hblkhd


def sanitizer_bytes_reader():
    """Bytes the AddressSanitizer runtime has handed out and not had back, when it is loaded.
    (It replaces malloc, so the interpreter's block count reads 0.)"""
    try:
        reader = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except AttributeError:
        return None
    reader.restype = ctypes.c_size_t
    return reader


class Meter:
    """Reads the interpreter's allocations and the C heap between rounds of calls. The first
    count is the interpreter's blocks; under a sanitizer runtime it is every byte allocated;
    under PYTHONMALLOC=malloc without one, the bytes tracemalloc traces."""

    def __init__(self):
        self.blocks = sys.getallocatedblocks() > 0
        self.sanitizer = None if self.blocks else sanitizer_bytes_reader()
        self.native = native_heap_reader()

    def read(self, into, at):
        """Stores the two readings into an array, which keeps no objects alive."""
        gc.collect()
        if self.blocks:
            into[at] = sys.getallocatedblocks()
        elif self.sanitizer:
            into[at] = self.sanitizer()
        else:
            into[at] = tracemalloc.get_traced_memory()[0]
        into[at + 1] = self.native() if self.native else 0

    def growth(self, call, calls=kCalls, rounds=kRounds):
        """Per round, (python growth, native growth), after warming up."""
        started = not self.blocks and not self.sanitizer and not tracemalloc.is_tracing()
        if started:
            tracemalloc.start()
        readings = array.array("q", [0] * (2 * rounds + 2))
        loop = range(calls)
        # Counting bytes, caches take a few thousand calls to fill; blocks settle at once.
        warm_up = 1 if self.blocks else 6
        # Collections between rounds then walk only what the calls made, however large the
        # heap that earlier tests left behind.
        gc.collect()
        gc.freeze()
        try:
            for _ in range(warm_up * calls):
                call()
            self.read(readings, 0)
            for r in range(1, rounds + 1):
                for _ in loop:
                    call()
                self.read(readings, 2 * r)
        finally:
            gc.unfreeze()
            if started:
                tracemalloc.stop()
        return [(readings[2 * r] - readings[2 * r - 2], readings[2 * r + 1] - readings[2 * r - 1])
                for r in range(1, rounds + 1)]


def leaked(growth, meter, calls=kCalls):
    """True when every round grew, on either count, by more than a slow cache would."""
    per_call = kBlocksPerCall if meter.blocks else kTracedBytesPerCall
    python = all(p > per_call * calls for p, _ in growth)
    heap = all(n > kNativeBytesPerCall * calls for _, n in growth)
    return python or heap


@contextlib.contextmanager
def quiet():
    """Ignores unraisable exceptions and the notices written to the standard error stream
    (a nested panic writes one per call)."""
    previous = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
        sys.unraisablehook = previous


# ---- the cases -------------------------------------------------------------------------------


class Grows:
    """str() adds a key to the dict being walked."""

    def __init__(self, d):
        self.d = d

    def __str__(self):
        self.d["grown"] = 0
        return "grows"


class StrRaises:
    def __str__(self):
        raise ValueError("no text")


class Surrogate:
    def __str__(self):
        return "a\udcffb"


class Reads:
    """str() calls a reading method of the tracker or aggregator it was given."""

    def __init__(self, target, method):
        self.target, self.method = target, method

    def __str__(self):
        getattr(self.target, self.method)()
        return "read"


class IndexWithCause:
    def __index__(self):
        raise TypeError("index refused") from KeyError("cause")


class IndexPanics:
    def __index__(self):
        native.StateTracker.benchmark_pure_rust(hostile.kOverflowingCount)


def seq_failing_at(items, at):
    return hostile.HostileSequence(items, item_action=hostile.Action("raise", LookupError), at=at)


def collide_raising(twin):
    return hostile.CollidingKey(hostile.Action("raise", hostile.HostileError), twin)


def tracker_with(data):
    t = native.StateTracker()
    t.set_initial_state(data)
    return t


def expect(exc, fn, *args, **kwargs):
    """A call that must raise `exc` (checked on the first call) and is otherwise swallowed."""

    def call():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn!r} did not raise {exc.__name__}")

    return call


def ok(fn, *args, **kwargs):
    return lambda: fn(*args, **kwargs)


def tracker_cases():
    # Names and values of more than one character and beyond the small ints: the interpreter
    # keeps single ones of those, so a lost reference to one would cost nothing to count.
    dirty = tracker_with({"alpha": 1001, "beta": "x", "gamma": [1, 2]})
    dirty.set_field("alpha", 1002)
    pool = [10**20, "y" * 40, (1, 2), None]
    clock = iter(range(10**9))
    held = native.StateTracker()
    return {
        "set_initial_state": ok(native.StateTracker().set_initial_state,
                                {"alpha": 1001, "beta": "x" * 40, "gamma": [1], "delta": None}),
        "set_initial_state replacing held values": lambda: held.set_initial_state(
            {"alpha": [next(clock)], "beta": str(next(clock)) * 9}),
        "set_initial_state of a dict subclass": ok(
            native.StateTracker().set_initial_state, hostile.SneakyDict(a=1, b=2)),
        "set_initial_state not a dict": expect(TypeError, native.StateTracker().set_initial_state,
                                               [("a", 1)]),
        "set_initial_state key not str mid-walk": expect(
            TypeError, native.StateTracker().set_initial_state, {"alpha": 1001, 2: "beta"}),
        "set_initial_state key not UTF-8": expect(
            UnicodeEncodeError, native.StateTracker().set_initial_state, {"alpha": 1001, "\ud800": 2}),
        "set_initial_state dict grows mid-walk": lambda: _panics(
            lambda: native.StateTracker().set_initial_state(_growing())),
        "set_initial_state value str() raises": ok(native.StateTracker().set_initial_state,
                                                   {"alpha": StrRaises(), "beta": Surrogate()}),
        "set_initial_state value str() re-enters": _reenters_tracker,
        "set_field new field": lambda: native.StateTracker().set_field("x" * 30, pool[1]),
        "set_field existing field": lambda: dirty.set_field("beta", pool[next(clock) % 4]),
        "set_field field not str": expect(TypeError, dirty.set_field, 5, 1),
        "set_field value str() raises": ok(dirty.set_field, "gamma", StrRaises()),
        "set_field surrogate text": ok(dirty.set_field, "gamma", Surrogate()),
        "get_field present": ok(dirty.get_field, "alpha"),
        "get_field absent": ok(dirty.get_field, "zzz"),
        "get_field not str": expect(TypeError, dirty.get_field, None),
        "is_dirty": ok(dirty.is_dirty),
        "dirty_fields": ok(dirty.dirty_fields),
        "get_dirty_changes": ok(dirty.get_dirty_changes),
        "get_current_dict": ok(dirty.get_current_dict),
        "hydrate_snapshot": ok(tracker_with({"alpha": "x" * 30}).hydrate_snapshot),
        "no-argument method given one": expect(TypeError, dirty.is_dirty, 1),
        "new with an argument": expect(TypeError, native.StateTracker, 1),
        "benchmark": ok(native.StateTracker.benchmark_pure_rust, 3),
        "benchmark negative count": expect(OverflowError, native.StateTracker.benchmark_pure_rust,
                                           -1),
        "benchmark float count": expect(TypeError, native.StateTracker.benchmark_pure_rust, 1.5),
        "benchmark __index__ raising with a cause": expect(
            TypeError, native.StateTracker.benchmark_pure_rust, IndexWithCause()),
        "benchmark capacity overflow": lambda: _panics(
            lambda: native.StateTracker.benchmark_pure_rust(hostile.kOverflowingCount)),
        "benchmark nested panic": lambda: _panics(
            lambda: native.StateTracker.benchmark_pure_rust(IndexPanics())),
    }


def _growing():
    d = {"a": 1}
    d["b"] = Grows(d)
    return d


def _panics(call):
    try:
        call()
    except hostile.PanicException:
        return
    raise AssertionError("no panic")


def _reenters_tracker():
    tracker = native.StateTracker()
    tracker.set_initial_state({"a": Reads(tracker, "get_current_dict")})
    # The tracker takes no part in garbage collection: break the cycle through its value.
    tracker.set_initial_state({})


def compiler_cases():
    qc = native.QueryCompiler()
    columns = ["name", "email", "x" * 30]
    custom = hostile.HostileSequence(columns)
    wheres = [("age", ">", "18"), ("name", "=", hostile.SneakyStr("bob" * 10))]
    joins = [("left", "orders o", "o.user_id = users.id"), ("ǉeft", "t", "c")]
    order = [("name", "desc"), ("id", "ǆesc")]
    return {
        "get_placeholder": ok(qc.get_placeholder, "postgres", 12),
        "get_placeholder by keyword": ok(qc.get_placeholder, index=3, dialect="MySQL"),
        "get_placeholder negative index": expect(OverflowError, qc.get_placeholder, "sqlite", -1),
        "get_placeholder surrogate dialect": expect(UnicodeEncodeError, qc.get_placeholder,
                                                    "\ud800", 1),
        "compile_insert": ok(qc.compile_insert, "users", columns, "postgres"),
        "compile_insert custom sequence": ok(qc.compile_insert, "users", custom, "sqlite"),
        "compile_insert str columns": expect(TypeError, qc.compile_insert, "t", "abc", "sqlite"),
        "compile_insert set columns": expect(TypeError, qc.compile_insert, "t", {"a"}, "sqlite"),
        "compile_insert bad item after good ones": expect(TypeError, qc.compile_insert, "t",
                                                          ["a", "b" * 30, 3], "sqlite"),
        "compile_insert failing iteration": expect(LookupError, qc.compile_insert, "t",
                                                   seq_failing_at(["a", "b" * 20], 1), "sqlite"),
        "compile_update": ok(qc.compile_update, "users", columns, "id", "postgres"),
        "compile_update dialect None": expect(TypeError, qc.compile_update, "t", [], "id", None),
        "compile_delete": ok(qc.compile_delete, "users", "id", "mysql"),
        "compile_delete too many arguments": expect(TypeError, qc.compile_delete, "t", "id", "x",
                                                    "y"),
        "compile_delete unknown keyword": expect(TypeError, qc.compile_delete, "t", "id",
                                                 "x", bogus=1),
        "compile_delete given twice": expect(TypeError, qc.compile_delete, "t", "id", table="x"),
        "compile_delete missing arguments": expect(TypeError, qc.compile_delete, "t"),
        "compile_select": ok(qc.compile_select, "users", columns, wheres, joins, order, 10, 20,
                             "postgres"),
        "compile_select defaults": ok(qc.compile_select, "users", [], [], [], []),
        "compile_select named tuples": ok(qc.compile_select, "u", [],
                                          [hostile.kRowTypes[3]("a", "=", "1")], [],
                                          [hostile.kRowTypes[2]("a", "asc")]),
        "compile_select short tuple": expect(ValueError, qc.compile_select, "u", [],
                                             [("a", "=")], [], []),
        "compile_select list for tuple": expect(TypeError, qc.compile_select, "u", [],
                                                [["a", "=", "1"]], [], []),
        "compile_select int value": expect(TypeError, qc.compile_select, "u", [],
                                           [("a", "=", 1)], [], []),
        "compile_select negative limit": expect(OverflowError, qc.compile_select, "u", [], [],
                                                [], [], -1),
        "new with a keyword": expect(TypeError, native.QueryCompiler, k=1),
    }


def aggregator_cases():
    agg = native.BatchAggregator()
    agg.add_keys_batch([1001, 1002, "alpha", "b" * 30])
    reentrant = native.BatchAggregator()
    failing = seq_failing_at([7, "k" * 20, 9], 2)
    len_raises = hostile.HostileSequence([], len_action=hostile.Action("raise", KeyError))
    class_raises = hostile.ClassRaises(hostile.Action("raise", KeyError))

    return {
        "add_key_int": ok(agg.add_key_int, 1001),
        "add_key_int overflow": expect(OverflowError, agg.add_key_int, 2**63),
        "add_key_int str": expect(TypeError, agg.add_key_int, "5"),
        "add_key_int __index__ with a cause": expect(TypeError, agg.add_key_int,
                                                     IndexWithCause()),
        "add_key_str": ok(agg.add_key_str, "b" * 30),
        "add_key_str int": expect(TypeError, agg.add_key_str, 5),
        "add_key_str surrogate": expect(UnicodeEncodeError, agg.add_key_str, "\ud800"),
        "add_key int": ok(agg.add_key, 1002),
        "add_key big int": ok(agg.add_key, 2**64),
        "add_key str": ok(agg.add_key, "alpha"),
        "add_key float": ok(agg.add_key, 1.5),
        "add_key surrogate": ok(agg.add_key, "x\ud800"),
        "add_key str() raises": ok(agg.add_key, StrRaises()),
        "add_key __index__ raises": ok(agg.add_key, IndexWithCause()),
        "add_key str() re-enters": ok(reentrant.add_key, Reads(reentrant, "len")),
        "add_keys_batch list": ok(agg.add_keys_batch, [1001, "alpha", None, 2**64, 1.5]),
        "add_keys_batch str": ok(agg.add_keys_batch, "abc"),
        "add_keys_batch bytes": ok(agg.add_keys_batch, b"ab"),
        "add_keys_batch range": ok(agg.add_keys_batch, range(5)),
        "add_keys_batch custom sequence": ok(agg.add_keys_batch,
                                             hostile.HostileSequence([3, "q" * 30])),
        "add_keys_batch item fails mid-batch": expect(LookupError, agg.add_keys_batch, failing),
        "add_keys_batch len() raises": expect(KeyError, agg.add_keys_batch, len_raises),
        "add_keys_batch set": expect(TypeError, agg.add_keys_batch, {1, 2}),
        "add_keys_batch class check raises": expect(TypeError, agg.add_keys_batch, class_raises),
        "get_keys": ok(agg.get_keys),
        "len": ok(agg.len),
        "is_empty": ok(agg.is_empty),
        "clear": lambda: (agg.add_key("c" * 30), agg.clear()),
        "new and drop with keys": lambda: native.BatchAggregator().add_keys_batch([1, "s" * 40]),
    }


def diff_cases():
    engine = native.SchemaDiffEngine()
    model = {"id": {"primary_key": True}, "name": {"data_type": "VARCHAR(100)",
                                                   "nullable": False}, "note": {}}
    numpy_true = hostile.NumpyLikeBool(hostile.Action("return", True))
    numpy_raises = hostile.NumpyLikeBool(hostile.Action("raise", ValueError))

    def growing_model():
        d = {"a": {}}
        d["b"] = {hostile.CollidingKey(hostile.Action("mutate", False, target=d, how="grow"),
                                       "data_type"): 1, "data_type": "INT"}
        return d

    return {
        "diff_table create": ok(engine.diff_table, "users", model, {}, "postgres"),
        "diff_table alter": ok(engine.diff_table, "users", model, {"id": "INTEGER"}, "mysql"),
        "diff_table nothing to do": ok(engine.diff_table, "u", {"id": {}}, {"id": "INT"}, "x"),
        "diff_table numpy-like booleans": ok(
            engine.diff_table, "u", {"a": {"nullable": numpy_true, "primary_key": numpy_raises}},
            {}, "sqlite"),
        "diff_table model not a dict": expect(TypeError, engine.diff_table, "u", [], {}, "x"),
        "diff_table model value not a dict": expect(TypeError, engine.diff_table, "u",
                                                    {"a": {}, "b": []}, {}, "x"),
        "diff_table db value not str": expect(TypeError, engine.diff_table, "u", {"a": {}},
                                              {"b": "INT", "c": None}, "x"),
        "diff_table lookup raises": expect(
            hostile.HostileError, engine.diff_table, "u",
            {"a": {collide_raising("nullable"): 1, "nullable": True}}, {}, "x"),
        "diff_table model grows mid-walk": lambda: _panics(
            lambda: engine.diff_table("u", growing_model(), {}, "x")),
        "diff_table missing arguments": expect(TypeError, engine.diff_table),
    }


kCases = {}
for prefix, factory in [("StateTracker", tracker_cases), ("QueryCompiler", compiler_cases),
                        ("BatchAggregator", aggregator_cases),
                        ("SchemaDiffEngine", diff_cases)]:
    kCases.update({f"{prefix}.{name}": (factory, name) for name in factory()})


@pytest.fixture(scope="module")
def meter():
    return Meter()


@pytest.mark.parametrize("case", list(kCases))
def test_repeated_calls_leave_nothing_behind(case, meter):
    factory, name = kCases[case]
    call = factory()[name]
    with quiet(), hostile.armed():
        growth = meter.growth(call)
    assert not leaked(growth, meter), growth


def test_the_meter_sees_one_lost_object_per_call(meter):
    kept = []
    growth = meter.growth(lambda: kept.append(object()))
    assert leaked(growth, meter), growth


def test_the_meter_sees_a_lost_native_buffer_per_call(meter):
    if meter.native is None:
        pytest.skip("the C heap's counters are not glibc's here")
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    kept = []
    growth = meter.growth(lambda: kept.append(libc.malloc(40)))
    for p in kept:
        libc.free(ctypes.c_void_p(p))
    assert leaked(growth, meter), growth

"""Many threads sharing instances, with the interpreter switching threads as often as it can.

Two groups run at once. Plain threads share instances that no callback ever touches, and
run no Python code inside a call that holds one of them exclusively: they must never see an
exception (Python code inside shared calls, which the stateless classes take, is fine). Callback threads share instances whose values call back into
them from str() or operator.index(): each callback must meet the refusal its own call
earns, and a plain call from such a thread may meet a refusal too, since another thread's
call can hold the instance while its callback lets the interpreter switch. Both groups end
in a state equal to a model of what every thread did.
"""

import collections.abc
import gc
import os
import sys
import threading
import time

import pytest

import _kestrelite_rs as native

# Fewer rounds under the sanitizers, where every call is several times slower.
kRounds = 100 if os.environ.get("KESTRELITE_HYPOTHESIS_PROFILE") == "sanitize" else 400
kJoinSeconds = 60
kRefusals = {"Already borrowed", "Already mutably borrowed"}


@pytest.fixture
def rapid_switching():
    """Switches threads as often as the interpreter can. Garbage collection is off meanwhile:
    a collection inside a plain call could run a finaliser, which is Python code that may
    switch threads while the call holds its instance."""
    previous = sys.getswitchinterval()
    collecting = gc.isenabled()
    sys.setswitchinterval(1e-6)
    gc.disable()
    try:
        yield
    finally:
        sys.setswitchinterval(previous)
        if collecting:
            gc.enable()


class Crew:
    """Runs workers in threads and keeps whatever they raised."""

    def __init__(self):
        self.threads = []
        self.errors = []
        self.start_line = threading.Event()

    def add(self, name, work, *args):
        def run():
            self.start_line.wait()
            try:
                work(*args)
            except BaseException as error:  # noqa: B036 - reported by the test
                self.errors.append((name, error))

        self.threads.append(threading.Thread(target=run, name=name, daemon=True))

    def run(self, stop):
        """Starts every thread at once; sets `stop` for the readers when the others ended."""
        for t in self.threads:
            t.start()
        self.start_line.set()
        deadline = time.monotonic() + kJoinSeconds
        readers = [t for t in self.threads if "reader" in t.name]
        for t in [t for t in self.threads if t not in readers] + [None] + readers:
            if t is None:
                stop.set()
            else:
                t.join(max(0.0, deadline - time.monotonic()))
        stuck = [t.name for t in self.threads if t.is_alive()]
        assert stuck == [], f"threads still running after {kJoinSeconds} s: {stuck}"
        assert self.errors == []


# ---- Python code that runs in the middle of a call ---------------------------------------------


class SlowColumns(collections.abc.Sequence):
    """A sequence whose item access and iteration run Python code, so a switch can happen
    in the middle of the call that reads it."""

    def __init__(self, names):
        self.names = names

    def __len__(self):
        return len(self.names)

    def __getitem__(self, i):
        time.sleep(0)
        return self.names[i]

    def __iter__(self):
        for name in self.names:
            time.sleep(0)
            yield name


class SlowIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class SlowKey:
    """An attribute-dict key hashing like "nullable", so each lookup of it runs __eq__."""

    def __hash__(self):
        return hash("nullable")

    def __eq__(self, other):
        time.sleep(0)
        return False


class Reentrant:
    """str() and operator.index() call `target.<method>()` and keep the refusal they meet;
    they answer with `text` and `key`."""

    def __init__(self, target, method, args, text, key, seen):
        self.target, self.method, self.args = target, method, args
        self.text, self.key, self.seen = text, key, seen

    def _call_back(self):
        time.sleep(0)
        try:
            getattr(self.target, self.method)(*self.args)
        except RuntimeError as error:
            self.seen.append((self.method, str(error)))
        else:
            self.seen.append((self.method, None))

    def __str__(self):
        self._call_back()
        return self.text

    def __index__(self):
        self._call_back()
        return self.key


def retry_refused(call, refusals):
    """Makes `call` until it is not refused; counts the refusals met from other threads."""
    while True:
        try:
            return call()
        except RuntimeError as error:
            assert str(error) in kRefusals, error
            refusals.append(str(error))
            time.sleep(0)


# ---- the plain group ---------------------------------------------------------------------------


def tracker_writer(tracker, k, model):
    for i in range(kRounds):
        name = f"p{k}_{i % 4}"
        value = (k, i % 4, i)
        tracker.set_field(name, value)
        model.setdefault(name, []).append(value)
        got = tracker.get_field(name)
        assert got is value


def tracker_reader(tracker, stop):
    while not stop.is_set():
        dirty = tracker.dirty_fields()
        current = tracker.get_current_dict()
        assert set(dirty) <= set(current)
        for name, value in current.items():
            k, j = (int(part) for part in name[1:].split("_"))
            assert value[:2] == (k, j)
        changes = tracker.get_dirty_changes()
        assert all(changes[name][:2] == tuple(int(p) for p in name[1:].split("_"))
                   for name in changes)


def aggregator_adder(agg, k, model):
    base = k * 10**6
    for i in range(kRounds):
        key = base + i
        how = i % 4
        if how == 0:
            agg.add_key(key)
        elif how == 1:
            assert agg.add_key_int(key) is True
        elif how == 2:
            agg.add_key_str(f"s{key}")
            key = f"s{key}"
        else:
            assert agg.add_keys_batch([key, f"s{key}", key]) == 2
            model.add(f"s{key}")
        model.add(key)


def aggregator_reader(agg, stop):
    last = 0
    while not stop.is_set():
        n = agg.len()
        assert n >= last
        last = n
        keys = agg.get_keys()
        assert len(keys) == len(set(keys)) >= n
        ints = [key for key in keys if type(key) is int]
        assert keys[:len(ints)] == ints


def compiler_user(qc, k):
    for i in range(kRounds):
        names = [f"c{k}_{i}", "b", f"x{i}"]
        assert qc.compile_insert(f"t{k}", SlowColumns(names), "postgres") == (
            f"INSERT INTO t{k} (c{k}_{i}, b, x{i}) VALUES ($1, $2, $3) RETURNING *")
        assert qc.compile_update(f"t{k}", SlowColumns(names), "id", "mysql") == (
            f"UPDATE t{k} SET c{k}_{i} = %s, b = %s, x{i} = %s WHERE id = %s")
        text, params = qc.compile_select(
            f"t{k}", SlowColumns(names), SlowColumns([("a", "=", f"v{i}")]), [],
            SlowColumns([("b", "desc")]), SlowIndex(i), None, "postgres")
        assert text == f"SELECT c{k}_{i}, b, x{i} FROM t{k} WHERE a = $1 ORDER BY b DESC LIMIT {i}"
        assert params == [f"v{i}"]
        assert qc.get_placeholder("PostgreSQL", SlowIndex(i)) == f"${i}"


def diff_user(engine, k):
    for i in range(kRounds):
        model = {"id": {"primary_key": True, SlowKey(): 0},
                 f"c{k}_{i}": {"data_type": "INT", "nullable": False, SlowKey(): 1}}
        assert engine.diff_table(f"t{k}", model, {"id": "INTEGER"}, "sqlite") == (
            [f"ALTER TABLE t{k} ADD COLUMN c{k}_{i} INT NOT NULL;"],
            [f"ALTER TABLE t{k} DROP COLUMN c{k}_{i};"])


# ---- the callback group ----------------------------------------------------------------------------


kTrackerCallbacks = [("get_field", ("a",), "Already mutably borrowed"),
                     ("dirty_fields", (), "Already mutably borrowed"),
                     ("set_field", ("a", 0), "Already borrowed"),
                     ("hydrate_snapshot", (), "Already borrowed")]
kAggregatorCallbacks = [("len", (), "Already mutably borrowed"),
                        ("get_keys", (), "Already mutably borrowed"),
                        ("add_key", (1,), "Already borrowed"),
                        ("clear", (), "Already borrowed")]


def tracker_callbacker(tracker, k, model, seen, refusals):
    for i in range(kRounds):
        method, args, _ = kTrackerCallbacks[i % len(kTrackerCallbacks)]
        name = f"r{k}_{i % 3}"
        value = Reentrant(tracker, method, args, f"text{i}", 0, seen)
        retry_refused(lambda: tracker.set_field(name, value), refusals)
        model[name] = value
        got = retry_refused(lambda: tracker.get_field(name), refusals)
        assert got is value


def aggregator_callbacker(agg, k, model, seen, refusals):
    for i in range(kRounds):
        method, args, _ = kAggregatorCallbacks[i % len(kAggregatorCallbacks)]
        key = 10**9 + k * 10**6 + i
        value = Reentrant(agg, method, args, f"text{key}", key, seen)
        assert retry_refused(lambda: agg.add_key_int(value), refusals) is True
        model.add(key)
        retry_refused(agg.len, refusals)


def test_threads_sharing_instances_agree_with_a_model(rapid_switching):
    crew = Crew()
    stop = threading.Event()

    plain_tracker = native.StateTracker()
    tracker_models = [{} for _ in range(3)]
    for k, model in enumerate(tracker_models):
        crew.add(f"tracker writer {k}", tracker_writer, plain_tracker, k, model)
    crew.add("tracker reader", tracker_reader, plain_tracker, stop)

    plain_agg = native.BatchAggregator()
    agg_models = [set() for _ in range(3)]
    for k, model in enumerate(agg_models):
        crew.add(f"aggregator adder {k}", aggregator_adder, plain_agg, k, model)
    crew.add("aggregator reader", aggregator_reader, plain_agg, stop)

    qc = native.QueryCompiler()
    engine = native.SchemaDiffEngine()
    for k in range(2):
        crew.add(f"compiler user {k}", compiler_user, qc, k)
        crew.add(f"diff user {k}", diff_user, engine, k)

    reentrant_tracker = native.StateTracker()
    reentrant_agg = native.BatchAggregator()
    tracker_seen, agg_seen, refusals = [], [], []
    callback_tracker_models = [{} for _ in range(3)]
    callback_agg_models = [set() for _ in range(2)]
    for k, model in enumerate(callback_tracker_models):
        crew.add(f"tracker callbacks {k}", tracker_callbacker, reentrant_tracker, k, model,
                 tracker_seen, refusals)
    for k, model in enumerate(callback_agg_models):
        crew.add(f"aggregator callbacks {k}", aggregator_callbacker, reentrant_agg, k, model,
                 agg_seen, refusals)

    crew.run(stop)

    # The plain group: the last value each writer gave each field, dirty unless it was set once.
    current = plain_tracker.get_current_dict()
    expected = {name: values for model in tracker_models for name, values in model.items()}
    assert set(current) == set(expected)
    assert all(current[name] is values[-1] for name, values in expected.items())
    assert set(plain_tracker.dirty_fields()) == {
        name for name, values in expected.items() if str(values[0]) != str(values[-1])}
    assert set(plain_agg.get_keys()) == set().union(*agg_models)
    assert plain_agg.len() == len(set().union(*agg_models))

    # The callback group: every callback met the refusal its own call earned.
    want = {method: message for method, _, message in kTrackerCallbacks + kAggregatorCallbacks}
    assert len(tracker_seen) == 3 * kRounds and len(agg_seen) == 2 * kRounds
    assert [m for m, message in tracker_seen + agg_seen if message != want[m]] == []
    current = reentrant_tracker.get_current_dict()
    expected = {name: value for model in callback_tracker_models for name, value in model.items()}
    assert set(current) == set(expected)
    assert all(current[name] is value for name, value in expected.items())
    assert set(reentrant_agg.get_keys()) == set().union(*callback_agg_models)
    print(f"refusals met from other threads' calls: {len(refusals)}")

    for tracker in (plain_tracker, reentrant_tracker):
        tracker.set_initial_state({})

"""Hostile arguments for every constructor and method.

Each call either returns or raises an ordinary exception; the internal-failure exception
only where a dict changed under a walk, a size cannot be expressed or a nested call
panicked; a borrow refusal only where a callback really re-entered the instance. Afterwards
the instance still agrees with itself and its borrow is free.

KESTRELITE_FUZZ_EXAMPLES sets the examples per method (scripts/fuzz-long.sh raises it). The
examples are the same on every run unless KESTRELITE_FUZZ_SEED draws others.
"""

import functools
import os

import pytest
from hypothesis import HealthCheck, event, given, seed, settings
from hypothesis import strategies as st

import _kestrelite_rs as native
import hostile
from hostile import PanicException, Scan, Targets

kDefaultExamples = 100


def fuzz_settings():
    """The profile's example count, capped so the whole file stays a few seconds long."""
    wanted = os.environ.get("KESTRELITE_FUZZ_EXAMPLES")
    examples = int(wanted) if wanted else min(settings.default.max_examples, kDefaultExamples)
    return settings(max_examples=examples, suppress_health_check=list(HealthCheck))


def fuzz_seed():
    """The fixed examples of the profile, or those KESTRELITE_FUZZ_SEED draws."""
    wanted = os.environ.get("KESTRELITE_FUZZ_SEED")
    return seed(int(wanted)) if wanted else (lambda test: test)


# (borrow kind, parameters as (name, kind) or None for a no-argument method, required count)
kMethods = {
    "QueryCompiler": {
        "__new__": ("new", [], 0),
        "get_placeholder": ("shared", [("dialect", "str"), ("index", "u64")], 2),
        "compile_select": ("shared", [
            ("table", "str"), ("columns", "strs"), ("wheres", "triples"), ("joins", "triples"),
            ("order_by", "pairs"), ("limit", "opt_u64"), ("offset", "opt_u64"),
            ("dialect", "str")], 5),
        "compile_insert": ("shared", [("table", "str"), ("columns", "strs"), ("dialect", "str")],
                           3),
        "compile_update": ("shared", [("table", "str"), ("columns", "strs"), ("pk_col", "str"),
                                      ("dialect", "str")], 4),
        "compile_delete": ("shared", [("table", "str"), ("pk_col", "str"), ("dialect", "str")],
                           3),
    },
    "StateTracker": {
        "__new__": ("new", [], 0),
        "set_initial_state": ("exclusive", [("data", "data")], 1),
        "set_field": ("exclusive", [("field", "str"), ("value", "any")], 2),
        "get_field": ("shared", [("field", "str")], 1),
        "is_dirty": ("shared", None, 0),
        "dirty_fields": ("shared", None, 0),
        "get_dirty_changes": ("shared", None, 0),
        "hydrate_snapshot": ("exclusive", None, 0),
        "get_current_dict": ("shared", None, 0),
        "benchmark_pure_rust": ("static", [("count", "count")], 1),
    },
    "BatchAggregator": {
        "__new__": ("new", [], 0),
        "add_key_int": ("exclusive", [("key", "i64")], 1),
        "add_key_str": ("exclusive", [("key", "str")], 1),
        "add_key": ("exclusive", [("key", "any")], 1),
        "add_keys_batch": ("exclusive", [("keys", "keys")], 1),
        "get_keys": ("shared", None, 0),
        "clear": ("exclusive", None, 0),
        "len": ("shared", None, 0),
        "is_empty": ("shared", None, 0),
    },
    "SchemaDiffEngine": {
        "__new__": ("new", [], 0),
        "diff_table": ("shared", [("table_name", "str"), ("model_fields", "model"),
                                  ("db_columns", "db"), ("_dialect", "str")], 4),
    },
}

kAllMethods = [(c, m) for c, methods in kMethods.items() for m in methods]


def counts(cls_name):
    # Counts that build little, or that overflow before anything is allocated.
    small = st.one_of(st.integers(0, 40), st.just(hostile.kOverflowingCount))
    return st.one_of(small, st.sampled_from([-1, 2**64 - 1, 2**64, -(2**70)]), st.floats(),
                     hostile.names, st.none(),
                     st.builds(hostile.Indexable, hostile.actions(cls_name, small)))


kStrategies = {
    "str": hostile.str_args,
    "u64": hostile.unsigned_args,
    "opt_u64": lambda t: st.one_of(st.none(), hostile.unsigned_args(t)),
    "strs": lambda t: hostile.sequence_of(hostile.str_args(t), t),
    "triples": lambda t: hostile.sequence_of(hostile.str_tuples(3, t), t),
    "pairs": lambda t: hostile.sequence_of(hostile.str_tuples(2, t), t),
    "data": hostile.tracker_data,
    "any": hostile.values_with_hostile,
    "count": counts,
    "i64": lambda t: hostile.weighted(
        (2, hostile.plain_ints), (2, st.builds(hostile.Indexable, hostile.actions(t, hostile.plain_ints))),
        (1, hostile.values_with_hostile(t))),
    "keys": lambda t: hostile.sequence_of(hostile.weighted(
        (1, hostile.plain_ints), (1, hostile.names), (2, hostile.values_with_hostile(t))), t),
    "model": hostile.model_fields,
    "db": hostile.db_columns,
}


# ---- argument shapes and the matching errors they must give -------------------------------------


def quoted_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return f"{quoted[0]} and {quoted[1]}"
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def text_form(s):
    return s.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


@st.composite
def call_shape(draw, full, params, required, values):
    """(positional, keywords, expected matching error or None) for drawn argument values."""
    n = len(params)
    names = [p for p, _ in params]
    shapes = ["positional", "keywords", "mixed"] * 6 + ["too_many", "unknown"]
    if required:
        shapes += ["missing", "duplicate"]
    shape = draw(st.sampled_from(shapes))
    if shape == "too_many":
        given = n + draw(st.integers(1, 2))
        args = values + [draw(hostile.plain_scalars) for _ in range(given - n)]
        verb = "was" if given == 1 else "were"
        span = f"{n}" if required == n else f"from {required} to {n}"
        return args, {}, f"{full} takes {span} positional arguments but {given} {verb} given"
    k = draw(st.integers(0, n)) if shape in ("mixed", "unknown") else 0
    if shape == "positional":
        k = draw(st.integers(required, n))
    if shape == "duplicate":
        k = draw(st.integers(1, n))
    args = values[:k]
    rest = list(range(k, n))
    optional = [i for i in rest if i >= required]
    keep = set(i for i in rest if i < required) | set(
        draw(st.lists(st.sampled_from(optional), unique=True)) if optional and shape != "positional" else [])
    if shape == "positional":
        keep = set()
    missing = []
    if shape == "missing":
        candidates = [i for i in range(required)]
        dropped = draw(st.lists(st.sampled_from(candidates), min_size=1, unique=True))
        args = values[:min(dropped)]
        keep = set(range(len(args), n)) - set(dropped)
        keep = {i for i in keep if i < required or draw(st.booleans())}
        missing = [names[i] for i in sorted(dropped)]
    order = draw(st.permutations(sorted(keep)))
    kwargs = {names[i]: values[i] for i in order}
    if shape == "duplicate":
        name = names[draw(st.integers(0, k - 1))]
        kwargs = {name: values[names.index(name)], **kwargs}
        return args, kwargs, f"{full} got multiple values for argument '{name}'"
    if shape == "unknown":
        bogus = draw(st.sampled_from(["bogus", "Key", "b\ud800d", "żółw", "columns_"]))
        kwargs = dict(list(kwargs.items()) + [(bogus, 0)])
        items = list(kwargs.items())
        items = draw(st.permutations(items))
        kwargs = dict(items)
        # The keyword walk stops at the first unknown name, before the missing check.
        return args, kwargs, (f"{full} got an unexpected keyword argument "
                              f"'{text_form(bogus)}'")
    if shape == "missing":
        count = len(missing)
        word = "argument" if count == 1 else "arguments"
        return args, kwargs, (f"{full} missing {count} required positional {word}: "
                              f"{quoted_list(missing)}")
    return args, kwargs, None


# ---- what the instance must still say about itself ------------------------------------------------


def check_tracker(tracker):
    current = tracker.get_current_dict()
    dirty = tracker.dirty_fields()
    changes = tracker.get_dirty_changes()
    assert list(changes) == dirty
    assert len(set(dirty)) == len(dirty)
    assert set(dirty) <= set(current)
    assert tracker.is_dirty() == bool(dirty)
    for name, value in current.items():
        assert tracker.get_field(name) is value
    for name in dirty:
        assert changes[name] is current[name]
    # An exclusive call gets past the borrow and fails on its argument instead.
    with pytest.raises(TypeError) as excinfo:
        tracker.set_field(0, None)
    assert str(excinfo.value) == "argument 'field': 'int' object cannot be converted to 'PyString'"
    return current


def check_aggregator(aggregator):
    keys = aggregator.get_keys()
    count = aggregator.len()
    assert len(keys) == count
    assert aggregator.is_empty() == (count == 0)
    ints = [k for k in keys if type(k) is int]
    strs = [k for k in keys if type(k) is str]
    assert keys == ints + strs
    assert len(set(ints)) == len(ints) and len(set(strs)) == len(strs)
    assert all(-(2**63) <= k < 2**63 for k in ints)
    with pytest.raises(TypeError) as excinfo:
        aggregator.add_key_str(0)
    assert str(excinfo.value) == "argument 'key': 'int' object cannot be converted to 'PyString'"
    return keys


def placeholder(dialect, index):
    folded = str.lower(dialect)
    if folded == "mysql":
        return "%s"
    if folded in ("postgres", "postgresql"):
        return f"${index}"
    return "?"


def plain_text(obj):
    """The characters of a str argument, or None when it is not a valid one."""
    if not isinstance(obj, str):
        return None
    try:
        str.encode(obj, "utf-8")
    except UnicodeEncodeError:
        return None
    return str.__str__(obj)


def check_stateless(instance):
    if isinstance(instance, native.QueryCompiler):
        assert instance.get_placeholder("postgres", 7) == "$7"
    else:
        assert instance.diff_table("t", {}, {"a": "INT"}, "sqlite") == ([], [])


def prior_states(cls_name):
    """Earlier state for a stateful instance, hostile values included."""
    if cls_name == "StateTracker":
        return st.tuples(
            st.dictionaries(hostile.names.filter(hostile.is_utf8), hostile.any_value(cls_name),
                            max_size=4),
            st.lists(st.tuples(st.sampled_from(["a", "b", "c"]), hostile.any_value(cls_name)),
                     max_size=3))
    if cls_name == "BatchAggregator":
        return st.lists(st.one_of(hostile.plain_ints, hostile.names), max_size=6)
    return st.none()


def apply_prior(instance, prior):
    if isinstance(instance, native.StateTracker):
        loaded, assignments = prior
        instance.set_initial_state(loaded)
        for name, value in assignments:
            instance.set_field(name, value)
    elif isinstance(instance, native.BatchAggregator):
        instance.add_keys_batch(prior)


class Case:
    """One drawn call: earlier state, argument values and the shape they are passed in."""

    def __init__(self, prior, values, args, kwargs, expected, on_class):
        self.prior, self.values, self.args, self.kwargs = prior, values, args, kwargs
        self.expected, self.on_class = expected, on_class

    def __repr__(self):
        return (f"Case(prior={self.prior!r}, args={self.args!r}, kwargs={self.kwargs!r}, "
                f"on_class={self.on_class})")


@functools.lru_cache(maxsize=None)
def cases(cls_name, method):
    _, params, required = kMethods[cls_name][method]
    full = f"{cls_name}.{method}()"
    strategies = [kStrategies[kind](cls_name) for _, kind in params or []]
    prior_strategy = prior_states(cls_name)

    @st.composite
    def build(draw):
        prior = draw(prior_strategy)
        on_class = draw(st.booleans())
        if params is None:
            args = draw(hostile.weighted(
                (4, st.just([])), (1, st.lists(hostile.plain_scalars, min_size=1, max_size=2))))
            return Case(prior, [], args, {}, "any" if args else None, on_class)
        values = [draw(strategy) for strategy in strategies]
        args, kwargs, expected = draw(call_shape(full, params, required, values))
        return Case(prior, values, args, kwargs, expected, on_class)

    return build()


def expected_refusal(outer, inner):
    if outer == "exclusive":
        return "Already borrowed" if inner == "exclusive" else "Already mutably borrowed"
    if outer == "shared" and inner == "exclusive":
        return "Already borrowed"
    return None


def check_outcome(cls_name, method, outer, instance, scan, raised, unraisable):
    fired = scan.fired()
    # Every refusal a callback met is one its call really earned.
    for a in fired:
        if a.kind not in ("reenter", "raw") or a.in_finaliser:
            continue
        want = expected_refusal(outer, a.inner_kind) if a.target is instance else None
        assert a.outcomes == [want] * len(a.outcomes), (a, a.outcomes)
    for _, _, obj in unraisable:
        assert obj is None or scan.contains(obj), obj
    if raised is None:
        return
    if isinstance(raised, PanicException):
        message = str(raised)
        reasons = []
        if method == "benchmark_pure_rust" or any(a.kind == "panic" for a in fired):
            reasons.append("capacity overflow")
        if any(a.kind == "mutate" for a in fired):
            reasons += [hostile.kSizeChanged, hostile.kKeysChanged]
        assert message in reasons, (message, fired)
    elif isinstance(raised, RuntimeError) and str(raised) in hostile.kRefusals:
        assert any(a.kind == "raw" and str(raised) in a.outcomes for a in fired), fired
    elif isinstance(raised, (HostileBaseErrorType, MemoryError)) or not isinstance(raised, Exception):
        assert any(a.kind == "raise" and isinstance(raised, a.value) for a in fired), raised
    else:
        assert not isinstance(raised, SystemError), raised


HostileBaseErrorType = hostile.HostileBaseError


kWalkFailures = (hostile.kSizeChanged, hostile.kKeysChanged)


def walked_dicts(method, values):
    """The dicts a call with these argument values walks, in its order, each with the test
    that an entry of it ends the call; none when an argument fails its conversion first."""
    if method == "set_initial_state" and issubclass(type(values[0]), dict):
        return [(values[0], lambda e: not e.key_is_text)]
    if method == "diff_table":
        table, model, db, dialect = values
        if (hostile.is_text(table) and hostile.is_text(dialect)
                and issubclass(type(model), dict) and issubclass(type(db), dict)):
            return [(model, lambda e: not (e.key_is_text and e.value_is_dict)),
                    (db, lambda e: not (e.key_is_text and e.value_is_text))]
    return []


class WalkModel:
    """Replays the walks of a call: each walked dict's storage as the call began, changed by
    the actions of its entries in the order they fired, read the way the module reads it (the
    size checked before every step, and one entry more than the dict began with refused)."""

    def __init__(self, walks):
        self.walks = walks
        self.storages = {id(d): hostile.storage(d) for d, _ in walks}
        # The entry whose processing runs an action is the one holding it.
        self.owner = {}
        for d, _ in walks:
            for value in dict.values(d):
                for a in Scan(value).actions:
                    self.owner[id(a)] = id(value)

    def replay(self, firings):
        """(outcome, escaped, unplaced): outcome is None when every walk ends, a walk failure
        message, or "fault" for an entry whose key or value ends the call; escaped tells
        whether an action raised out of its dunder first (which may have ended the call
        sooner); unplaced lists the firings the replay found no entry running."""
        storages = dict(self.storages)
        log = [f for f in firings if not f.action.in_finaliser]
        done = 0
        escaped = False
        for d, faulty in self.walks:
            size = len(storages[id(d)])
            pos = produced = 0
            while True:
                live = storages[id(d)]
                if len(live) != size:
                    return hostile.kSizeChanged, escaped, log[done:]
                if produced == size + 1:
                    return hostile.kKeysChanged, escaped, log[done:]
                entry = next((e for e in live if e.index >= pos), None)
                if entry is None:
                    break
                pos, produced = entry.index + 1, produced + 1
                if faulty(entry):
                    return "fault", escaped, log[done:]
                while done < len(log) and self.owner.get(id(log[done].action)) == entry.value:
                    firing = log[done]
                    done += 1
                    escaped = escaped or firing.escaped
                    if firing.storage is not None:
                        storages[id(firing.action.target)] = firing.storage
        return None, escaped, log[done:]


def check_walk_failure(model, firings, raised):
    """A walk fails exactly where the replay of its dicts' changes says it must."""
    if model is None:
        return
    outcome, escaped, unplaced = model.replay(firings)
    # No entry is read past the point where the call ends.
    assert unplaced == [], (outcome, unplaced)
    failed = str(raised) if isinstance(raised, PanicException) else None
    if failed in kWalkFailures:
        assert failed == outcome, (outcome, firings)
    elif raised is None:
        assert outcome is None, (outcome, firings)
    else:
        # Another exception ended the call: an entry's fault or an action's own.
        assert outcome == "fault" or escaped, (raised, outcome, firings)


def check_result(cls_name, method, instance, values, result, before, after):
    """What a successful call must have done, judged from outside."""
    if method == "__new__":
        assert type(result) is getattr(native, cls_name)
    elif method == "get_placeholder":
        dialect, index = plain_text(values[0]), values[1]
        if dialect is not None and type(index) is int:
            assert result == placeholder(dialect, index)
        assert type(result) is str
    elif method == "compile_delete":
        table, pk, dialect = (plain_text(v) for v in values)
        assert result == f"DELETE FROM {table} WHERE {pk} = {placeholder(dialect, 1)}"
    elif method in ("compile_insert", "compile_update"):
        assert type(result) is str
    elif method == "compile_select":
        text, params = result
        assert type(text) is str and type(params) is list
        assert all(type(p) is str for p in params)
    elif method == "diff_table":
        up, down = result
        assert type(up) is list and type(down) is list and len(up) == len(down)
        assert all(type(s) is str and s.endswith(";") for s in up + down)
    elif method == "benchmark_pure_rust":
        assert type(result) is float and result >= 0
    elif cls_name == "StateTracker":
        check_tracker_result(method, values, result, before, after)
    elif cls_name == "BatchAggregator":
        check_aggregator_result(method, result, before, after)


def check_tracker_result(method, values, result, before, after):
    if method == "set_initial_state":
        assert instance_dirty(after) == []
    elif method == "set_field":
        name = plain_text(values[0])
        assert after["current"][name] is values[1]
    elif method == "get_field":
        assert result is after["current"].get(plain_text(values[0]))
    elif method == "hydrate_snapshot":
        assert result is None and instance_dirty(after) == []
    elif method == "is_dirty":
        assert result == bool(after["dirty"])
    elif method == "dirty_fields":
        assert result == after["dirty"]
    elif method in ("get_dirty_changes", "get_current_dict"):
        expected = after["current"] if method == "get_current_dict" else {
            k: after["current"][k] for k in after["dirty"]}
        assert list(result) == list(expected)
        assert all(result[k] is expected[k] for k in expected)
    if method not in ("set_initial_state",):
        # Fields are never dropped one by one.
        assert set(before["current"]) <= set(after["current"])


def instance_dirty(state):
    return state["dirty"]


def check_aggregator_result(method, result, before, after):
    if method == "clear":
        assert after == []
        return
    assert set(before) <= set(after)
    if method in ("add_key_int", "add_key_str", "add_key"):
        assert type(result) is bool
        assert len(after) == len(before) + result
    elif method == "add_keys_batch":
        assert type(result) is int and len(after) == len(before) + result
    elif method == "get_keys":
        assert result == after
    elif method == "len":
        assert result == len(after)
    elif method == "is_empty":
        assert result == (after == [])


def state_of(instance):
    if isinstance(instance, native.StateTracker):
        return {"current": instance.get_current_dict(), "dirty": instance.dirty_fields()}
    if isinstance(instance, native.BatchAggregator):
        return instance.get_keys()
    return None


@pytest.mark.parametrize("cls_name,method", kAllMethods)
@fuzz_settings()
@fuzz_seed()
@given(data=st.data())
def test_hostile_arguments_leave_the_instance_consistent(cls_name, method, data):
    run_case(cls_name, method, data.draw(cases(cls_name, method), label="case"), note=event)


def run_case(cls_name, method, case, note=lambda text: None):
    """Runs a case and judges its outcome; returns what the call raised, or None."""
    cls = getattr(native, cls_name)
    outer = kMethods[cls_name][method][0]
    instance = cls()
    targets = Targets(instance)
    scan = Scan(case.prior, case.values, case.args, case.kwargs)
    scan.bind(same=instance, other=targets.other)
    apply_prior(instance, case.prior)
    if method == "__new__":
        fn = cls
    elif method == "benchmark_pure_rust" and case.on_class:
        fn = cls.benchmark_pure_rust
    else:
        fn = getattr(instance, method)

    before = state_of(instance)
    walks = walked_dicts(method, case.values) if case.expected is None else []
    model = WalkModel(walks) if walks else None
    scan.reset()
    hostile.violations.clear()
    raised = result = None
    with hostile.recorded_unraisable() as unraisable, hostile.recorded_firings() as firings, \
            hostile.armed():
        try:
            result = fn(*case.args, **case.kwargs)
        except BaseException as error:  # noqa: B036 - every outcome is judged below
            raised = error
    # Shown by --hypothesis-show-statistics: which outcomes and misbehaviours were reached.
    note(f"outcome: {type(raised).__name__ if raised is not None else 'returned'}"
         + (f" {raised}" if isinstance(raised, PanicException) else ""))
    for a in scan.fired():
        note(f"fired: {a.kind}" + (f" {a.outcomes[0]}" if a.outcomes else ""))
    try:
        # Dict arguments are read through their own storage only.
        assert hostile.violations == []
        if case.expected is not None:
            assert type(raised) is TypeError, raised
            if case.expected != "any":
                assert str(raised) == case.expected
            assert scan.fired() == [] and unraisable == []
        else:
            check_outcome(cls_name, method, outer, instance, scan, raised, unraisable)
            check_walk_failure(model, firings, raised)
        if isinstance(instance, native.StateTracker):
            current = check_tracker(instance)
            after = {"current": current, "dirty": instance.dirty_fields()}
        elif isinstance(instance, native.BatchAggregator):
            after = check_aggregator(instance)
        else:
            check_stateless(instance)
            after = None
        if raised is None and case.expected is None:
            check_result(cls_name, method, instance, case.values, result, before, after)
    finally:
        # The tracker takes no part in garbage collection: drop what may point back at it.
        for tracker in (instance, targets.other):
            if isinstance(tracker, native.StateTracker):
                tracker.set_initial_state({})
    return raised


def walk_changing_case(attrs):
    """diff_table of one model column `a` with attribute dict `attrs`, the model walked."""
    model = hostile.bound_dict(dict, [("a", attrs)])
    values = ["t", model, {}, "sqlite"]
    return Case(None, values, values, {}, None, False)


def mutation(how, target, value=True):
    return hostile.Action("mutate", value, target=target, how=how)


@pytest.mark.parametrize("build,message", [
    # A lookup grows the model by one key; a swap replaces its first key; a second swap
    # writes a key already there, which shrinks the model back to its size. The walk goes on
    # to the swapped-in key, one entry more than the model held.
    (lambda: walk_changing_case({
        "data_type": "a",
        "primary_key": hostile.NumpyLikeBool(mutation("swap", hostile.kWalked)),
        hostile.CollidingKey(mutation("grow", hostile.kWalked), "nullable"):
            hostile.NumpyLikeBool(mutation("swap", hostile.kWalked))}),
     hostile.kKeysChanged),
    # Growing the attribute dict, which is only looked up, changes no walk.
    (lambda: walk_changing_case(hostile.bound_dict(dict, [
        (hostile.CollidingKey(mutation("grow", hostile.kLookedUp), "nullable"), True)],
        hostile.kLookedUp)),
     None),
], ids=["model resized then swapped", "attribute dict grown"])
def test_walk_failures_follow_the_dict_each_action_changed(build, message):
    raised = run_case("SchemaDiffEngine", "diff_table", build())
    assert (None if raised is None else str(raised)) == message


# ---- every sequence form reads the same ------------------------------------------------------------

kListCalls = [
    ("compile_insert", lambda cols, rows, pairs: ("users", cols, "postgres")),
    ("compile_update", lambda cols, rows, pairs: ("users", cols, "id", "mysql")),
    ("compile_select", lambda cols, rows, pairs: ("users", cols, rows, rows, pairs, 3, 4,
                                                   "postgres")),
]
kColumns = ["name_col", "email_col", "żółw_col"]
kRows = [("age", ">", "eighteen"), ("ǉeft", "orders o", "o.user_id = users.id")]
kPairs = [("name_col", "desc"), ("id_col", "ǆesc")]


@pytest.mark.parametrize("method,build", kListCalls, ids=[m for m, _ in kListCalls])
@pytest.mark.parametrize("form", [tuple, hostile.HostileSequence, hostile.ItemAccessOnly])
def test_every_sequence_form_gives_what_a_list_gives(method, build, form):
    # A HostileSequence hands out fresh copies that only the reader holds: a reader that
    # lets them go is left reading freed memory.
    qc = native.QueryCompiler()
    expected = getattr(qc, method)(*build(kColumns, kRows, kPairs))
    got = getattr(qc, method)(*build(form(kColumns), form(kRows), form(kPairs)))
    assert got == expected


# ---- faults the fuzzing found ------------------------------------------------------------------------


class UnprintableKeyword(str):
    def __str__(self):
        raise hostile.HostileError("no text")


class UnprintableMember:
    def __str__(self):
        raise hostile.HostileError("no text")


class IndexRaisingTypeError:
    def __index__(self):
        raise TypeError(UnprintableMember())


@pytest.mark.parametrize("call,message", [
    (lambda: native.BatchAggregator().add_key(**{UnprintableKeyword("bogus"): 1}),
     "BatchAggregator.add_key() got an unexpected keyword argument "
     "'<unprintable UnprintableKeyword object>'"),
    (lambda: native.BatchAggregator().add_key_int(IndexRaisingTypeError()),
     "argument 'key': <unprintable TypeError object>"),
], ids=["keyword name", "argument cause"])
def test_messages_show_the_text_form_of_what_str_cannot_print(call, message):
    with hostile.recorded_unraisable() as seen, pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert [exc_type for exc_type, _, _ in seen] == [hostile.HostileError]

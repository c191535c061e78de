"""Calls interrupted by the collector.

A str that cannot be encoded makes an exception object when its UTF-8 is asked for, and
before 3.12 making one may run the collector, whose finalisers may run any Python code: here
one that empties the container the call is reading. The call must neither crash nor read
what the finaliser freed (the AddressSanitizer run of this suite sees such a read). From 3.12
the collector waits for the interpreter loop, so there the call meets the container whole.
"""

import gc

import pytest

kLone = "\ud800"
kRounds = 12  # the collector runs in the call in every round where it can


def fresh(text):
    """An equal str that is another object, referenced only by its holder."""
    return "".join(list(text))


class Emptier:
    """Garbage in a cycle whose finaliser empties the container it was given."""

    def __init__(self, container):
        self.container = container
        self.cycle = self

    def __del__(self):
        self.container.clear()


def run(call, container):
    """Runs `call` with the collector due at the next allocation, after garbage that empties
    `container`; returns its result or the name of what it raised."""
    threshold = gc.get_threshold()
    # A callback of the collector (hypothesis times collections with one) allocates when a
    # collection starts and moves the next one away from the call: none runs meanwhile.
    callbacks = gc.callbacks[:]
    gc.callbacks.clear()
    gc.collect()
    gc.set_threshold(1)
    try:
        # Lists kept alive empty the interpreter's free list, so that the call's own lists
        # are fresh allocations too; nothing else is allocated between the garbage and it.
        spare = [[] for _ in range(100)]
        Emptier(container)
        try:
            return call()
        except BaseException as error:  # noqa: B902 - the panic derives from BaseException
            return type(error).__name__
        finally:
            del spare
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks[:] = callbacks


def lone(i):
    return fresh(kLone + str(i))


def test_a_key_list_emptied_while_a_key_is_read(mod):
    for i in range(kRounds):
        keys = [fresh(f"k{i}"), lone(i)]
        got = run(lambda: mod.BatchAggregator().add_keys_batch(keys), keys)
        # Emptied inside the call, the list has no item left where the key was; else the
        # key that has no UTF-8 form is kept by its text form.
        assert got in ("IndexError", 2)


@pytest.mark.parametrize("method", ["compile_insert", "compile_update", "compile_select"])
def test_a_column_list_emptied_while_a_column_is_read(mod, method):
    args = {"compile_insert": lambda c: ("t", c, "sqlite"),
            "compile_update": lambda c: ("t", c, "id", "sqlite"),
            "compile_select": lambda c: ("t", c, [], [], [])}[method]
    bound = getattr(mod.QueryCompiler(), method)
    empty = bound(*args([]))
    for i in range(kRounds):
        columns = [fresh(f"c{i}"), lone(i)]
        call_args = args(columns)  # made before the garbage: it would run the collector
        got = run(lambda: bound(*call_args), columns)
        assert got in ("UnicodeEncodeError", empty)


@pytest.mark.parametrize("side", ["model key", "type text", "database key", "database type"])
def test_a_diff_input_emptied_while_a_text_is_read(mod, side):
    engine = mod.SchemaDiffEngine()
    for i in range(kRounds):
        model = {fresh(f"a{i}"): {"data_type": fresh(f"T{i}")}}
        db = {fresh(f"b{i}"): fresh(f"U{i}")}
        victim = {"model key": model, "type text": model}.get(side, db)
        if side == "model key":
            model[lone(i)] = {}
        elif side == "type text":
            model[fresh(f"z{i}")] = {"data_type": lone(i)}
        elif side == "database key":
            db[lone(i)] = "X"
        else:
            db[fresh(f"y{i}")] = lone(i)
        got = run(lambda: engine.diff_table("t", model, db, "s"), victim)
        if side == "type text":
            # The type text that cannot be read takes the default; an emptied model is a
            # model changed while it is walked.
            assert got == "PanicException" or (type(got) is tuple and len(got[0]) == 2)
        else:
            assert got in ("UnicodeEncodeError", "PanicException")


class Index:
    """A limit that is not an int: reading it runs Python code."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Every:
    """Containers emptied together."""

    def __init__(self, *containers):
        self.containers = containers

    def clear(self):
        for container in self.containers:
            container.clear()


@pytest.mark.parametrize("limit", [10, Index(10)], ids=["int", "__index__"])
def test_a_select_whose_rows_a_finaliser_empties_while_its_result_is_made(mod, limit):
    # The where values go into the result after the statement is written, while the
    # result's lists are made, which may run the collector; each row here is held by its
    # list alone, so a call that kept neither the rows nor the collector off returns (or
    # frees) what the finaliser released. An exact int limit and one read through __index__
    # take the call's two ways of keeping them.
    compiler = mod.QueryCompiler()

    def select(i):
        wheres = [(fresh(f"a{i}"), "=", fresh(f"v{i}")), (fresh(f"b{i}"), ">", fresh(f"w{i}"))]
        joins = [(fresh("inner"), fresh(f"j{i}"), fresh(f"j{i}.id = t.id"))]
        order = [(fresh(f"a{i}"), fresh("desc"))]
        return [fresh("id"), fresh(f"n{i}")], wheres, joins, order

    was = gc.isenabled()
    for i in range(kRounds):
        expected = compiler.compile_select("t", *select(i), 10, 20, "postgres")
        columns, wheres, joins, order = select(i)
        everything = Every(columns, wheres, joins, order)
        got = run(lambda: compiler.compile_select("t", columns, wheres, joins, order, limit, 20,
                                                  "postgres"), everything)
        assert got == expected
        assert gc.isenabled() is was

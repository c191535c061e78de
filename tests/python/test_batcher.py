"""BatchAggregator: integer and string key sets, how keys are classified, batches and the
order keys come back in."""

import collections.abc
import sys
import weakref

import pytest
from hypothesis import given
from hypothesis import strategies as st

from support import (Calls, NonStrNameRaising, Raising, ReturnsInt, assert_no_growth, exact_digits,
                     run_python, unraisable_dropped)

kReplacement3 = "\ufffd" * 3


# ---- helpers ------------------------------------------------------------------------------


class Index:
    def __init__(self, value, text="index"):
        self.value = value
        self.text = text

    def __index__(self):
        return self.value

    def __str__(self):
        return self.text


class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")

    def __str__(self):
        return "raising-index"


class IntSub(int):
    def __index__(self):
        raise AssertionError("an int subclass is read directly")

    def __str__(self):
        return "not used"


class OwnStr(str):
    def __str__(self):
        return "not my characters"


class Seq(collections.abc.Sequence):
    """A Sequence over a list, with hooks on item access."""

    def __init__(self, items, on_get=None, on_len=None):
        self.items = list(items)
        self.on_get = on_get
        self.on_len = on_len
        self.fetched = []

    def __len__(self):
        if self.on_len:
            self.on_len()
        return len(self.items)

    def __getitem__(self, i):
        self.fetched.append(i)
        if self.on_get:
            self.on_get(i)
        return self.items[i]


class ItemAccessOnly:
    """Has item access and a length but is no Sequence."""

    def __len__(self):
        return 1

    def __getitem__(self, i):
        return 1


class Registered:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return ("r0", "r1")[i]


collections.abc.Sequence.register(Registered)


# ---- single keys ----------------------------------------------------------------------------


def test_fresh_aggregator_is_empty(mod):
    agg = mod.BatchAggregator()
    assert (agg.len(), agg.is_empty(), agg.get_keys()) == (0, True, [])


@pytest.mark.parametrize(
    "key, stored",
    [
        (1, 1),
        (0, 0),
        (-1, -1),
        (True, 1),
        (False, 0),
        (IntSub(5), 5),
        (Index(7), 7),
        (2**63 - 1, 2**63 - 1),
        (-2**63, -2**63),
        (2**63, "9223372036854775808"),
        (2**64, "18446744073709551616"),
        (-2**63 - 1, "-9223372036854775809"),
        (Index(2**63, "big-index"), "big-index"),
        (RaisingIndex(), "raising-index"),
        ("abc", "abc"),
        ("", ""),
        ("1", "1"),
        (OwnStr("own"), "own"),
        ("\ud800", kReplacement3),
        ("a\udfffb", "a" + kReplacement3 + "b"),
        (1.0, "1.0"),
        (1.5, "1.5"),
        (None, "None"),
        (b"x", "b'x'"),
        ((1, "a"), "(1, 'a')"),
        (Calls(lambda: None, "z\udc80"), "z" + kReplacement3),
    ],
    ids=[
        "int", "zero", "negative", "true", "false", "int-subclass", "index", "max-i64",
        "min-i64", "above-i64", "2**64", "below-i64", "index-out-of-range", "index-raising",
        "str", "empty-str", "digit-str", "str-subclass", "lone-surrogate", "surrogate-inside",
        "float-whole", "float", "none", "bytes", "tuple", "str-method-surrogate",
    ],
)
def test_add_key_classifies_the_key(mod, key, stored):
    agg = mod.BatchAggregator()
    assert agg.add_key(key) is True
    keys = agg.get_keys()
    assert keys == [stored]
    assert type(keys[0]) is type(stored)
    assert agg.add_key(key) is False
    assert (agg.len(), agg.is_empty()) == (1, False)


def test_integer_and_string_keys_are_separate(mod):
    agg = mod.BatchAggregator()
    assert [agg.add_key(1), agg.add_key(1), agg.add_key(True), agg.add_key("1")] == [
        True, False, False, True]
    assert agg.len() == 2
    assert agg.get_keys() == [1, "1"]


@pytest.mark.parametrize(
    "first, second",
    [
        (lambda a: a.add_key_int(5), lambda a: a.add_key(5)),
        (lambda a: a.add_key(5), lambda a: a.add_key_int(Index(5))),
        (lambda a: a.add_key_str("x"), lambda a: a.add_key("x")),
        (lambda a: a.add_key(1.0), lambda a: a.add_key_str("1.0")),
        (lambda a: a.add_key(None), lambda a: a.add_key_str("None")),
        (lambda a: a.add_key(2**64), lambda a: a.add_key_str("18446744073709551616")),
        (lambda a: a.add_key_str(OwnStr("y")), lambda a: a.add_key("y")),
        (lambda a: a.add_keys_batch([7]), lambda a: a.add_key_int(7)),
    ],
    ids=["int-then-any", "any-then-int", "str-then-any", "float-then-str", "none-then-str",
         "big-then-str", "str-subclass", "batch-then-int"],
)
def test_the_adding_methods_share_the_sets(mod, first, second):
    agg = mod.BatchAggregator()
    assert first(agg) in (True, 1)
    assert second(agg) in (False, 0)
    assert agg.len() == 1


@pytest.mark.parametrize(
    "key, error_type, message",
    [
        ("5", TypeError, "argument 'key': 'str' object cannot be interpreted as an integer"),
        (1.5, TypeError, "argument 'key': 'float' object cannot be interpreted as an integer"),
        (None, TypeError,
         "argument 'key': 'NoneType' object cannot be interpreted as an integer"),
        (2**63, OverflowError, "int too big to convert"),
        (-2**63 - 1, OverflowError, "int too big to convert"),
        (Index(2**64), OverflowError, "int too big to convert"),
        (RaisingIndex(), ValueError, "no index"),
    ],
    ids=["str", "float", "none", "2**63", "below-i64", "big-index", "index-raising"],
)
def test_add_key_int_refuses_what_is_no_i64(mod, key, error_type, message):
    agg = mod.BatchAggregator()
    with pytest.raises(error_type) as excinfo:
        agg.add_key_int(key)
    assert type(excinfo.value) is error_type
    assert str(excinfo.value) == message
    assert agg.get_keys() == []


@pytest.mark.parametrize("key, stored", [(True, 1), (IntSub(3), 3), (Index(-4), -4),
                                         (-2**63, -2**63)])
def test_add_key_int_takes_ints_and_indexes(mod, key, stored):
    agg = mod.BatchAggregator()
    assert agg.add_key_int(key) is True
    assert agg.add_key_int(key=key) is False
    assert agg.get_keys() == [stored]


@pytest.mark.parametrize(
    "key, error_type, message",
    [
        (5, TypeError, "argument 'key': 'int' object cannot be converted to 'PyString'"),
        (b"x", TypeError, "argument 'key': 'bytes' object cannot be converted to 'PyString'"),
        (None, TypeError,
         "argument 'key': 'NoneType' object cannot be converted to 'PyString'"),
        ("\ud800", UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ],
    ids=["int", "bytes", "none", "lone-surrogate"],
)
def test_add_key_str_refuses_what_is_no_utf8_str(mod, key, error_type, message):
    agg = mod.BatchAggregator()
    with pytest.raises(error_type) as excinfo:
        agg.add_key_str(key)
    assert type(excinfo.value) is error_type
    assert str(excinfo.value) == message
    assert agg.get_keys() == []


def test_string_keys_compare_by_exact_bytes(mod):
    agg = mod.BatchAggregator()
    for key in ["a", "A", "a ", "caf\u00e9", "cafe\u0301", "a"]:
        agg.add_key_str(key)
    assert agg.get_keys() == ["a", "A", "a ", "caf\u00e9", "cafe\u0301"]


# ---- keys without a text ------------------------------------------------------------------


def test_ints_past_the_int_to_str_limit_are_keys_by_their_exact_digits(mod):
    big = 10**5000  # more digits than the interpreter's default limit of 4300

    class Plain(int):
        pass

    class Printed(int):
        def __str__(self):
            return "printed"

    agg = mod.BatchAggregator()
    assert agg.add_keys_batch([big, big + 1, big, -big, Plain(big), Printed(big)]) == 4
    assert agg.add_key(big + 1) is False
    assert agg.get_keys() == [exact_digits(big), exact_digits(big + 1), exact_digits(-big),
                              "printed"]


def test_a_key_whose_str_raises_is_stored_unprintable(mod, unraisable):
    agg = mod.BatchAggregator()
    first, second = Raising(), Raising()
    with unraisable() as seen:
        assert agg.add_key(first) is True
        assert agg.add_key(second) is False
    assert [(t, str(v), o) for t, v, o in seen] == [
        (ValueError, "no text", first), (ValueError, "no text", second)]
    assert agg.get_keys() == ["<unprintable Raising object>"]


@pytest.mark.parametrize(
    "make, text",
    [(ReturnsInt, "<unprintable ReturnsInt object>"),
     (NonStrNameRaising, "<unprintable object>")],
    ids=["str-returns-int", "name-not-str"],
)
def test_other_unprintable_keys(mod, unraisable, make, text):
    agg = mod.BatchAggregator()
    key = make()
    with unraisable() as seen:
        assert agg.add_keys_batch([key]) == 1
    assert [o for _, _, o in seen] == [key]
    assert agg.get_keys() == [text]


# ---- batches --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make, added, keys",
    [
        (lambda: [3, "a", 3, "a", None], 3, [3, "a", "None"]),
        (lambda: (1, 2, 1), 2, [1, 2]),
        (lambda: [], 0, []),
        (lambda: "abca", 3, ["a", "b", "c"]),
        (lambda: OwnStr("xy"), 2, ["x", "y"]),
        (lambda: b"ab", 2, [97, 98]),
        (lambda: bytearray(b"a"), 1, [97]),
        (lambda: range(3), 3, [0, 1, 2]),
        (lambda: Seq(["s", 1, "s"]), 2, [1, "s"]),
        (lambda: Registered(), 2, ["r0", "r1"]),
        (lambda: type("L", (list,), {})([5, 5, 6]), 2, [5, 6]),
        (lambda: memoryview(b"\x01\x02"), 2, [1, 2]),
    ],
    ids=["list", "tuple", "empty", "str", "str-subclass", "bytes", "bytearray", "range",
         "custom-sequence", "registered-sequence", "list-subclass", "memoryview"],
)
def test_add_keys_batch_takes_any_sequence(mod, make, added, keys):
    agg = mod.BatchAggregator()
    assert agg.add_keys_batch(make()) == added
    assert agg.get_keys() == keys
    assert agg.add_keys_batch(keys=make()) == 0


def test_add_keys_batch_counts_only_new_keys(mod):
    agg = mod.BatchAggregator()
    agg.add_key(2)
    assert agg.add_keys_batch([1, 2, 3, True, "3"]) == 3
    assert agg.get_keys() == [2, 1, 3, "3"]


kNonSequences = [
    ({1, 2}, "set"), (frozenset(), "frozenset"), ({1: 2}, "dict"),
    ((i for i in range(2)), "generator"), (iter([1]), "list_iterator"), (5, "int"),
    (None, "NoneType"), (ItemAccessOnly(), "ItemAccessOnly"), ({}.keys(), "dict_keys"),
]


@pytest.mark.parametrize("keys, name", kNonSequences, ids=[n for _, n in kNonSequences])
def test_add_keys_batch_refuses_a_non_sequence(mod, keys, name):
    agg = mod.BatchAggregator()
    with pytest.raises(TypeError) as excinfo:
        agg.add_keys_batch(keys)
    assert str(excinfo.value) == (
        f"argument 'keys': '{name}' object cannot be converted to 'Sequence'")
    assert agg.len() == 0


def test_an_item_failing_keeps_the_keys_before_it(mod):
    agg = mod.BatchAggregator()
    error = KeyError("item 2")

    def fail_at_two(i):
        if i == 2:
            raise error

    seq = Seq(["a", 1, "b", "c"], on_get=fail_at_two)
    with pytest.raises(KeyError) as excinfo:
        agg.add_keys_batch(seq)
    assert excinfo.value is error
    assert seq.fetched == [0, 1, 2]
    assert agg.len() == 2
    assert agg.get_keys() == [1, "a"]


def test_a_length_that_cannot_be_read_fails_the_batch(mod):
    agg = mod.BatchAggregator()

    def fail():
        raise ZeroDivisionError("no length")

    with pytest.raises(ZeroDivisionError) as excinfo:
        agg.add_keys_batch(Seq([1], on_len=fail))
    assert str(excinfo.value) == "no length"
    assert agg.len() == 0


def test_a_sequence_growing_during_the_batch_is_read_to_its_first_length(mod):
    agg = mod.BatchAggregator()
    # Grows by one item per fetch of the first three, so a length read again would go on.
    seq = Seq([1, 2, 3], on_get=lambda i: seq.items.append(10 + i) if i < 3 else None)
    assert agg.add_keys_batch(seq) == 3
    assert seq.fetched == [0, 1, 2]
    assert agg.get_keys() == [1, 2, 3]


def test_a_sequence_shrinking_during_the_batch_raises_its_index_error(mod):
    agg = mod.BatchAggregator()
    seq = Seq([1, 2, 3, 4], on_get=lambda i: seq.items.pop() if i == 0 else None)
    with pytest.raises(IndexError) as excinfo:
        agg.add_keys_batch(seq)
    assert str(excinfo.value) == "list index out of range"
    assert agg.get_keys() == [1, 2, 3]


@pytest.mark.parametrize(
    "change, keys",
    [
        (lambda items: items.append("late"), ["a", "x", "y"]),
        (lambda items: items.pop(), None),
    ],
    ids=["grows", "shrinks"],
)
def test_a_list_changed_by_a_key_text_keeps_its_first_length(mod, change, keys):
    agg = mod.BatchAggregator()
    items = ["x", "y"]
    items.insert(0, Calls(lambda: change(items), "a"))
    if keys is not None:
        assert agg.add_keys_batch(items) == 3
        assert agg.get_keys() == keys
    else:
        with pytest.raises(IndexError) as excinfo:
            agg.add_keys_batch(items)
        assert str(excinfo.value) == "list index out of range"
        assert agg.get_keys() == ["a", "x"]


def test_an_item_that_empties_its_list_while_read_is_read_whole(mod):
    agg = mod.BatchAggregator()
    released = []

    class Dropper:
        def __str__(self):
            items.clear()  # the list held the only other reference to this key
            return "dropped"

        def __del__(self):
            released.append(True)

    items = [Dropper(), "x"]
    with pytest.raises(IndexError) as excinfo:
        agg.add_keys_batch(items)
    assert str(excinfo.value) == "list index out of range"
    assert agg.get_keys() == ["dropped"]
    assert released == [True]


# ---- re-entrant use -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "inner, message",
    [
        (lambda a: a.len(), "Already mutably borrowed"),
        (lambda a: a.is_empty(), "Already mutably borrowed"),
        (lambda a: a.get_keys(), "Already mutably borrowed"),
        (lambda a: a.add_key(1), "Already borrowed"),
        (lambda a: a.add_key_int(1), "Already borrowed"),
        (lambda a: a.add_key_str("s"), "Already borrowed"),
        (lambda a: a.add_keys_batch([]), "Already borrowed"),
        (lambda a: a.clear(), "Already borrowed"),
    ],
    ids=["len", "is_empty", "get_keys", "add_key", "add_key_int", "add_key_str",
         "add_keys_batch", "clear"],
)
@pytest.mark.parametrize("outer", ["add_key", "add_keys_batch"])
def test_str_calling_back_is_refused_and_the_key_is_unprintable(mod, unraisable, inner,
                                                                message, outer):
    agg = mod.BatchAggregator()
    key = Calls(lambda: inner(agg))
    with unraisable() as seen:
        result = getattr(agg, outer)(key if outer == "add_key" else [key])
    assert result in (True, 1)
    assert [(t, str(v), o) for t, v, o in seen] == [(RuntimeError, message, key)]
    assert agg.get_keys() == ["<unprintable Calls object>"]


def test_index_calling_back_is_discarded_by_add_key(mod, unraisable):
    agg = mod.BatchAggregator()
    refusals = []

    class Reentrant:
        def __index__(self):
            try:
                agg.len()
            except RuntimeError as error:
                refusals.append(str(error))
                raise
            return 1

        def __str__(self):
            return "reentrant"

    with unraisable() as seen:
        assert agg.add_key(Reentrant()) is True
    assert refusals == ["Already mutably borrowed"]
    assert seen == []
    assert agg.get_keys() == ["reentrant"]


def test_index_calling_back_fails_add_key_int_unprefixed(mod):
    agg = mod.BatchAggregator()

    class Reentrant:
        def __index__(self):
            agg.add_key(5)
            return 1

    with pytest.raises(RuntimeError) as excinfo:
        agg.add_key_int(Reentrant())
    assert str(excinfo.value) == "Already borrowed"
    assert agg.get_keys() == []


@pytest.mark.parametrize(
    "hooks, message",
    [
        ({"on_get": lambda a: a.get_keys()}, "Already mutably borrowed"),
        ({"on_get": lambda a: a.add_key(1)}, "Already borrowed"),
        ({"on_len": lambda a: a.clear()}, "Already borrowed"),
        ({"on_len": lambda a: a.len()}, "Already mutably borrowed"),
    ],
    ids=["getitem-reads", "getitem-adds", "len-clears", "len-reads"],
)
def test_sequence_access_calling_back_fails_the_batch(mod, hooks, message):
    agg = mod.BatchAggregator()
    agg.add_key("kept")
    seq = Seq([1, 2], **{name: (lambda *_, f=f: f(agg)) for name, f in hooks.items()})
    with pytest.raises(RuntimeError) as excinfo:
        agg.add_keys_batch(seq)
    assert str(excinfo.value) == message
    assert agg.get_keys() == ["kept"]
    assert agg.add_key(3) is True  # the hold was released


def test_the_sequence_test_runs_python_code_under_the_hold(mod):
    # A Sequence subclass's __subclasshook__ joins every isinstance(x, Sequence) test, so it
    # runs in a child interpreter where it cannot disturb other tests.
    out = run_python(mod, """
        import collections.abc, sys, _kestrelite_rs
        agg = _kestrelite_rs.BatchAggregator()
        seen = []
        sys.unraisablehook = lambda u: seen.append((u.exc_type.__name__, str(u.exc_value),
                                                    type(u.object).__name__))
        mode = []

        class Hook(collections.abc.Sequence):
            @classmethod
            def __subclasshook__(cls, other):
                if mode == ["len"]:
                    try:
                        agg.len()
                    except RuntimeError as error:
                        seen.append(str(error))
                if mode == ["raise"]:
                    raise ArithmeticError("check failed")
                return NotImplemented
            def __len__(self): return 0
            def __getitem__(self, i): raise IndexError(i)

        class First:
            def __len__(self): return 0
            def __getitem__(self, i): raise IndexError(i)
        class Second(First):
            pass

        mode[:] = ["len"]
        try:
            agg.add_keys_batch(First())
        except TypeError as error:
            print(error)
        mode[:] = ["raise"]
        try:
            agg.add_keys_batch(Second())
        except TypeError as error:
            print(error)
        print(seen)
        print(agg.len())
    """)
    assert out.splitlines() == [
        "argument 'keys': 'First' object cannot be converted to 'Sequence'",
        "argument 'keys': 'Second' object cannot be converted to 'Sequence'",
        "['Already mutably borrowed', ('ArithmeticError', 'check failed', 'Second')]",
        "0",
    ]


# ---- clear, order, lifetime -----------------------------------------------------------------


def test_clear_empties_and_the_aggregator_keeps_working(mod):
    agg = mod.BatchAggregator()
    agg.add_keys_batch([2, 1, "b", "a"])
    assert agg.clear() is None
    assert (agg.len(), agg.is_empty(), agg.get_keys()) == (0, True, [])
    assert agg.add_keys_batch([1, "a", 2, "b"]) == 4
    assert agg.get_keys() == [1, 2, "a", "b"]
    agg.clear()
    agg.clear()
    assert agg.add_key(1) is True


def test_get_keys_lists_integers_first_each_group_in_insertion_order(mod):
    agg = mod.BatchAggregator()
    for key in ["x", 5, "a", 7, -1, "b", 5, "x", 2**64, 0]:
        agg.add_key(key)
    assert agg.get_keys() == [5, 7, -1, 0, "x", "a", "b", "18446744073709551616"]
    assert agg.len() == 8


def test_get_keys_order_survives_growth_of_the_sets(mod):
    agg = mod.BatchAggregator()
    ints = [(i * 2654435761) % 100003 - 50000 for i in range(5000)]
    strs = [f"k{(i * 7919) % 5000}" for i in range(5000)]
    agg.add_keys_batch(strs)
    agg.add_keys_batch(ints)
    assert agg.get_keys() == list(dict.fromkeys(ints)) + list(dict.fromkeys(strs))


kOrderScript = """
    import _kestrelite_rs
    agg = _kestrelite_rs.BatchAggregator()
    for i in range(3000):
        agg.add_key(f"s{(i * 7919) % 3001}")
        agg.add_key((i * 104729) % 3001 - 1500)
    print(repr(agg.get_keys()))
"""


def test_get_keys_order_is_the_same_in_every_process(mod):
    runs = [run_python(mod, kOrderScript, PYTHONHASHSEED=seed) for seed in ("0", "1", "4242")]
    assert runs[0] == runs[1] == runs[2]
    expected_ints = list(dict.fromkeys((i * 104729) % 3001 - 1500 for i in range(3000)))
    expected_strs = list(dict.fromkeys(f"s{(i * 7919) % 3001}" for i in range(3000)))
    assert runs[0] == repr(expected_ints + expected_strs) + "\n"


def test_len_is_a_method_not_the_length_protocol(mod):
    agg = mod.BatchAggregator()
    with pytest.raises(TypeError) as excinfo:
        len(agg)
    assert str(excinfo.value) == "object of type 'builtins.BatchAggregator' has no len()"


def test_the_aggregator_holds_no_reference_to_its_keys(mod):
    agg = mod.BatchAggregator()

    class Key:
        def __str__(self):
            return "k"

    class Text(str):
        pass

    key, text = Key(), Text("t")
    refs = [weakref.ref(key), weakref.ref(text)]
    alone = sys.getrefcount(key)
    agg.add_key(key)
    agg.add_keys_batch([text, key])
    agg.add_key_str(text)
    after = sys.getrefcount(key)
    assert after == alone
    del key, text
    assert [r() for r in refs] == [None, None]
    assert agg.get_keys() == ["k", "t"]


@pytest.mark.parametrize(
    "method, doc, signature",
    [
        ("add_key_int", "Add an integer foreign key directly (Zero string formatting overhead)",
         "($self, key)"),
        ("add_key_str", "Add a string foreign key", "($self, key)"),
        ("add_key", "Dynamically add key checking type", "($self, key)"),
        ("add_keys_batch", "Batch add keys in a single FFI boundary call", "($self, keys)"),
        ("clear", "", "($self)"),
        ("len", "", "($self)"),
        ("is_empty", "", "($self)"),
    ],
)
def test_methods_carry_their_documentation(mod, method, doc, signature):
    function = getattr(mod.BatchAggregator, method)
    assert (function.__doc__ or "", function.__text_signature__) == (doc, signature)


def test_get_keys_documents_itself(mod):
    function = mod.BatchAggregator.get_keys
    assert function.__text_signature__ == "($self)"
    assert "\n" not in function.__doc__ and function.__doc__.strip() != ""


@pytest.mark.parametrize(
    "action",
    [
        lambda a: a.add_key(object()),
        lambda a: a.add_key(f"fresh{id(object())}") and a.clear(),
        lambda a: a.add_keys_batch([1, "x", None, 2**70, 2.5, b"b"]),
        lambda a: a.add_keys_batch(Seq(["p", 3])),
        lambda a: a.add_key(Raising()),
        lambda a: a.add_key("\udc80"),
        lambda a: pytest.raises(OverflowError, a.add_key_int, 2**64),
        lambda a: pytest.raises(TypeError, a.add_key_str, 1),
        lambda a: pytest.raises(TypeError, a.add_keys_batch, {1}),
        lambda a: a.get_keys(),
        lambda a: type(a)().add_keys_batch(["x" * 50, 1, "y" * 50]),
    ],
    ids=["object", "add-and-clear", "batch", "custom-sequence", "unprintable", "surrogate",
         "overflow", "not-str", "not-sequence", "get_keys", "aggregator-life"],
)
def test_repeated_calls_do_not_grow_memory(mod, action):
    agg = mod.BatchAggregator()
    agg.add_keys_batch([1, 2, "a"])
    with unraisable_dropped():
        assert_no_growth(lambda: action(agg))


# ---- against a model ------------------------------------------------------------------------


def model_key(key):
    """The key the aggregator stores for `key`, as (group, value)."""
    if isinstance(key, int) and -2**63 <= key < 2**63:
        return ("int", int(key))
    if isinstance(key, str):
        return ("str", key)
    return ("str", str(key))


keys_strategy = st.one_of(
    st.integers(-2**64, 2**64), st.integers(-3, 3), st.booleans(), st.none(),
    st.text(alphabet="ab1\u00e9", max_size=2), st.floats(allow_nan=False), st.binary(max_size=2),
    # Around the 15 bytes a key text keeps inline, with shared prefixes.
    st.sampled_from(["k" * 15, "k" * 16, "k" * 14 + "\u00e9", "k" * 15 + "\u00e9"]),
)


@given(st.lists(st.one_of(
    st.tuples(st.just("one"), keys_strategy),
    st.tuples(st.just("batch"), st.lists(keys_strategy, max_size=6)),
    st.tuples(st.just("clear")),
), max_size=20))
def test_the_aggregator_answers_like_the_model(mod, ops):
    agg = mod.BatchAggregator()
    ints, strs = {}, {}
    for op in ops:
        if op[0] == "clear":
            agg.clear()
            ints.clear()
            strs.clear()
            continue
        batch = [op[1]] if op[0] == "one" else op[1]
        new = 0
        for key in batch:
            group, value = model_key(key)
            target = ints if group == "int" else strs
            new += value not in target
            target.setdefault(value, None)
        result = agg.add_key(op[1]) if op[0] == "one" else agg.add_keys_batch(op[1])
        assert result == (bool(new) if op[0] == "one" else new)
        assert agg.get_keys() == list(ints) + list(strs)
        assert agg.len() == len(ints) + len(strs)
        assert agg.is_empty() is (not ints and not strs)


class OutOfMemoryIndex:
    def __index__(self):
        raise MemoryError

    def __str__(self):
        return "never stored"


@pytest.mark.parametrize("call", [lambda agg: agg.add_key(OutOfMemoryIndex()),
                                  lambda agg: agg.add_keys_batch([1, OutOfMemoryIndex(), 2])],
                         ids=["add_key", "add_keys_batch"])
def test_running_out_of_memory_reading_a_key_is_not_taken_for_a_text_key(mod, call):
    # Other failures of __index__ make the key its text form; this one must not.
    agg = mod.BatchAggregator()
    with pytest.raises(MemoryError):
        call(agg)
    assert "never stored" not in agg.get_keys()
    assert agg.len() == len(agg.get_keys())


# ---- float keys -----------------------------------------------------------------------------

any_bits_float = st.integers(0, 2**64 - 1).map(
    lambda bits: __import__("struct").unpack("<d", bits.to_bytes(8, "little"))[0])


class FloatSubclass(float):
    def __repr__(self):
        return "sub"


# Numbers with a few decimals, near and past the largest that keep that shape.
few_decimals_float = st.builds(lambda n, k: n / 10**k, st.integers(-10**17, 10**17),
                               st.integers(0, 8))


@given(st.lists(st.one_of(st.floats(), any_bits_float, few_decimals_float), max_size=20))
def test_a_float_key_is_stored_as_its_text(mod, values):
    a = mod.BatchAggregator()
    a.add_keys_batch(values)
    assert a.get_keys() == list(dict.fromkeys(str(v) for v in values))


def test_a_float_subclass_key_is_stored_as_its_own_text(mod):
    a = mod.BatchAggregator()
    a.add_key(FloatSubclass(1.5))
    assert a.get_keys() == ["sub"]

"""Hostile arguments shared by the fuzz, leak and thread suites.

Every object here misbehaves in one way a native method might not expect: a dunder that
raises, returns the wrong type, calls back into the instance under test, panics, or changes
the very dict the method is walking. Each misbehaviour is an `Action` that records when it
ran and which refusals it met, so a test can tell afterwards which outcome a call was
entitled to.

Actions only misbehave while armed (`with armed():`, around the call under test); outside
that window every dunder gives a harmless answer, so drawing, printing and checking the
objects never sets them off.
"""

import collections
import collections.abc
import contextlib
import ctypes
import functools
import sys

from hypothesis import strategies as st

import _kestrelite_rs as native

kRefusals = ("Already borrowed", "Already mutably borrowed")
kSizeChanged = "dictionary changed size during iteration"
kKeysChanged = "dictionary keys changed during iteration"
# A length no list could be sized for: a sequence claiming it must still be read.
kUnreservableLength = 2**62
# The smallest benchmark count whose tracker list has no expressible byte size.
kOverflowingCount = 2**58

kI64Edges = [0, 1, -1, 2**31 - 1, 2**31, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1,
             2**64, 2**100, -(2**100)]


def provoke_panic():
    """Makes the module raise its internal-failure exception and returns its class."""
    data = {"a": 0}

    class Grows:
        def __str__(self):
            data["grown"] = 0
            return "grows"

    data["b"] = Grows()
    try:
        native.StateTracker().set_initial_state(data)
    except BaseException as error:  # noqa: B036 - the class is what is wanted
        return type(error)
    raise AssertionError("a dict growing under set_initial_state did not fail")


PanicException = provoke_panic()


class HostileError(Exception):
    """Raised by hostile dunders: an ordinary exception the module must pass through."""


class HostileBaseError(BaseException):
    """Raised by hostile dunders: not an Exception, so it must propagate untouched."""


# ---- what a dunder does ---------------------------------------------------------------------

_armed = [False]


@contextlib.contextmanager
def armed():
    """Lets every action misbehave inside the block."""
    _armed[0] = True
    try:
        yield
    finally:
        _armed[0] = False


# Firings are logged only inside `recorded_firings()`, so arming alone keeps no memory.
_firings = [None]


@contextlib.contextmanager
def recorded_firings():
    """Logs every run of an action inside the block, in order, as a `Firing`."""
    _firings[0] = log = []
    try:
        yield log
    finally:
        _firings[0] = None


class Firing:
    """One run of an action: whether it raised out of its dunder and, for a mutation, the
    storage of the dict it changed right afterwards."""

    def __init__(self, action):
        self.action = action
        self.escaped = action.kind in ("raise", "panic")
        self.storage = None

    def __repr__(self):
        return f"Firing({self.action!r}, escaped={self.escaped}, storage={self.storage!r})"


# An entry of a dict's storage: its slot index, the identities of its key and value, and what
# a reader converting them would meet.
Entry = collections.namedtuple("Entry", "index key value key_is_text value_is_dict value_is_text")

_dict_next = ctypes.pythonapi.PyDict_Next
_dict_next.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.c_ssize_t),
                       ctypes.POINTER(ctypes.py_object), ctypes.POINTER(ctypes.py_object)]
_dict_next.restype = ctypes.c_int


def is_text(obj):
    """True for a str (or subclass) with a UTF-8 form; runs none of the object's dunders."""
    if not issubclass(type(obj), str):
        return False
    try:
        str.encode(obj, "utf-8")
    except UnicodeEncodeError:
        return False
    return True


def storage(d):
    """The live entries of a dict's own storage, in slot order, as the interpreter's walk
    finds them; neither the dict nor its contents run any code, and nothing is kept alive."""
    entries = []
    pos = ctypes.c_ssize_t(0)
    key, value = ctypes.py_object(), ctypes.py_object()
    while _dict_next(d, ctypes.byref(pos), ctypes.byref(key), ctypes.byref(value)):
        k, v = key.value, value.value
        entries.append(Entry(pos.value - 1, id(k), id(v), is_text(k), issubclass(type(v), dict),
                             is_text(v)))
    return entries


class Slot:
    """Stands for an object known only when a case runs (see `Scan.bind`)."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"<{self.name}>"


kSame = Slot("same instance")
kOther = Slot("other instance")
kWalked = Slot("dict being walked")
kLookedUp = Slot("dict being looked up")


class Action:
    """One misbehaviour, run each time the dunder it is attached to is called while armed.

    kind is one of:
      return   give `value` back (which may be of the wrong type for the dunder);
      raise    raise `value()` (an exception class);
      reenter  call `target.method(*args)`, record the borrow refusal it meets, give `value`;
      raw      as reenter, but let the refusal escape;
      mutate   change the dict `target` (how = grow, swap, clear), give `value` back;
      panic    make the module raise PanicException inside the dunder and let it escape.
    """

    def __init__(self, kind, value=None, target=None, call=None, how=None):
        self.kind = kind
        self.value = value
        self.target = target
        self.method, self.args, self.inner_kind = call or (None, (), None)
        self.how = how
        self.in_finaliser = False
        self.reset()

    def reset(self):
        self.fired = 0
        self.outcomes = []  # per inner call: None for success, else the refusal message

    def __repr__(self):
        if self.kind in ("reenter", "raw"):
            return f"Action({self.kind}, {self.target!r}.{self.method}{self.args!r})"
        if self.kind == "mutate":
            return f"Action(mutate {self.how})"
        if self.kind == "raise":
            return f"Action(raise {self.value.__name__})"
        return f"Action({self.kind}, {self.value!r})"

    @property
    def escaped(self):
        """True when a run of it raised out of the dunder."""
        return self.fired and (self.kind in ("raise", "panic") or (
            self.kind == "raw" and any(o is not None for o in self.outcomes)))

    @property
    def returned(self):
        """True when a run of it gave its value back."""
        return self.fired and not (self.kind in ("raise", "panic") or (
            self.kind == "raw" and all(o is not None for o in self.outcomes)))

    def __call__(self, inert):
        if not _armed[0]:
            return inert
        self.fired += 1
        firing = Firing(self)
        if _firings[0] is not None:
            _firings[0].append(firing)
        if self.kind == "return":
            return self.value
        if self.kind == "raise":
            raise self.value()
        if self.kind == "panic":
            native.StateTracker.benchmark_pure_rust(kOverflowingCount)
            raise AssertionError("the overflowing benchmark returned")
        if self.kind == "mutate":
            self._mutate()
            if _firings[0] is not None:
                firing.storage = storage(self.target)
            return self.value
        try:
            getattr(self.target, self.method)(*self.args)
        except RuntimeError as error:
            self.outcomes.append(str(error))
            if self.kind == "raw":
                firing.escaped = True
                raise
        else:
            self.outcomes.append(None)
        return self.value

    def _mutate(self):
        # dict's own methods: a subclass's overrides must not change what happens.
        d = self.target
        if self.how == "grow":
            dict.__setitem__(d, f"grown{dict.__len__(d)}", {})
        elif self.how == "clear":
            dict.clear(d)
        elif self.how == "swap" and dict.__len__(d):
            # Same size afterwards: one key replaced by a new one at the end.
            dict.pop(d, next(iter(dict.keys(d))))
            dict.__setitem__(d, f"swapped{dict.__len__(d)}", {})


# ---- misbehaving objects ------------------------------------------------------------------


class Hostile:
    """Base of the objects carrying actions; `actions()` lists them for the scanner."""

    def __init__(self, action):
        self.action = action

    def actions(self):
        return [self.action]

    def __repr__(self):
        return f"{type(self).__name__}({self.action!r})"


class Printable(Hostile):
    """str() runs the action."""

    def __str__(self):
        return self.action("inert")


class Indexable(Hostile):
    """operator.index() runs the action."""

    def __index__(self):
        return self.action(0)


class Finalised(Hostile):
    """Deleting the last reference runs the action; whatever it raises is swallowed."""

    def __init__(self, action):
        super().__init__(action)
        # When a finaliser runs depends on who else holds the object: no outcome is implied.
        action.in_finaliser = True

    def __del__(self):
        with contextlib.suppress(BaseException):
            self.action(None)


class ClassRaises(Hostile):
    """Reading __class__ (as isinstance() does for an abstract class) runs the action."""

    @property
    def __class__(self):  # noqa: PLE0237 - the point of the object
        result = self.action(type(self))
        return result if isinstance(result, type) else type(self)


class CollidingKey(Hostile):
    """A dict key hashing like `twin`, so a lookup of `twin` compares with it (its __eq__)."""

    def __init__(self, action, twin):
        super().__init__(action)
        self.twin = twin

    def __hash__(self):
        return hash(self.twin)

    def __eq__(self, other):
        result = self.action(NotImplemented)
        return result if isinstance(result, bool) else NotImplemented

    def __repr__(self):
        return f"CollidingKey({self.action!r}, {self.twin!r})"


def fresh_copy(item):
    """An equal item that nothing else holds: strs (of two characters or more, the shorter
    ones are shared by the interpreter) and tuples of them are built anew."""
    if type(item) is str and len(item) > 1:
        return (item + "!")[:-1]
    if isinstance(item, tuple):
        members = [fresh_copy(member) for member in item]
        return type(item)(*members) if hasattr(item, "_fields") else type(item)(members)
    return item


class HostileSequence(Hostile, collections.abc.Sequence):
    """A registered Sequence over `items`: `len_action` answers len() when given, and
    `item_action` runs in place of item `at`. Indexes past the items raise IndexError, so a
    lying length never makes a walk endless. Each item is handed out as a fresh copy, so a
    reader that does not hold what it reads is left with freed memory."""

    def __init__(self, items, len_action=None, item_action=None, at=0):
        super().__init__(item_action)
        self.items = list(items)
        self.len_action = len_action
        self.at = at

    def actions(self):
        return [a for a in (self.len_action, self.action) if a is not None]

    def __len__(self):
        return self.len_action(len(self.items)) if self.len_action else len(self.items)

    def __getitem__(self, i):
        if not isinstance(i, int):
            raise TypeError("indexes only")
        inert = self.items[i] if 0 <= i < len(self.items) else None
        if self.action is not None and i == self.at and _armed[0]:
            return fresh_copy(self.action(inert))
        if not 0 <= i < len(self.items):
            raise IndexError(i)
        return fresh_copy(inert)

    def __repr__(self):
        return (f"HostileSequence({self.items!r}, len={self.len_action!r}, "
                f"item={self.action!r}@{self.at})")


class ItemAccessOnly:
    """Item access without the Sequence registration: passes the interpreter's sequence
    test, fails the abstract-class one."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"ItemAccessOnly({self.items!r})"


def _numpy_bool(self):
    return self.action(False)


# A type that claims to be numpy's boolean scalar, so the bool conversion asks its __bool__.
NumpyLikeBool = type("bool_", (Hostile,), {"__module__": "numpy", "__bool__": _numpy_bool})
# The same claim from a type that has no __bool__ to ask.
NumpyLikeWithoutBool = type("bool_", (), {"__module__": "numpy",
                                          "__repr__": lambda self: "NumpyLikeWithoutBool()"})


class UglyType(type):
    """A metaclass whose classes cannot say their own names."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise HostileError("no qualname")
        if name == "__name__":
            return 42
        if name == "__module__" and _armed[0]:
            raise HostileError("no module")
        return super().__getattribute__(name)


class Nameless(metaclass=UglyType):
    """Its type has neither a readable qualname nor a str name; str() of it raises."""

    def __str__(self):
        if _armed[0]:
            raise HostileError("no str either")
        return "Nameless"

    def __repr__(self):
        return "Nameless()"


class SneakyStr(str):
    """A str whose own dunders misbehave; the module must read its characters only."""

    def __str__(self):
        if _armed[0]:
            raise HostileError("SneakyStr.__str__ must not be called")
        return str.__str__(self)

    def __eq__(self, other):
        return str.__eq__(self, other)

    def __hash__(self):
        return str.__hash__(self)

    def __repr__(self):
        return f"SneakyStr({str.__repr__(self)})"


# Overrides that the module must never call, recorded when it does while armed.
violations = []


class SneakyDict(dict):
    """A dict whose overridden views lie; a walk of its own storage never sees them."""

    def _refuse(self, *_):
        if _armed[0]:
            violations.append("a SneakyDict override")
        raise HostileError("a SneakyDict override was called")

    __iter__ = items = keys = values = __getitem__ = __missing__ = get = _refuse

    def __len__(self):
        return 10**6

    def __repr__(self):
        return f"SneakyDict({dict.__repr__(self)})"


class MissingDict(dict):
    """A dict with a default for every key; plain lookups never consult it."""

    def __missing__(self, key):
        if _armed[0]:
            violations.append("MissingDict.__missing__")
        raise HostileError("MissingDict.__missing__ must not be called")


# ---- scanning an argument tree ---------------------------------------------------------------


class Scan:
    """Every Action and every object reachable from some roots, through containers, hostile
    objects and the values their actions hand out."""

    def __init__(self, *roots):
        self.actions = []
        self.objects = {}
        for root in roots:
            self._visit(root)

    def _visit(self, obj):
        if id(obj) in self.objects:
            return
        self.objects[id(obj)] = obj
        if isinstance(obj, Hostile):
            for a in obj.actions():
                if all(a is not b for b in self.actions):
                    self.actions.append(a)
                self._visit(a.value)
            self._visit(obj.__dict__.get("items"))
        elif isinstance(obj, ItemAccessOnly):
            self._visit(obj.items)
        elif isinstance(obj, (list, tuple)):
            for item in obj:
                self._visit(item)
        elif isinstance(obj, dict):
            for key, value in dict.items(obj):
                self._visit(key)
                self._visit(value)

    def bind(self, same=None, other=None, walked=None):
        """Puts the objects of a case in place of the slots its actions name."""
        chosen = {kSame: same, kOther: other, kWalked: walked}
        for a in self.actions:
            if isinstance(a.target, Slot):
                a.target = chosen[a.target]

    def contains(self, obj):
        return self.objects.get(id(obj)) is obj

    def fired(self):
        return [a for a in self.actions if a.fired]

    def reset(self):
        for a in self.actions:
            a.reset()


@contextlib.contextmanager
def recorded_unraisable():
    """Records every sys.unraisablehook call made inside the block, as (type, value, object)."""
    seen = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append((u.exc_type, u.exc_value, u.object))
    try:
        yield seen
    finally:
        sys.unraisablehook = previous


# ---- strategies -----------------------------------------------------------------------------

lone_surrogates = st.text(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF),
                          min_size=1, max_size=3)
kNames = ["a", "b", "id", "name", "sqlite", "postgres", "PostgreSQL", "MYSQL", "my_postgres",
          "", " mysql", "żółw", "𝄞", "data_type"]


def weighted(*pairs):
    """Draws from one of the strategies, chosen with the given weights. (st.one_of flattens
    nested alternatives, which would weigh each by its number of branches instead.)"""
    choices = [strategy for weight, strategy in pairs for _ in range(weight)]
    return st.sampled_from(choices).flatmap(lambda strategy: strategy)


# Names of tables, columns, fields and dialects; a few hold lone surrogates.
names = weighted(
    (6, st.sampled_from(kNames)),
    (3, st.text(max_size=8)),
    (1, st.builds(lambda a, s, b: a + s + b, st.text(max_size=3), lone_surrogates,
                  st.text(max_size=3))),
)


def is_utf8(s):
    return not any(0xD800 <= ord(c) <= 0xDFFF for c in s)


plain_ints = st.one_of(st.sampled_from(kI64Edges), st.integers())
plain_scalars = st.one_of(
    plain_ints, st.booleans(), st.floats(), st.none(), st.binary(max_size=6), names,
    st.builds(SneakyStr, names),
)
wrong_dunder_values = st.one_of(
    st.none(), st.floats(), st.sampled_from([2**70, -5, True, b"x", "text", [1]]))


class Targets:
    """The instance under test and a second one of its class."""

    def __init__(self, same):
        self.same = same
        self.other = type(same)()


# (method, args, borrow kind) of the calls an action may make into an instance.
kReentry = {
    "StateTracker": [
        ("get_field", ("a",), "shared"), ("is_dirty", (), "shared"),
        ("get_current_dict", (), "shared"), ("set_field", ("a", 1), "exclusive"),
        ("hydrate_snapshot", (), "exclusive"), ("set_initial_state", ({},), "exclusive"),
    ],
    "BatchAggregator": [
        ("len", (), "shared"), ("get_keys", (), "shared"), ("is_empty", (), "shared"),
        ("add_key", (1,), "exclusive"), ("clear", (), "exclusive"),
        ("add_keys_batch", ([2, "x"],), "exclusive"),
    ],
    "QueryCompiler": [
        ("get_placeholder", ("postgres", 1), "shared"),
        ("compile_delete", ("t", "id", "mysql"), "shared"),
    ],
    "SchemaDiffEngine": [("diff_table", ("t", {}, {}, "sqlite"), "shared")],
}


def actions(cls_name, result, walks=False, looked_up=False):
    """Actions whose `return` gives something drawn from `result`; with `walks`, also ones
    that change the dict the method is walking, with `looked_up` ones that change the dict a
    lookup is searching."""
    options = [
        st.builds(lambda v: Action("return", v), result),
        st.builds(lambda v: Action("return", v), wrong_dunder_values),
        st.builds(lambda e: Action("raise", e),
                  st.sampled_from([HostileError, HostileBaseError, TypeError, ValueError,
                                   OverflowError, RuntimeError, MemoryError])),
        st.builds(lambda kind, target, call, v: Action(kind, v, target=target, call=call),
                  st.sampled_from(["reenter", "reenter", "raw"]),
                  st.sampled_from([kSame, kSame, kOther]), st.sampled_from(kReentry[cls_name]),
                  result),
        st.builds(lambda v: Action("panic", v), result),
    ]
    targets = [kWalked] * walks + [kLookedUp] * looked_up
    if targets:
        options += [st.builds(lambda how, target, v: Action("mutate", v, target=target, how=how),
                              st.sampled_from(["grow", "swap", "clear"]),
                              st.sampled_from(targets), result)] * 2
    return st.one_of(options)


@functools.lru_cache(maxsize=None)
def hostile_values(cls_name, walks=False):
    """Objects whose str(), index(), finaliser or class check misbehave."""
    return weighted(
        (3, st.builds(Printable, actions(cls_name, names, walks))),
        (2, st.builds(Indexable, actions(cls_name, plain_ints, walks))),
        (1, st.builds(Finalised, actions(cls_name, st.none()))),
        (1, st.builds(ClassRaises, actions(cls_name, st.just(list)))),
        (1, st.just(Nameless())),
    )


@functools.lru_cache(maxsize=None)
def any_value(cls_name):
    """Anything at all: ordinary values, hostile objects and containers of them."""
    leaf = st.one_of(plain_scalars, hostile_values(cls_name))
    return st.recursive(
        leaf,
        lambda inner: st.one_of(st.lists(inner, max_size=4), st.tuples(inner, inner),
                                st.tuples(inner, inner, inner),
                                st.dictionaries(names, inner, max_size=3)),
        max_leaves=5,
    )


def str_args(cls_name):
    """Arguments for a str parameter: mostly strs, sometimes anything."""
    return weighted((4, names), (1, st.builds(SneakyStr, names)), (1, any_value(cls_name)))


def unsigned_args(cls_name):
    """Arguments for an unsigned parameter: small ints, edges, __index__ objects, anything."""
    indexables = st.builds(Indexable, actions(cls_name, st.integers(0, 50)))
    return weighted((3, st.integers(0, 50)), (1, plain_ints), (2, indexables),
                    (1, any_value(cls_name)))


def values_with_hostile(cls_name, walks=False):
    """Anything, hostile objects most often."""
    return weighted((1, plain_scalars), (3, hostile_values(cls_name, walks)),
                    (1, any_value(cls_name)))


def sequence_of(item, cls_name):
    """Sequences in every form the interpreter knows, holding `item`s, and non-sequences."""
    items = st.lists(item, max_size=5)
    lengths = st.one_of(st.integers(0, 8), st.just(kUnreservableLength))
    hostile = [
        st.builds(HostileSequence, items),
        st.builds(lambda xs, a: HostileSequence(xs, len_action=a), items,
                  actions(cls_name, lengths)),
        st.builds(lambda xs, a, at: HostileSequence(xs, item_action=a, at=at), items,
                  actions(cls_name, item), st.integers(0, 3)),
        st.builds(ClassRaises, actions(cls_name, st.just(list))),
    ]
    odd = [
        st.builds(ItemAccessOnly, items),
        st.builds(range, st.integers(0, 4)),
        names,
        st.binary(max_size=4),
        items.map(lambda xs: (x for x in xs)),
        st.sets(st.integers(), max_size=3),
        st.dictionaries(names, st.integers(), max_size=3),
        st.just(None),
    ]
    return weighted((4, items), (2, items.map(tuple)), *[(2, h) for h in hostile],
                    *[(1, o) for o in odd])


kRowTypes = {width: collections.namedtuple(f"Row{width}", [f"f{i}" for i in range(width)])
             for width in (2, 3)}


def str_tuples(width, cls_name):
    """Rows for the list-of-tuples parameters: right, wrong width, lists, odd members."""
    strs = st.one_of(names, names, st.builds(SneakyStr, names))
    row = st.tuples(*[strs] * width)
    return st.one_of(
        row, row, row,
        row.map(lambda xs: kRowTypes[width](*xs)),
        row.map(list),
        st.lists(strs, max_size=4).map(tuple),
        st.tuples(*[strs] * (width - 1), any_value(cls_name)),
    )


kDictKinds = [dict, dict, collections.OrderedDict, lambda: collections.defaultdict(list),
              SneakyDict, MissingDict]
kAttributeNames = ["data_type", "nullable", "primary_key"]

dict_keys = weighted((12, names), (2, st.builds(SneakyStr, names)), (1, plain_ints),
                     (1, st.none()), (1, st.tuples(st.integers())))


def fill(d, pairs):
    for key, value in pairs:
        dict.__setitem__(d, key, value)
    return d


def bound_dict(make, pairs, slot=kWalked):
    """A dict of `make` holding `pairs`, the actions in it that change `slot` bound to it."""
    d = fill(make(), pairs)
    for a in Scan(d).actions:
        if a.target is slot:
            a.target = d
    return d


def filled_dict(keys, values):
    """dicts and dict subclasses; actions in them that change `the dict being walked` are
    bound to the dict itself."""
    return st.builds(bound_dict, st.sampled_from(kDictKinds),
                     st.lists(st.tuples(keys, values), max_size=5))


def tracker_data(cls_name):
    """set_initial_state's `data`: values whose str() may change the dict being walked."""
    return filled_dict(dict_keys, values_with_hostile(cls_name, walks=True))


def model_fields(cls_name):
    """diff_table's `model_fields`: attribute dicts whose lookups and boolean conversions
    raise, re-enter, or change the model dict being walked or the attribute dict itself."""
    numpy_bools = st.builds(NumpyLikeBool,
                            actions(cls_name, st.booleans(), walks=True, looked_up=True))
    attribute_values = weighted((1, names), (1, st.none()), (1, st.booleans()), (1, plain_ints),
                                (3, numpy_bools), (1, st.builds(NumpyLikeWithoutBool)),
                                (1, any_value(cls_name)))
    colliding = st.builds(CollidingKey,
                          actions(cls_name, st.booleans(), walks=True, looked_up=True),
                          st.sampled_from(kAttributeNames))
    attribute_keys = weighted((3, st.sampled_from(kAttributeNames)), (1, names), (2, colliding))
    attrs = st.builds(bound_dict, st.sampled_from(kDictKinds),
                      st.lists(st.tuples(attribute_keys, attribute_values), max_size=4),
                      st.just(kLookedUp))
    return filled_dict(dict_keys, weighted((6, attrs), (1, any_value(cls_name))))


def db_columns(cls_name):
    """diff_table's `db_columns`: names to type texts, and a few values that are not str."""
    return filled_dict(dict_keys, st.one_of(names, names, any_value(cls_name)))

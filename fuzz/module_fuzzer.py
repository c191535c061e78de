#!/usr/bin/env python3
"""Coverage-guided fuzzing of every constructor and public method of the module.

Each input drives a short run of calls on fresh instances of the four classes, with arguments
of the expected shapes, of wrong types, and hostile ones: objects whose __str__, __index__,
__bool__, __eq__ or __hash__ raise, answer with the wrong type, or call back into an instance
in use; dicts changed while the module walks them; huge and edge integers; texts holding
U+0000, lone surrogates and characters outside the BMP; unknown and malformed keywords.

What counts as a finding, and nothing else:
- the process dies (a crash, or a sanitizer report when the module is built with one);
- a call raises an exception of a class that the module never raises and that no argument
  raised itself (SystemError, KeyError, AttributeError, ...);
- such an exception, or an internal failure naming no object, reaches the unraisable hook
  (the module reports there what a value's __str__ raised, and failures while freeing).

The module raises TypeError, ValueError, OverflowError, RuntimeError and MemoryError, and its
internal-failure exception; hostile objects raise Hostile or HostileBase, which must come
through as they are. Results are not checked: the unit and Python suites do that.

Run through scripts/fuzz.sh, which builds the instrumented module and preloads the sanitizer
runtime that the engine ships.
"""

import sys

import atheris

import _kestrelite_rs as native


class Hostile(Exception):
    """Raised by the hostile objects' methods."""


class HostileBase(BaseException):
    """Raised by the hostile objects' methods, past `except Exception`."""


# The classes the module itself may raise; subclasses (RecursionError, UnicodeError) are
# covered by their bases.
kModuleErrors = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError)
kHostileErrors = (Hostile, HostileBase)

kMethods = {
    native.QueryCompiler: [
        ("get_placeholder", ("str", "index")),
        ("compile_select", ("str", "strs", "triples", "triples", "pairs", "opt_index",
                            "opt_index", "str")),
        ("compile_insert", ("str", "strs", "str")),
        ("compile_update", ("str", "strs", "str", "str")),
        ("compile_delete", ("str", "str", "str")),
    ],
    native.StateTracker: [
        ("set_initial_state", ("row",)),
        ("set_field", ("str", "any")),
        ("get_field", ("str",)),
        ("is_dirty", ()),
        ("dirty_fields", ()),
        ("get_dirty_changes", ()),
        ("hydrate_snapshot", ()),
        ("get_current_dict", ()),
        ("benchmark_pure_rust", ("count",)),
    ],
    native.BatchAggregator: [
        ("add_key_int", ("index",)),
        ("add_key_str", ("str",)),
        ("add_key", ("any",)),
        ("add_keys_batch", ("keys",)),
        ("get_keys", ()),
        ("clear", ()),
        ("len", ()),
        ("is_empty", ()),
    ],
    native.SchemaDiffEngine: [
        ("diff_table", ("str", "model", "db", "str")),
    ],
}
kParameterNames = {
    "get_placeholder": ("dialect", "index"),
    "compile_select": ("table", "columns", "wheres", "joins", "order_by", "limit", "offset",
                       "dialect"),
    "compile_insert": ("table", "columns", "dialect"),
    "compile_update": ("table", "columns", "pk_col", "dialect"),
    "compile_delete": ("table", "pk_col", "dialect"),
    "set_initial_state": ("data",),
    "set_field": ("field", "value"),
    "get_field": ("field",),
    "benchmark_pure_rust": ("count",),
    "add_key_int": ("key",),
    "add_key_str": ("key",),
    "add_key": ("key",),
    "add_keys_batch": ("keys",),
    "diff_table": ("table_name", "model_fields", "db_columns", "_dialect"),
}

kTexts = ["", "id", "name", "users", "a\x00b", "\x00", "\ud800", "x\udfffy", "\U0001f600",
          "\u0130", "postgres", "POSTGRESQL", "mysql", "MySQL", "sqlite", "my_postgres",
          "left", "asc", "DESC", "=", "TEXT", "INTEGER", "x" * 300]
kInts = [0, 1, -1, 7, 2**31 - 1, 2**31, 2**53 + 1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1,
         2**64 - 1, 2**64, 2**100, -(2**100), 10**5000, -(10**5000) + 1, True, False]
# Counts the native benchmark may take without running for long; larger ones than these
# (up to the size that cannot be expressed) would only spend time.
kCounts = [0, 1, 3, 64, -1, 2**58, 2**63 - 1, 2**63, 2**64, -(2**63), 2**100, 10**5000]


class Fuzz:
    """One input's run: its data provider, its live instances and the re-entry depth."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.instances = [cls() for cls in kMethods]
        self.depth = 0

    def pick(self, values):
        return values[self.fdp.ConsumeIntInRange(0, len(values) - 1)]

    def chance(self, one_in):
        return self.fdp.ConsumeIntInRange(0, one_in - 1) == 0

    # ---- values --------------------------------------------------------------------

    def text(self):
        kind = self.fdp.ConsumeIntInRange(0, 4)
        if kind == 0:
            return self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, 24))
        if kind == 1:
            return StrSub(self.pick(kTexts))
        return self.pick(kTexts)

    def integer(self):
        if self.chance(3):
            return self.fdp.ConsumeIntInRange(-(2**70), 2**70)
        return self.pick(kInts)

    def anything(self):
        """A value of any type, hostile ones included."""
        kind = self.fdp.ConsumeIntInRange(0, 9)
        if kind <= 1:
            return self.text()
        if kind == 2:
            return self.integer()
        if kind == 3:
            return self.pick([None, 1.5, float("nan"), -0.0, 1e300, b"bytes", bytearray(b"x"),
                              object(), [], (), {}, {1, 2}, 2j, Ellipsis, type, print,
                              IntSub(5), IntSub(-(2**70)), StrSub("s")])
        if kind == 4 and self.depth < 3:
            return [self.anything() for _ in range(self.fdp.ConsumeIntInRange(0, 3))]
        return self.hostile()

    def hostile(self):
        """An object one of whose methods misbehaves in a way the input picks."""
        return Misbehaving(self, self.pick(kMisbehaviours), self.pick(kDunders))

    def shaped(self, shape):
        """A value of the shape a parameter wants; now and then anything at all."""
        if shape == "count":
            return self.pick(kCounts) if not self.chance(4) else IndexLike(self, kCounts)
        if self.chance(6):
            return self.anything()
        if shape == "str":
            return self.text()
        if shape == "index":
            return self.integer() if not self.chance(4) else IndexLike(self)
        if shape == "opt_index":
            return None if self.chance(2) else self.shaped("index")
        if shape == "strs":
            return self.container([self.text() for _ in range(self.length())])
        if shape == "triples":
            return self.container([self.tuple_of(3) for _ in range(self.length())])
        if shape == "pairs":
            return self.container([self.tuple_of(2) for _ in range(self.length())])
        if shape == "keys":
            if self.chance(3):
                return self.container(self.distinct(self.pick([int, str, IntSub])))
            return self.container([self.key() for _ in range(self.length())])
        if shape == "row":
            return self.walked_dict(lambda: self.anything())
        if shape == "model":
            return self.walked_dict(self.attributes)
        if shape == "db":
            return self.walked_dict(self.text)
        if shape == "any":
            return self.anything()
        raise AssertionError(shape)

    def key(self):
        return self.pick([self.integer, self.text, self.anything])()

    def length(self):
        """Mostly a few items; now and then past the sizes kept inline or scanned unindexed."""
        kind = self.fdp.ConsumeIntInRange(0, 15)
        if kind == 0:
            return self.fdp.ConsumeIntInRange(9, 80)
        if kind <= 2:
            return self.fdp.ConsumeIntInRange(5, 12)
        return self.fdp.ConsumeIntInRange(0, 4)

    def distinct(self, make):
        """Many distinct items at little cost in input: `make(i)` for a run of numbers."""
        first = self.fdp.ConsumeIntInRange(-(2**63) - 2, 2**63 + 2) if self.chance(4) else 0
        return [make(first + i) for i in range(self.length())]

    def tuple_of(self, n):
        if self.chance(8):
            n = self.fdp.ConsumeIntInRange(0, 4)
        items = tuple(self.text() for _ in range(n))
        return items if not self.chance(10) else list(items)

    def container(self, items):
        kind = self.fdp.ConsumeIntInRange(0, 5)
        if kind == 0:
            return tuple(items)
        if kind == 1:
            return ListSub(items)
        if kind == 2:
            return LyingSequence(self, items)
        if kind == 3:
            return iter(items)  # not a sequence
        return items

    def attributes(self):
        """A model column's attributes, some of which may change the dict they are in."""
        attrs = {}
        for name in ("data_type", "nullable", "primary_key", "other"):
            if self.chance(2):
                attrs[name] = self.pick([self.text, self.anything, lambda: self.pick(
                    [True, False, 0, 1, None]), lambda: Mutating(self, attrs)])()
        kind = self.fdp.ConsumeIntInRange(0, 9)
        if kind == 0:
            return self.anything()
        if kind == 1:
            return DictSub(attrs)
        return attrs

    def walked_dict(self, value):
        """A dict of names to values, some of which change the dict when they are read."""
        data = {}
        if self.chance(3):
            data.update((name, value()) for name in self.distinct(lambda i: "c%d" % i))
        for _ in range(self.length()):
            name = self.text() if not self.chance(10) else self.anything()
            try:
                data[name] = value()
            except (TypeError, Hostile, HostileBase):  # an unhashable or hostile name
                pass
        if self.chance(4):
            data[self.text()] = Mutating(self, data)
        return data if not self.chance(10) else DictSub(data)

    # ---- calls ---------------------------------------------------------------------

    def call(self):
        """One call: a method of one of the live instances, or a constructor."""
        if self.chance(12):
            cls = self.pick(list(kMethods))
            args = [self.anything() for _ in range(self.fdp.ConsumeIntInRange(0, 2))]
            return cls(*args)
        instance = self.pick(self.instances)
        name, shapes = self.pick(kMethods[type(instance)])
        names = kParameterNames.get(name, ())
        args = [self.shaped(shape) for shape in shapes]
        kwargs = {}
        if args and self.chance(3):
            # Some trailing arguments by keyword instead, possibly misspelt.
            cut = self.fdp.ConsumeIntInRange(0, len(args))
            for i in range(cut, len(args)):
                kwargs[names[i] if not self.chance(6) else self.text()] = args[i]
            args = args[:cut]
        if self.chance(10):
            args = args[:-1] if args and self.chance(2) else args + [self.anything()]
        method = getattr(instance, name)
        if self.chance(10):
            method = getattr(type(instance), name)  # unbound: the receiver is the first arg
            args = [self.pick(self.instances + [None, "x"])] + args
        try:
            return method(*args, **kwargs)
        except BaseException as error:
            if not is_expected(error) and not hasattr(error, "__fuzz_call__"):
                # The innermost call that let it through, for the report.
                error.__fuzz_call__ = "%s.%s with %d positional and keywords %s" % (
                    type(instance).__name__, name, len(args), sorted(map(ascii, kwargs)))
            raise

    def reenter(self):
        """A call made from inside one, as a hostile object's method. Half of the time what it
        raises, the module's internal failure included, comes out into the outer call."""
        if self.depth >= 3:
            return
        self.depth += 1
        try:
            if self.chance(2):
                self.call()
            else:
                self.guarded_call()
        finally:
            self.depth -= 1

    def guarded_call(self):
        try:
            self.call()
        except kModuleErrors + kHostileErrors:
            pass
        except BaseException as error:
            if not is_panic(error):
                if hasattr(error, "__fuzz_call__"):
                    raise AssertionError("unexpected %s from %s" % (
                        type(error).__name__, error.__fuzz_call__)) from error
                raise


kDunders = ["__str__", "__index__", "__bool__", "__eq__", "__hash__", "__len__", "__iter__"]
kMisbehaviours = ["raise", "raise_base", "wrong_type", "reenter", "huge", "nul", "surrogate"]


class Misbehaving:
    """An object whose `dunder` does `how`; its other methods behave."""

    def __init__(self, fuzz, how, dunder):
        self.fuzz, self.how, self.dunder = fuzz, how, dunder

    def act(self, dunder, normal):
        if dunder != self.dunder:
            return normal
        how = self.how
        if how == "raise":
            raise Hostile(dunder)
        if how == "raise_base":
            raise HostileBase(dunder)
        if how == "reenter":
            self.fuzz.reenter()
            return normal
        if how == "wrong_type":
            return {"__str__": 1, "__index__": "1", "__bool__": 2, "__hash__": "h",
                    "__len__": -1, "__iter__": 3}.get(dunder, normal)
        if how == "huge":
            return {"__str__": "x" * 100000, "__index__": 10**5000, "__hash__": 2**200,
                    "__len__": 2**62}.get(dunder, normal)
        if how == "nul":
            return "a\x00b" if dunder == "__str__" else normal
        return "\ud800" if dunder == "__str__" else normal

    def __str__(self):
        return self.act("__str__", "misbehaving")

    def __index__(self):
        return self.act("__index__", 3)

    def __bool__(self):
        return self.act("__bool__", True)

    def __eq__(self, other):
        return self.act("__eq__", self is other)

    def __hash__(self):
        return self.act("__hash__", id(self) >> 4)

    def __len__(self):
        return self.act("__len__", 1)

    def __iter__(self):
        return self.act("__iter__", iter(["misbehaving"]))


class IndexLike:
    """An integer by __index__ only, whose answer the input picks."""

    def __init__(self, fuzz, values=kInts):
        self.fuzz = fuzz
        self.value = fuzz.pick(values + ["raise", "reenter"])

    def __index__(self):
        if self.value == "raise":
            raise Hostile("__index__")
        if self.value == "reenter":
            self.fuzz.reenter()
            return 1
        return self.value


class StrSub(str):
    """A str subclass whose hash and equality still follow the text."""

    def __str__(self):
        return "changed by __str__"


class IntSub(int):
    """An int whose text is not its digits."""

    def __str__(self):
        return "IntSub(%d)" % self


class ListSub(list):
    pass


class DictSub(dict):
    pass


class LyingSequence:
    """A sequence whose length and items can disagree or fail."""

    def __init__(self, fuzz, items):
        self.items = items
        self.lie = fuzz.pick(["none", "longer", "shorter", "raise_len", "raise_item",
                              "reenter"])
        self.fuzz = fuzz

    def __len__(self):
        if self.lie == "raise_len":
            raise Hostile("__len__")
        if self.lie == "longer":
            return len(self.items) + 2
        if self.lie == "shorter":
            return max(len(self.items) - 1, 0)
        return len(self.items)

    def __getitem__(self, i):
        if self.lie == "raise_item":
            raise Hostile("__getitem__")
        if self.lie == "reenter":
            self.fuzz.reenter()
        if not 0 <= i < len(self.items):
            raise Hostile("__getitem__ past the end")
        return self.items[i]


# Registered as a Sequence, so that the module takes it for one.
__import__("collections.abc").abc.Sequence.register(LyingSequence)


class Mutating:
    """A value that changes the dict holding it when it is read."""

    def __init__(self, fuzz, target):
        self.target = target
        self.how = fuzz.pick(["grow", "clear", "replace", "pop"])

    def mutate(self):
        if self.how == "grow":
            self.target["grown%d" % len(self.target)] = 0
        elif self.how == "clear":
            self.target.clear()
        elif self.how == "replace":
            for name in list(self.target):
                self.target[name] = "replaced"
        elif self.target:
            self.target.popitem()

    def __str__(self):
        self.mutate()
        return "mutated"

    def __bool__(self):
        self.mutate()
        return True

    def get(self, *args):
        self.mutate()
        return None


def is_expected(error):
    return isinstance(error, kModuleErrors + kHostileErrors)


def is_panic(error):
    """The module's internal-failure exception (it is not a module attribute)."""
    return type(error).__qualname__ == "PanicException" and (
        type(error).__module__ == "_kestrelite_rs")


# Exceptions the module handed to the unraisable hook during the current input. The text form
# of a value whose __str__ raises reports that exception there, naming the value, whatever it
# is: the internal failure of a nested call made by that __str__ included. An internal failure
# reported with no object is one while an instance was freed, and a finding; so is any other
# exception class.
unexpected_unraisable = []


def unraisable_hook(report):
    error = report.exc_value
    if is_expected(error) or (is_panic(error) and report.object is not None):
        return
    unexpected_unraisable.append(error)


def test_one_input(data):
    fuzz = Fuzz(data)
    for _ in range(fuzz.fdp.ConsumeIntInRange(1, 8)):
        if fuzz.fdp.remaining_bytes() == 0:
            break
        fuzz.guarded_call()
    # The instances go now (the hostile objects they hold point back at `fuzz`, not at
    # them), so that a failure while freeing them shows in this input.
    fuzz.instances.clear()
    if unexpected_unraisable:
        error = unexpected_unraisable[0]
        unexpected_unraisable.clear()
        raise AssertionError("unraisable %r" % (error,)) from error


def main():
    sys.unraisablehook = unraisable_hook
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

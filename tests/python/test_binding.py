"""Argument matching, conversions, the borrow guard and internal failures, seen from Python."""

import collections
import collections.abc
import ctypes
import operator

import pytest

from support import message_of

# Valid arguments of every positional/keyword method, in parameter order.
kValid = {
    "QueryCompiler.get_placeholder": {"dialect": "postgres", "index": 3},
    "QueryCompiler.compile_select": {
        "table": "t", "columns": ["a"], "wheres": [("a", "=", "1")], "joins": [],
        "order_by": [("a", "asc")], "limit": 2, "offset": 4, "dialect": "postgres",
    },
    "QueryCompiler.compile_insert": {"table": "t", "columns": ["a"], "dialect": "postgres"},
    "QueryCompiler.compile_update": {
        "table": "t", "columns": ["a"], "pk_col": "id", "dialect": "postgres"},
    "QueryCompiler.compile_delete": {"table": "t", "pk_col": "id", "dialect": "postgres"},
    "BatchAggregator.add_key_int": {"key": 5},
    "BatchAggregator.add_key_str": {"key": "k"},
    "BatchAggregator.add_key": {"key": 5},
    "BatchAggregator.add_keys_batch": {"keys": [1, "a"]},
    "StateTracker.set_initial_state": {"data": {"a": 1}},
    "StateTracker.set_field": {"field": "a", "value": 1},
    "StateTracker.get_field": {"field": "a"},
    "SchemaDiffEngine.diff_table": {
        "table_name": "t", "model_fields": {}, "db_columns": {}, "_dialect": "sqlite"},
}

kStrParams = [
    ("QueryCompiler.get_placeholder", "dialect"),
    ("QueryCompiler.compile_select", "table"),
    ("QueryCompiler.compile_select", "dialect"),
    ("QueryCompiler.compile_insert", "table"),
    ("QueryCompiler.compile_insert", "dialect"),
    ("QueryCompiler.compile_update", "table"),
    ("QueryCompiler.compile_update", "pk_col"),
    ("QueryCompiler.compile_update", "dialect"),
    ("QueryCompiler.compile_delete", "table"),
    ("QueryCompiler.compile_delete", "pk_col"),
    ("QueryCompiler.compile_delete", "dialect"),
    ("BatchAggregator.add_key_str", "key"),
    ("StateTracker.set_field", "field"),
    ("StateTracker.get_field", "field"),
    ("SchemaDiffEngine.diff_table", "table_name"),
    ("SchemaDiffEngine.diff_table", "_dialect"),
]
kUnsignedParams = [
    ("QueryCompiler.get_placeholder", "index"),
    ("QueryCompiler.compile_select", "limit"),
    ("QueryCompiler.compile_select", "offset"),
]
kIntegerParams = kUnsignedParams + [("BatchAggregator.add_key_int", "key")]
kListParams = [
    ("QueryCompiler.compile_select", "columns"),
    ("QueryCompiler.compile_select", "wheres"),
    ("QueryCompiler.compile_select", "joins"),
    ("QueryCompiler.compile_select", "order_by"),
    ("QueryCompiler.compile_insert", "columns"),
    ("QueryCompiler.compile_update", "columns"),
]
kDictParams = [
    ("StateTracker.set_initial_state", "data"),
    ("SchemaDiffEngine.diff_table", "model_fields"),
    ("SchemaDiffEngine.diff_table", "db_columns"),
]


def ids(pairs):
    return [f"{target}:{param}" for target, param in pairs]


def bound(mod, target):
    """The callable named "Class.method" (on a fresh instance) or "Class" (the constructor)."""
    class_name, _, method = target.partition(".")
    cls = getattr(mod, class_name)
    if not method:
        return cls
    if isinstance(vars(cls)[method], staticmethod):
        return getattr(cls, method)
    return getattr(cls(), method)


def call_with(mod, target, form, **changes):
    """Calls `target` with its valid arguments, some replaced, by position or by keyword."""
    kwargs = dict(kValid[target], **changes)
    method = bound(mod, target)
    if form == "keyword":
        return method(**kwargs)
    return method(*kwargs.values())


def c_api_message(function_name, value):
    """The interpreter's own message when a C-API integer reader refuses `value`."""
    function = getattr(ctypes.pythonapi, function_name)
    function.argtypes = [ctypes.py_object]
    function.restype = ctypes.c_ulonglong
    return message_of(lambda: function(value))


# ---- argument matching -------------------------------------------------------------------


@pytest.mark.parametrize(
    "target, args, kwargs, message",
    [
        ("BatchAggregator", (1,), {}, "BatchAggregator.__new__() takes 0 positional arguments but 1 was given"),
        ("BatchAggregator.add_key", (1, 2), {},
         "BatchAggregator.add_key() takes 1 positional arguments but 2 were given"),
        ("BatchAggregator.add_keys_batch", ([], [], []), {},
         "BatchAggregator.add_keys_batch() takes 1 positional arguments but 3 were given"),
        ("StateTracker.set_field", ("f", 1, 2), {},
         "StateTracker.set_field() takes 2 positional arguments but 3 were given"),
        ("StateTracker.benchmark_pure_rust", (1, 2), {},
         "StateTracker.benchmark_pure_rust() takes 1 positional arguments but 2 were given"),
        ("QueryCompiler.get_placeholder", ("sqlite", 1, 2), {},
         "QueryCompiler.get_placeholder() takes 2 positional arguments but 3 were given"),
        ("QueryCompiler.compile_select", ("t", [], [], [], [], 1, 2, "sqlite", 9), {},
         "QueryCompiler.compile_select() takes from 5 to 8 positional arguments but 9 were given"),
        ("QueryCompiler.compile_select", tuple(range(10)), {},
         "QueryCompiler.compile_select() takes from 5 to 8 positional arguments but 10 were given"),
        ("QueryCompiler.compile_update", ("t", [], "id", "sqlite", 5), {},
         "QueryCompiler.compile_update() takes 4 positional arguments but 5 were given"),
        ("SchemaDiffEngine.diff_table", (1, 2, 3, 4, 5), {},
         "SchemaDiffEngine.diff_table() takes 4 positional arguments but 5 were given"),
        # Counted before any keyword is looked at and before anything is converted.
        ("BatchAggregator.add_key", (1, 2), {"k": 3},
         "BatchAggregator.add_key() takes 1 positional arguments but 2 were given"),
        ("QueryCompiler.compile_delete", (1, 2, 3, 4), {},
         "QueryCompiler.compile_delete() takes 3 positional arguments but 4 were given"),
    ],
)
def test_too_many_positional(mod, target, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        bound(mod, target)(*args, **kwargs)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "target, args, kwargs, message",
    [
        ("BatchAggregator.add_key", (1,), {"key": 2},
         "BatchAggregator.add_key() got multiple values for argument 'key'"),
        ("QueryCompiler.compile_select", ("t", [], [], [], [], 1), {"limit": 2},
         "QueryCompiler.compile_select() got multiple values for argument 'limit'"),
        ("QueryCompiler.compile_delete", ("t", "id", "sqlite"), {"table": "x"},
         "QueryCompiler.compile_delete() got multiple values for argument 'table'"),
        ("StateTracker.set_field", ("f", 1), {"value": 2},
         "StateTracker.set_field() got multiple values for argument 'value'"),
        ("SchemaDiffEngine.diff_table", ("t", {}, {}, "x"), {"table_name": "u"},
         "SchemaDiffEngine.diff_table() got multiple values for argument 'table_name'"),
        # The keywords are walked in the caller's order; the first bad one is reported.
        ("BatchAggregator.add_key", (1,), {"key": 2, "k": 3},
         "BatchAggregator.add_key() got multiple values for argument 'key'"),
        ("BatchAggregator.add_key", (1,), {"k": 3, "key": 2},
         "BatchAggregator.add_key() got an unexpected keyword argument 'k'"),
        ("QueryCompiler.get_placeholder", ("sqlite",), {"dialect": "x", "bogus": 1},
         "QueryCompiler.get_placeholder() got multiple values for argument 'dialect'"),
        ("BatchAggregator.add_key", (), {"b": 1, "a": 2},
         "BatchAggregator.add_key() got an unexpected keyword argument 'b'"),
        # Unknown names are reported before missing ones.
        ("BatchAggregator.add_key", (), {"k": 1},
         "BatchAggregator.add_key() got an unexpected keyword argument 'k'"),
        ("QueryCompiler.compile_select", (), {"table": "t", "bogus": 1},
         "QueryCompiler.compile_select() got an unexpected keyword argument 'bogus'"),
        ("QueryCompiler.compile_select", ("t", [], [], [], []), {"Limit": 1},
         "QueryCompiler.compile_select() got an unexpected keyword argument 'Limit'"),
        ("SchemaDiffEngine.diff_table", ("t", {}, {}), {"dialect": "x"},
         "SchemaDiffEngine.diff_table() got an unexpected keyword argument 'dialect'"),
        ("QueryCompiler.get_placeholder", (), {"self": 1, "dialect": "x", "index": 1},
         "QueryCompiler.get_placeholder() got an unexpected keyword argument 'self'"),
        ("StateTracker.benchmark_pure_rust", (), {"counts": 1},
         "StateTracker.benchmark_pure_rust() got an unexpected keyword argument 'counts'"),
        ("StateTracker", (), {"data": {}},
         "StateTracker.__new__() got an unexpected keyword argument 'data'"),
        # A name that is not valid UTF-8 is shown by its text form.
        ("BatchAggregator.add_key", (), {"\ud800": 1},
         "BatchAggregator.add_key() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
        # Messages are whole texts: U+0000 inside a name cuts nothing.
        ("QueryCompiler.get_placeholder", ("sqlite", 1), {"a\x00b": 1},
         "QueryCompiler.get_placeholder() got an unexpected keyword argument 'a\x00b'"),
        ("StateTracker", (), {"a\x00b": 1},
         "StateTracker.__new__() got an unexpected keyword argument 'a\x00b'"),
    ],
)
def test_keyword_errors(mod, target, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        bound(mod, target)(*args, **kwargs)
    assert str(excinfo.value) == message


@pytest.mark.skipif(not hasattr(ctypes.pythonapi, "PyObject_Vectorcall"),
                    reason="this interpreter does not export PyObject_Vectorcall")
@pytest.mark.parametrize("names, message", [
    # The second pk_col lands where pk_col would stand in parameter order.
    (("pk_col", "pk_col", "table", "dialect"),
     "QueryCompiler.compile_delete() got multiple values for argument 'pk_col'"),
    (("table", "table", "pk_col", "dialect"),
     "QueryCompiler.compile_delete() got multiple values for argument 'table'"),
])
def test_native_caller_repeating_a_keyword_is_refused(mod, names, message):
    # Python code cannot name a keyword twice; a native caller can, through the vector call.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                           ctypes.py_object]
    values = (ctypes.py_object * 4)("users", "id", "users2", "postgres")
    method = mod.QueryCompiler().compile_delete
    with pytest.raises(TypeError) as excinfo:
        vectorcall(method, values, 0, names)
    assert str(excinfo.value) == message

@pytest.mark.parametrize(
    "target, args, kwargs, message",
    [
        ("BatchAggregator.add_key", (), {},
         "BatchAggregator.add_key() missing 1 required positional argument: 'key'"),
        ("StateTracker.set_field", (), {"value": 1},
         "StateTracker.set_field() missing 1 required positional argument: 'field'"),
        ("StateTracker.set_initial_state", (), {},
         "StateTracker.set_initial_state() missing 1 required positional argument: 'data'"),
        ("StateTracker.benchmark_pure_rust", (), {},
         "StateTracker.benchmark_pure_rust() missing 1 required positional argument: 'count'"),
        ("QueryCompiler.get_placeholder", (), {},
         "QueryCompiler.get_placeholder() missing 2 required positional arguments: "
         "'dialect' and 'index'"),
        ("QueryCompiler.compile_delete", ("t",), {},
         "QueryCompiler.compile_delete() missing 2 required positional arguments: "
         "'pk_col' and 'dialect'"),
        ("QueryCompiler.compile_update", ("t",), {"pk_col": "id"},
         "QueryCompiler.compile_update() missing 2 required positional arguments: "
         "'columns' and 'dialect'"),
        ("QueryCompiler.compile_update", ("t",), {},
         "QueryCompiler.compile_update() missing 3 required positional arguments: "
         "'columns', 'pk_col', and 'dialect'"),
        ("SchemaDiffEngine.diff_table", (), {},
         "SchemaDiffEngine.diff_table() missing 4 required positional arguments: "
         "'table_name', 'model_fields', 'db_columns', and '_dialect'"),
        ("QueryCompiler.compile_select", (), {},
         "QueryCompiler.compile_select() missing 5 required positional arguments: "
         "'table', 'columns', 'wheres', 'joins', and 'order_by'"),
        ("QueryCompiler.compile_select", (), {"columns": [], "joins": [], "dialect": "x"},
         "QueryCompiler.compile_select() missing 3 required positional arguments: "
         "'table', 'wheres', and 'order_by'"),
        # Optional parameters given do not stand in for required ones.
        ("QueryCompiler.compile_select", ("t", [], []), {"limit": 1, "offset": 2},
         "QueryCompiler.compile_select() missing 2 required positional arguments: "
         "'joins' and 'order_by'"),
    ],
)
def test_missing_required(mod, target, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        bound(mod, target)(*args, **kwargs)
    assert str(excinfo.value) == message


@pytest.mark.parametrize("target", list(kValid))
def test_positional_and_keyword_forms_agree(mod, target):
    by_position = call_with(mod, target, "positional")
    by_keyword = call_with(mod, target, "keyword")
    reordered = bound(mod, target)(**dict(reversed(list(kValid[target].items()))))
    assert by_position == by_keyword == reordered


def test_keyword_names_compare_by_text(mod):
    class Name(str):
        pass

    aggregator = mod.BatchAggregator()
    assert aggregator.add_key_str(**{Name("key"): "k"}) is True
    assert aggregator.get_keys() == ["k"]


# ---- str arguments ---------------------------------------------------------------------------


class Holder:
    class Nested:
        pass


class UnnamedMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name today")
        return super().__getattribute__(name)


class Unnamed(metaclass=UnnamedMeta):
    pass


class NulNamed:
    pass


NulNamed.__qualname__ = "Nul\x00Named"  # a type's name may not hold U+0000; its qualname may


@pytest.mark.parametrize("form", ["positional", "keyword"])
@pytest.mark.parametrize("target, param", kStrParams, ids=ids(kStrParams))
@pytest.mark.parametrize(
    "value, shown",
    [(5, "int"), (None, "NoneType"), (b"t", "bytes"), (["t"], "list"),
     (Holder.Nested(), "Holder.Nested"), (Unnamed(), "<failed to extract type name>"),
     (NulNamed(), "Nul\x00Named")],
    ids=["int", "None", "bytes", "list", "qualname", "unnamed", "nul-qualname"],
)
def test_str_argument_refuses_non_str(mod, target, param, form, value, shown):
    with pytest.raises(TypeError) as excinfo:
        call_with(mod, target, form, **{param: value})
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == (
        f"argument '{param}': '{shown}' object cannot be converted to 'PyString'")


@pytest.mark.parametrize("target, param", kStrParams, ids=ids(kStrParams))
def test_str_argument_with_lone_surrogate_raises_unicode_error_unprefixed(mod, target, param):
    value = "a\udc80b"
    with pytest.raises(UnicodeEncodeError) as excinfo:
        call_with(mod, target, "keyword", **{param: value})
    with pytest.raises(UnicodeEncodeError) as reference:
        value.encode("utf-8")
    assert str(excinfo.value) == str(reference.value)
    assert excinfo.value.args == reference.value.args


def test_str_subclass_is_read_as_its_own_text(mod):
    class Tricky(str):
        def __str__(self):
            return "other"

    compiler = mod.QueryCompiler()
    assert compiler.compile_delete(Tricky("users"), Tricky("id"), Tricky("postgres")) == (
        "DELETE FROM users WHERE id = $1")
    aggregator = mod.BatchAggregator()
    aggregator.add_key_str(Tricky("k"))
    assert aggregator.get_keys() == ["k"]


# ---- integer arguments -----------------------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntWithIndex(int):
    def __index__(self):
        return 99


def integer_result(mod, target, param, value):
    """What the integer argument became, read back through the method's result."""
    if target == "BatchAggregator.add_key_int":
        aggregator = mod.BatchAggregator()
        aggregator.add_key_int(value)
        return aggregator.get_keys()[0]
    if target == "QueryCompiler.get_placeholder":
        return int(mod.QueryCompiler().get_placeholder("postgres", value)[1:])
    text, _ = mod.QueryCompiler().compile_select("t", [], [], [], [], **{param: value})
    return int(text.rsplit(" ", 1)[1])


@pytest.mark.parametrize("target, param", kIntegerParams, ids=ids(kIntegerParams))
@pytest.mark.parametrize(
    "value, expected",
    [(0, 0), (7, 7), (True, 1), (False, 0), (Index(12), 12), (IntWithIndex(5), 5),
     (2**63 - 1, 2**63 - 1)],
    ids=["zero", "seven", "True", "False", "index", "int-subclass", "max-i64"],
)
def test_integer_argument_accepts(mod, target, param, value, expected):
    assert integer_result(mod, target, param, value) == expected


@pytest.mark.parametrize("target, param", kUnsignedParams, ids=ids(kUnsignedParams))
def test_unsigned_argument_reaches_two_to_the_64_minus_one(mod, target, param):
    assert integer_result(mod, target, param, 2**64 - 1) == 2**64 - 1


def test_signed_argument_reaches_its_minimum(mod):
    assert integer_result(mod, "BatchAggregator.add_key_int", "key", -2**63) == -2**63


@pytest.mark.parametrize("form", ["positional", "keyword"])
@pytest.mark.parametrize(
    "target, param, value, reader",
    [
        *[(t, p, v, "PyLong_AsUnsignedLongLong") for t, p in kUnsignedParams
          for v in (-1, 2**64, -2**70, Index(-3), Index(2**64))],
        *[("BatchAggregator.add_key_int", "key", v, "PyLong_AsLongLong")
          for v in (2**63, -2**63 - 1, Index(2**63))],
    ],
)
def test_integer_out_of_range_raises_overflow_unprefixed(mod, target, param, value, reader, form):
    with pytest.raises(OverflowError) as excinfo:
        call_with(mod, target, form, **{param: value})
    assert type(excinfo.value) is OverflowError
    plain = value.value if isinstance(value, Index) else value
    assert str(excinfo.value) == c_api_message(reader, plain)


class NotAnInt:
    def __index__(self):
        return "7"


@pytest.mark.parametrize("form", ["positional", "keyword"])
@pytest.mark.parametrize("target, param", kIntegerParams, ids=ids(kIntegerParams))
@pytest.mark.parametrize("value", [1.5, "5", [], NotAnInt()], ids=["float", "str", "list",
                                                                   "index-returns-str"])
def test_integer_argument_refusal_is_prefixed(mod, target, param, value, form):
    with pytest.raises(TypeError) as excinfo:
        call_with(mod, target, form, **{param: value})
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == f"argument '{param}': " + message_of(
        lambda: operator.index(value))


def test_none_index_is_refused(mod):
    with pytest.raises(TypeError) as excinfo:
        mod.QueryCompiler().get_placeholder("sqlite", None)
    assert str(excinfo.value) == "argument 'index': " + message_of(lambda: operator.index(None))


class TypeErrorKind(TypeError):
    pass


def raising_index(error):
    class Raiser:
        def __index__(self):
            raise error

    return Raiser()


@pytest.mark.parametrize("target, param", kIntegerParams, ids=ids(kIntegerParams))
@pytest.mark.parametrize(
    "make_error", [lambda: TypeErrorKind("sub"), lambda: ValueError("value"),
                   lambda: OverflowError("big"), lambda: KeyError("k")],
    ids=["TypeError-subclass", "ValueError", "OverflowError", "KeyError"],
)
def test_only_exact_type_error_is_prefixed(mod, target, param, make_error):
    error = make_error()
    with pytest.raises(type(error)) as excinfo:
        call_with(mod, target, "keyword", **{param: raising_index(error)})
    assert excinfo.value is error
    assert str(excinfo.value) == str(make_error())


@pytest.mark.parametrize("target, param", kIntegerParams, ids=ids(kIntegerParams))
def test_prefixed_type_error_keeps_the_cause(mod, target, param):
    cause = KeyError("inner cause")
    first = TypeError("not today")
    first.__cause__ = cause
    with pytest.raises(TypeError) as excinfo:
        call_with(mod, target, "keyword", **{param: raising_index(first)})
    assert type(excinfo.value) is TypeError
    assert excinfo.value is not first
    assert str(excinfo.value) == f"argument '{param}': not today"
    assert excinfo.value.__cause__ is cause

    with pytest.raises(TypeError) as excinfo:
        call_with(mod, target, "keyword", **{param: raising_index(TypeError("plain"))})
    assert str(excinfo.value) == f"argument '{param}': plain"
    assert excinfo.value.__cause__ is None


# ---- list arguments ---------------------------------------------------------------------------


def row_for(param):
    """One valid item of the list argument `param`."""
    return {"columns": "a", "wheres": ("a", "=", "1"), "joins": ("left", "u", "c"),
            "order_by": ("a", "asc")}[param]


def generator_of(items):
    yield from items


class ItemAccess:
    """A sequence by item access only: no __len__, no __iter__."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class LengthFails(ItemAccess):
    """Item access with a __len__ that raises: the length is only a hint."""

    def __len__(self):
        raise ValueError("no length")


class Failing:
    """Yields `row`, then raises `error`."""

    def __init__(self, row, error):
        self.row = row
        self.error = error

    def __getitem__(self, i):
        if i == 1:
            raise self.error
        return self.row


@pytest.mark.parametrize("form", ["positional", "keyword"])
@pytest.mark.parametrize("target, param", kListParams, ids=ids(kListParams))
@pytest.mark.parametrize(
    "make_value, message",
    [
        (lambda row: "abc", "Can't extract `str` to `Vec`"),
        (lambda row: "", "Can't extract `str` to `Vec`"),
        (lambda row: type("Text", (str,), {})("ab"), "Can't extract `str` to `Vec`"),
        (lambda row: {row}, "'set' object cannot be converted to 'Sequence'"),
        (lambda row: frozenset(), "'frozenset' object cannot be converted to 'Sequence'"),
        (lambda row: {row: 1}, "'dict' object cannot be converted to 'Sequence'"),
        (lambda row: generator_of([row]), "'generator' object cannot be converted to 'Sequence'"),
        (lambda row: iter([row]), "'list_iterator' object cannot be converted to 'Sequence'"),
        (lambda row: None, "'NoneType' object cannot be converted to 'Sequence'"),
        (lambda row: 5, "'int' object cannot be converted to 'Sequence'"),
    ],
    ids=["str", "empty-str", "str-subclass", "set", "frozenset", "dict", "generator",
         "iterator", "None", "int"],
)
def test_list_argument_refusals(mod, target, param, form, make_value, message):
    with pytest.raises(TypeError) as excinfo:
        call_with(mod, target, form, **{param: make_value(row_for(param))})
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == f"argument '{param}': {message}"


@pytest.mark.parametrize("target, param", kListParams, ids=ids(kListParams))
@pytest.mark.parametrize(
    "make_value",
    [lambda row: [row, row], lambda row: (row, row), lambda row: ItemAccess([row, row]),
     lambda row: LengthFails([row, row]), lambda row: collections.deque([row, row])],
    ids=["list", "tuple", "item-access", "length-fails", "deque"],
)
def test_list_argument_accepts_any_sequence(mod, target, param, make_value):
    row = row_for(param)
    assert call_with(mod, target, "keyword", **{param: make_value(row)}) == call_with(
        mod, target, "keyword", **{param: [row, row]})


@pytest.mark.parametrize("target, param", kListParams, ids=ids(kListParams))
def test_list_argument_accepts_range(mod, target, param):
    assert call_with(mod, target, "keyword", **{param: range(0)}) == call_with(
        mod, target, "keyword", **{param: []})
    # A range passes the sequence test; its items are then refused one by one.
    with pytest.raises(TypeError) as excinfo:
        call_with(mod, target, "keyword", **{param: range(3)})
    expected_target = "PyString" if param == "columns" else "PyTuple"
    assert str(excinfo.value) == (
        f"argument '{param}': 'int' object cannot be converted to '{expected_target}'")


@pytest.mark.parametrize("target, param", kListParams, ids=ids(kListParams))
def test_list_argument_iteration_errors(mod, target, param):
    # Only an exact TypeError gets the argument prefix, also when the iteration raises it.
    with pytest.raises(TypeError) as excinfo:
        call_with(mod, target, "keyword", **{param: Failing(row_for(param), TypeError("no item"))})
    assert str(excinfo.value) == f"argument '{param}': no item"
    error = LookupError("gone")
    with pytest.raises(LookupError) as excinfo:
        call_with(mod, target, "keyword", **{param: Failing(row_for(param), error)})
    assert excinfo.value is error


@pytest.mark.parametrize(
    "param, value, error, message",
    [
        ("columns", ["a", 1], TypeError,
         "argument 'columns': 'int' object cannot be converted to 'PyString'"),
        ("columns", [None], TypeError,
         "argument 'columns': 'NoneType' object cannot be converted to 'PyString'"),
        ("wheres", [["a", "=", "1"]], TypeError,
         "argument 'wheres': 'list' object cannot be converted to 'PyTuple'"),
        ("wheres", ["a = 1"], TypeError,
         "argument 'wheres': 'str' object cannot be converted to 'PyTuple'"),
        ("wheres", [("a", "=")], ValueError, "expected tuple of length 3, but got tuple of length 2"),
        ("wheres", [("a", "=", "1", "x")], ValueError,
         "expected tuple of length 3, but got tuple of length 4"),
        ("wheres", [("a", "=", 18)], TypeError,
         "argument 'wheres': 'int' object cannot be converted to 'PyString'"),
        ("joins", [("left", "u", None)], TypeError,
         "argument 'joins': 'NoneType' object cannot be converted to 'PyString'"),
        ("joins", [()], ValueError, "expected tuple of length 3, but got tuple of length 0"),
        ("order_by", [("a", "asc", "x")], ValueError,
         "expected tuple of length 2, but got tuple of length 3"),
        ("order_by", [("a",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ("order_by", [["a", "asc"]], TypeError,
         "argument 'order_by': 'list' object cannot be converted to 'PyTuple'"),
        ("order_by", [(1, "asc")], TypeError,
         "argument 'order_by': 'int' object cannot be converted to 'PyString'"),
        # The first bad item ends the conversion.
        ("wheres", [("a", "=", "1"), ("b",), 5], ValueError,
         "expected tuple of length 3, but got tuple of length 1"),
        ("wheres", [("a", "=", "1"), 5, ("b",)], TypeError,
         "argument 'wheres': 'int' object cannot be converted to 'PyTuple'"),
        ("joins", [("left", 1, None)], TypeError,
         "argument 'joins': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_list_item_errors(mod, param, value, error, message):
    with pytest.raises(error) as excinfo:
        call_with(mod, "QueryCompiler.compile_select", "keyword", **{param: value})
    assert type(excinfo.value) is error
    assert str(excinfo.value) == message


@pytest.mark.parametrize("param", ["columns", "wheres", "joins", "order_by"])
def test_list_item_with_lone_surrogate_raises_unicode_error_unprefixed(mod, param):
    row = row_for(param)
    bad = "x\ud800" if param == "columns" else (*row[:-1], "x\ud800")
    with pytest.raises(UnicodeEncodeError) as excinfo:
        call_with(mod, "QueryCompiler.compile_select", "keyword", **{param: [row, bad]})
    assert str(excinfo.value) == message_of(lambda: "x\ud800".encode("utf-8"))


def test_tuple_subclass_items_are_accepted(mod):
    Condition = collections.namedtuple("Condition", "column op value")
    Order = collections.namedtuple("Order", "column direction")
    compiler = mod.QueryCompiler()
    assert compiler.compile_select(
        "t", [], [Condition("a", "=", "1")], [], [Order("a", "desc")]) == compiler.compile_select(
        "t", [], [("a", "=", "1")], [], [("a", "desc")])


# ---- argument order and defaults --------------------------------------------------------------


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((5, "abc", None, None, None, -1, 1.5, None), TypeError,
         "argument 'table': 'int' object cannot be converted to 'PyString'"),
        (("t", "abc", {1}, None, None, -1, 1.5, None), TypeError,
         "argument 'columns': Can't extract `str` to `Vec`"),
        (("t", [], [("a",)], {1}, None, -1, 1.5, None), ValueError,
         "expected tuple of length 3, but got tuple of length 1"),
        (("t", [], [], 5, None, -1, 1.5, None), TypeError,
         "argument 'joins': 'int' object cannot be converted to 'Sequence'"),
        (("t", [], [], [], [()], -1, 1.5, None), ValueError,
         "expected tuple of length 2, but got tuple of length 0"),
        (("t", [], [], [], [], 1.5, -1, None), TypeError,
         "argument 'limit': 'float' object cannot be interpreted as an integer"),
        (("t", [], [], [], [], None, "5", None), TypeError,
         "argument 'offset': 'str' object cannot be interpreted as an integer"),
        (("t", [], [], [], [], None, None, None), TypeError,
         "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"),
    ],
    ids=["table", "columns", "wheres", "joins", "order_by", "limit", "offset", "dialect"],
)
def test_first_bad_argument_in_parameter_order_is_reported(mod, args, error, message):
    with pytest.raises(error) as excinfo:
        mod.QueryCompiler().compile_select(*args)
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "target, args, message",
    [
        ("QueryCompiler.compile_insert", (1, "abc", None),
         "argument 'table': 'int' object cannot be converted to 'PyString'"),
        ("QueryCompiler.compile_insert", ("t", "abc", None),
         "argument 'columns': Can't extract `str` to `Vec`"),
        ("QueryCompiler.compile_update", ("t", [], 1, None),
         "argument 'pk_col': 'int' object cannot be converted to 'PyString'"),
        ("QueryCompiler.compile_delete", ("t", "id", None),
         "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"),
        ("QueryCompiler.get_placeholder", (None, -1),
         "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'"),
        ("SchemaDiffEngine.diff_table", ("t", [], None, None),
         "argument 'model_fields': 'list' object cannot be converted to 'PyDict'"),
    ],
)
def test_other_methods_report_the_first_bad_argument(mod, target, args, message):
    with pytest.raises(TypeError) as excinfo:
        bound(mod, target)(*args)
    assert str(excinfo.value) == message


def test_none_paging_means_absent_but_none_dialect_is_refused(mod):
    compiler = mod.QueryCompiler()
    plain = compiler.compile_select("t", [], [], [], [])
    assert compiler.compile_select("t", [], [], [], [], None, None) == plain
    assert compiler.compile_select("t", [], [], [], [], limit=None, offset=None) == plain
    assert compiler.compile_select("t", [], [], [], [], dialect="sqlite") == plain
    with pytest.raises(TypeError) as excinfo:
        compiler.compile_select("t", [], [], [], [], dialect=None)
    assert str(excinfo.value) == (
        "argument 'dialect': 'NoneType' object cannot be converted to 'PyString'")


# ---- dict and sequence-object arguments --------------------------------------------------------


@pytest.mark.parametrize("form", ["positional", "keyword"])
@pytest.mark.parametrize("target, param", kDictParams, ids=ids(kDictParams))
@pytest.mark.parametrize(
    "value, shown",
    [([], "list"), (None, "NoneType"), (collections.abc.KeysView({}), "KeysView"),
     (type("Mapping", (collections.abc.Mapping,), {
         "__getitem__": lambda s, k: 1, "__len__": lambda s: 0, "__iter__": lambda s: iter(())})(),
      "Mapping")],
    ids=["list", "None", "keys-view", "mapping"],
)
def test_dict_argument_refuses_non_dict(mod, target, param, form, value, shown):
    with pytest.raises(TypeError) as excinfo:
        call_with(mod, target, form, **{param: value})
    assert str(excinfo.value) == f"argument '{param}': '{shown}' object cannot be converted to 'PyDict'"


@pytest.mark.parametrize("target, param", kDictParams, ids=ids(kDictParams))
def test_dict_argument_accepts_dict_subclass(mod, target, param):
    class Dict(dict):
        pass

    assert call_with(mod, target, "keyword", **{param: Dict()}) == call_with(
        mod, target, "keyword", **{param: {}})


class KeySequence(collections.abc.Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        item = self.items[i]
        return item() if callable(item) else item


@pytest.mark.parametrize(
    "keys, added",
    [([1, "a"], 2), ((1, 1), 1), (range(3), 3), ("ab", 2), (b"\x01\x02", 2),
     (KeySequence([4, "b"]), 2), ([], 0)],
    ids=["list", "tuple", "range", "str", "bytes", "abc-sequence", "empty"],
)
def test_sequence_argument_accepts(mod, keys, added):
    assert mod.BatchAggregator().add_keys_batch(keys) == added


@pytest.mark.parametrize(
    "keys, shown",
    [({1}, "set"), ({1: 2}, "dict"), (generator_of([1]), "generator"), (None, "NoneType"),
     (ItemAccess([1]), "ItemAccess"), (5, "int")],
    ids=["set", "dict", "generator", "None", "item-access-only", "int"],
)
def test_sequence_argument_refusals(mod, keys, shown):
    with pytest.raises(TypeError) as excinfo:
        mod.BatchAggregator().add_keys_batch(keys)
    assert str(excinfo.value) == f"argument 'keys': '{shown}' object cannot be converted to 'Sequence'"


def test_sequence_contents_errors_are_not_prefixed(mod):
    def fails():
        raise TypeError("item refused")

    with pytest.raises(TypeError) as excinfo:
        mod.BatchAggregator().add_keys_batch(KeySequence([1, fails]))
    assert str(excinfo.value) == "item refused"


# ---- the borrow guard -------------------------------------------------------------------------


def test_shared_use_during_exclusive_call_is_refused_inside_text_form(mod, unraisable):
    aggregator = mod.BatchAggregator()

    class Reenter:
        def __str__(self):
            aggregator.len()
            return "never"

    with unraisable() as seen:
        assert aggregator.add_key(Reenter()) is True
    assert [(kind, str(value)) for kind, value, _ in seen] == [
        (RuntimeError, "Already mutably borrowed")]
    assert aggregator.get_keys() == ["<unprintable Reenter object>"]


def test_exclusive_use_during_exclusive_call_is_refused_inside_text_form(mod, unraisable):
    aggregator = mod.BatchAggregator()

    class Reenter:
        def __str__(self):
            aggregator.add_key_int(1)
            return "never"

    with unraisable() as seen:
        assert aggregator.add_key(Reenter()) is True
    assert [(kind, str(value)) for kind, value, _ in seen] == [(RuntimeError, "Already borrowed")]
    assert aggregator.get_keys() == ["<unprintable Reenter object>"]


@pytest.mark.parametrize(
    "reenter, message",
    [(lambda agg: agg.add_key(1), "Already borrowed"),
     (lambda agg: agg.clear(), "Already borrowed"),
     (lambda agg: agg.add_keys_batch([1]), "Already borrowed"),
     (lambda agg: agg.len(), "Already mutably borrowed"),
     (lambda agg: agg.get_keys(), "Already mutably borrowed"),
     (lambda agg: agg.is_empty(), "Already mutably borrowed")],
    ids=["add_key", "clear", "add_keys_batch", "len", "get_keys", "is_empty"],
)
def test_reentry_from_index_is_refused_and_the_guard_is_released(mod, reenter, message):
    aggregator = mod.BatchAggregator()
    aggregator.add_key_int(3)

    class Reenter:
        def __index__(self):
            reenter(aggregator)
            return 5

    with pytest.raises(RuntimeError) as excinfo:
        aggregator.add_key_int(Reenter())
    assert type(excinfo.value) is RuntimeError
    assert str(excinfo.value) == message
    # Nothing of the refused call ran, and the instance is free again.
    assert aggregator.get_keys() == [3]
    assert aggregator.add_key_int(7) is True
    assert aggregator.add_key_str("s") is True
    assert aggregator.len() == 3
    aggregator.clear()
    assert aggregator.is_empty() is True


def test_reentry_from_sequence_item_keeps_the_keys_added_before(mod):
    aggregator = mod.BatchAggregator()
    with pytest.raises(RuntimeError) as excinfo:
        aggregator.add_keys_batch(KeySequence([1, 2, aggregator.get_keys, 4]))
    assert str(excinfo.value) == "Already mutably borrowed"
    assert sorted(aggregator.get_keys()) == [1, 2]
    assert aggregator.add_keys_batch([2, 3]) == 1


def test_failing_sequence_check_goes_to_unraisable_hook(mod, unraisable):
    aggregator = mod.BatchAggregator()

    class Sneaky:
        @property
        def __class__(self):
            aggregator.len()
            return Sneaky

    value = Sneaky()
    with unraisable() as seen:
        with pytest.raises(TypeError) as excinfo:
            aggregator.add_keys_batch(value)
    assert str(excinfo.value) == (
        f"argument 'keys': '{Sneaky.__qualname__}' object cannot be converted to 'Sequence'")
    assert [(kind, str(error), obj) for kind, error, obj in seen] == [
        (RuntimeError, "Already mutably borrowed", value)]
    assert aggregator.len() == 0


def test_shared_holds_nest(mod):
    compiler = mod.QueryCompiler()

    class Reenter:
        def __index__(self):
            return len(compiler.compile_delete("t", "id", compiler.get_placeholder("x", 1)))

    assert compiler.get_placeholder("postgres", Reenter()) == "$26"
    assert compiler.get_placeholder("postgres", 2) == "$2"


def test_wrong_receiver_is_refused_by_the_interpreter(mod):
    with pytest.raises(TypeError) as excinfo:
        mod.QueryCompiler.get_placeholder(mod.BatchAggregator(), "sqlite", 1)
    expected = message_of(lambda: list.copy({})).replace("'copy'", "'get_placeholder'", 1)
    expected = expected.replace("'list'", "'builtins.QueryCompiler'", 1)
    assert str(excinfo.value) == expected.replace("'dict'", "'builtins.BatchAggregator'", 1)


# ---- internal failures ------------------------------------------------------------------------


def grow_during_walk(mod):
    """set_initial_state over a dict that a value's __str__ enlarges."""
    data = {}

    class Grows:
        def __str__(self):
            data[f"extra{len(data)}"] = 1
            return "grows"

    data["a"] = Grows()
    mod.StateTracker().set_initial_state(data)


def replace_during_walk(mod):
    """set_initial_state over a dict whose values swap their own key for a new one."""
    data = {}
    count = [0]

    class Moves:
        def __init__(self, key):
            self.key = key

        def __str__(self):
            del data[self.key]
            count[0] += 1
            key = f"k{count[0]}"
            data[key] = Moves(key)
            return "moves"

    data["a"] = Moves("a")
    data["b"] = Moves("b")
    mod.StateTracker().set_initial_state(data)


def panic_of(provoke):
    """Runs `provoke`, checks that `except Exception` does not stop what it raises, returns it."""
    caught_as_exception = False
    try:
        try:
            provoke()
        except Exception:  # noqa: BLE001 - the point: it must not get here
            caught_as_exception = True
    except BaseException as error:  # noqa: BLE001
        raised = error
    else:
        raise AssertionError("nothing was raised" if not caught_as_exception else
                             "caught by except Exception")
    assert not caught_as_exception
    return raised


@pytest.fixture(scope="module")
def panic_type(mod):
    return type(panic_of(lambda: grow_during_walk(mod)))


def test_panic_exception_is_a_base_exception_only(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert issubclass(panic_type, BaseException)
    assert not issubclass(panic_type, Exception)


@pytest.mark.parametrize(
    "provoke, message",
    [(grow_during_walk, "dictionary changed size during iteration"),
     (replace_during_walk, "dictionary keys changed during iteration")],
    ids=["size", "keys"],
)
def test_internal_failure_is_raised_as_panic(mod, panic_type, provoke, message):
    raised = panic_of(lambda: provoke(mod))
    assert type(raised) is panic_type
    assert raised.args == (message,)
    assert str(raised) == message


def test_panic_is_not_a_module_attribute(mod, panic_type):
    assert sorted(n for n in dir(mod) if not n.startswith("__")) == [
        "BatchAggregator", "QueryCompiler", "SchemaDiffEngine", "StateTracker"]


def test_instance_works_after_a_panic(mod, panic_type):
    tracker = mod.StateTracker()
    data = {}

    class Grows:
        def __str__(self):
            data["late"] = 1
            return "grows"

    data["a"] = Grows()
    panic_of(lambda: tracker.set_initial_state(data))
    tracker.set_initial_state({"x": 1})
    tracker.set_field("x", 2)
    assert tracker.dirty_fields() == ["x"]


def nested_through_item_access(mod, inner):
    class Items:
        def __getitem__(self, i):
            inner()

    return lambda: mod.QueryCompiler().compile_insert("t", Items(), "sqlite")


def nested_through_index(mod, inner):
    return lambda: mod.QueryCompiler().get_placeholder("sqlite", raising_index_call(inner))


def nested_through_sequence_contents(mod, inner):
    def item():
        inner()

    return lambda: mod.BatchAggregator().add_keys_batch(KeySequence([1, item]))


def raising_index_call(inner):
    class Calls:
        def __index__(self):
            inner()

    return Calls()


kNestedRoutes = [nested_through_item_access, nested_through_index, nested_through_sequence_contents]


@pytest.mark.parametrize("route", kNestedRoutes, ids=["item-access", "index", "sequence-item"])
def test_nested_panic_becomes_a_panic_of_the_outer_call(mod, panic_type, route, capfd):
    raised = panic_of(route(mod, lambda: grow_during_walk(mod)))
    assert type(raised) is panic_type
    assert raised.args == ("dictionary changed size during iteration",)
    # A notice and the nested panic's traceback go to standard error.
    err = capfd.readouterr().err
    last = f"{panic_type.__module__}.{panic_type.__qualname__}: dictionary changed size during iteration"
    assert err.rstrip("\n").splitlines()[-1] == last
    assert "Traceback (most recent call last):" in err


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize(
    "make_args, message",
    [(lambda: ("raised from Python",), "raised from Python"),
     (lambda: ("bad \ud800 text",), "bad \ufffd\ufffd\ufffd text"),
     (lambda: (Unprintable(),), "Unwrapped panic from Python code"),
     (lambda: ("cut\x00here",), "cut\x00here")],
    ids=["text", "surrogate", "unprintable", "nul"],
)
@pytest.mark.parametrize("subclass", [False, True], ids=["exact", "subclass"])
def test_panic_raised_by_python_code_becomes_a_panic(mod, panic_type, make_args, message,
                                                     subclass, capfd):
    kind = type("Derived", (panic_type,), {}) if subclass else panic_type

    def inner():
        raise kind(*make_args())

    raised = panic_of(nested_through_index(mod, inner))
    assert type(raised) is panic_type
    assert raised.args == (message,)
    capfd.readouterr()


def test_panic_inside_text_form_goes_to_unraisable_hook(mod, panic_type, unraisable, capfd):
    aggregator = mod.BatchAggregator()

    class Panics:
        def __str__(self):
            grow_during_walk(mod)

    with unraisable() as seen:
        assert aggregator.add_key(Panics()) is True
    assert [(kind, str(value)) for kind, value, _ in seen] == [
        (panic_type, "dictionary changed size during iteration")]
    assert aggregator.get_keys() == ["<unprintable Panics object>"]


class NameText(str):
    pass


@pytest.mark.parametrize("name_form", [lambda n: n, lambda n: "".join(list(n)), NameText],
                         ids=["literal", "built", "str-subclass"])
def test_keywords_are_placed_by_their_text_whatever_str_names_them(mod, name_form):
    qc = mod.QueryCompiler()
    kwargs = {name_form("table"): "users", name_form("columns"): ["id"],
              name_form("wheres"): [], name_form("joins"): [], name_form("order_by"): [],
              name_form("limit"): 3, name_form("dialect"): "postgres"}
    assert qc.compile_select(**kwargs) == ("SELECT id FROM users LIMIT 3", [])
    with pytest.raises(TypeError) as excinfo:
        qc.compile_delete("t", **{name_form("table"): "x", name_form("pk_col"): "id",
                                  name_form("dialect"): "sqlite"})
    assert str(excinfo.value) == (
        "QueryCompiler.compile_delete() got multiple values for argument 'table'")

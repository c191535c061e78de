"""SchemaDiffEngine: CREATE TABLE for a table the database lacks, ADD COLUMN for each missing
column, and the statements that undo them."""

import collections
import contextlib
import gc

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from support import assert_no_growth, run_python


# ---- helpers ------------------------------------------------------------------------------


def assert_panic(error, message):
    assert type(error).__name__ == "PanicException"
    assert type(error).__module__ == "_kestrelite_rs"
    assert not isinstance(error, Exception)
    assert str(error) == message


def diff(mod, model, db, table="t", dialect="sqlite"):
    return mod.SchemaDiffEngine().diff_table(table, model, db, dialect)


def create(table, *definitions):
    return ([f"CREATE TABLE IF NOT EXISTS {table} ({', '.join(definitions)});"],
            [f"DROP TABLE IF EXISTS {table};"])


def add(table, column, data_type, not_null=False):
    return (f"ALTER TABLE {table} ADD COLUMN {column} {data_type}{' NOT NULL' if not_null else ''};",
            f"ALTER TABLE {table} DROP COLUMN {column};")


def alter(*pairs):
    return ([up for up, _ in pairs], [down for _, down in pairs])


class CollidingKey:
    """A key that lands where an attribute name is looked up and runs `on_eq` when compared."""

    def __init__(self, name, on_eq):
        self.name = name
        self.on_eq = on_eq

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return self.on_eq()


class Strict(dict):
    """A dict subclass whose own item access and iteration must stay unused."""

    def __getitem__(self, key):
        raise AssertionError("__getitem__ must not be used")

    def __missing__(self, key):
        raise AssertionError("__missing__ must not be used")

    def get(self, key, default=None):
        raise AssertionError("get() must not be used")

    def items(self):
        raise AssertionError("items() must not be used")

    def __iter__(self):
        raise AssertionError("__iter__ must not be used")

    def __len__(self):
        return 0


def no_factory():
    raise AssertionError("the default factory must not be called")


# ---- the worked example ---------------------------------------------------------------------


kUsers = {"id": {"primary_key": True}, "name": {"data_type": "VARCHAR(100)", "nullable": False}}


def test_a_missing_table_is_created_whole(mod):
    assert diff(mod, kUsers, {}, "users", "postgres") == (
        ["CREATE TABLE IF NOT EXISTS users (id SERIAL PRIMARY KEY, name VARCHAR(100) NOT NULL);"],
        ["DROP TABLE IF EXISTS users;"],
    )


def test_a_missing_column_is_added(mod):
    assert diff(mod, kUsers, {"id": "INTEGER"}, "users", "postgres") == (
        ["ALTER TABLE users ADD COLUMN name VARCHAR(100) NOT NULL;"],
        ["ALTER TABLE users DROP COLUMN name;"],
    )


@pytest.mark.parametrize("dialect", ["postgres", "mysql", "sqlite", ""])
def test_a_complete_table_needs_nothing(mod, dialect):
    assert diff(mod, {"id": {}}, {"id": "INTEGER"}, "users", dialect) == ([], [])


def test_the_result_is_a_tuple_of_two_lists_of_str(mod):
    result = diff(mod, {"a": {}}, {})
    assert type(result) is tuple and len(result) == 2
    assert [type(part) for part in result] == [list, list]
    assert all(type(s) is str for part in result for s in part)


# ---- the create path ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "attrs, dialect, definition",
    [
        ({"primary_key": True}, "mysql", "c INT AUTO_INCREMENT PRIMARY KEY"),
        ({"primary_key": True}, "postgres", "c SERIAL PRIMARY KEY"),
        ({"primary_key": True}, "postgresql", "c SERIAL PRIMARY KEY"),
        ({"primary_key": True}, "sqlite", "c INTEGER PRIMARY KEY AUTOINCREMENT"),
        ({"primary_key": True}, "MySQL", "c INTEGER PRIMARY KEY AUTOINCREMENT"),
        ({"primary_key": True}, "PostgreSQL", "c INTEGER PRIMARY KEY AUTOINCREMENT"),
        ({"primary_key": True}, " mysql", "c INTEGER PRIMARY KEY AUTOINCREMENT"),
        ({"primary_key": True}, "postgres ", "c INTEGER PRIMARY KEY AUTOINCREMENT"),
        ({"primary_key": True}, "", "c INTEGER PRIMARY KEY AUTOINCREMENT"),
        ({"primary_key": True, "data_type": "UUID", "nullable": False}, "postgres",
         "c SERIAL PRIMARY KEY"),
        ({}, "mysql", "c TEXT"),
        ({"data_type": "BIGINT"}, "postgres", "c BIGINT"),
        ({"data_type": "BIGINT", "nullable": True}, "sqlite", "c BIGINT"),
        ({"data_type": "BIGINT", "nullable": False}, "sqlite", "c BIGINT NOT NULL"),
        ({"nullable": False}, "mysql", "c TEXT NOT NULL"),
        ({"primary_key": False, "nullable": False}, "mysql", "c TEXT NOT NULL"),
        ({"data_type": "", "nullable": False}, "sqlite", "c  NOT NULL"),
        ({"data_type": "NUMERIC(10, 2) DEFAULT 0", "other": 1}, "sqlite",
         "c NUMERIC(10, 2) DEFAULT 0"),
    ],
    ids=[
        "pk-mysql", "pk-postgres", "pk-postgresql", "pk-sqlite", "pk-capitalised-mysql",
        "pk-capitalised-postgresql", "pk-leading-blank", "pk-trailing-blank", "pk-empty-dialect",
        "pk-ignores-type-and-nullable", "empty-attrs", "type", "nullable-true",
        "nullable-false", "default-type-not-null", "pk-false", "empty-type", "type-verbatim",
    ],
)
def test_create_path_column_definitions(mod, attrs, dialect, definition):
    assert diff(mod, {"c": attrs}, {}, "t", dialect) == create("t", definition)


def test_create_path_keeps_the_model_order(mod):
    names = ["zeta", "alpha", "mid", "Beta", "b", "a10", "a9"]
    model = {n: {"data_type": n.upper()} for n in names}
    assert diff(mod, model, {}) == create("t", *(f"{n} {n.upper()}" for n in names))


@pytest.mark.parametrize(
    "table, model, expected",
    [
        ("t", {}, ["CREATE TABLE IF NOT EXISTS t ();"]),
        ("", {"a": {}}, ["CREATE TABLE IF NOT EXISTS  (a TEXT);"]),
        ('"My Table"', {"a b": {"data_type": "x;y"}},
         ['CREATE TABLE IF NOT EXISTS "My Table" (a b x;y);']),
        ("t\u00e4ble", {"\u540d\u524d": {"data_type": "TEXT \u2713"}},
         ["CREATE TABLE IF NOT EXISTS t\u00e4ble (\u540d\u524d TEXT \u2713);"]),
    ],
    ids=["no-columns", "empty-table-name", "no-quoting", "non-ascii"],
)
def test_create_path_inserts_names_verbatim(mod, table, model, expected):
    assert diff(mod, model, {}, table) == (expected, [f"DROP TABLE IF EXISTS {table};"])


# ---- the alter path -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "model, db, expected",
    [
        ({}, {"a": "INT"}, ([], [])),
        ({"a": {}}, {"a": "INT", "extra": "INT"}, ([], [])),
        ({"a": {"data_type": "TEXT", "nullable": False, "primary_key": True}},
         {"a": "BLOB"}, ([], [])),
        ({"a": {}}, {"A": "INT"}, alter(add("t", "a", "TEXT"))),
        ({"a": {}, "b": {"data_type": "INT"}}, {"x": "INT"},
         alter(add("t", "a", "TEXT"), add("t", "b", "INT"))),
        ({"a": {"nullable": False}}, {"x": "INT"}, alter(add("t", "a", "TEXT", not_null=True))),
        ({"id": {"primary_key": True, "data_type": "INTEGER", "nullable": False}},
         {"x": "INT"}, alter(add("t", "id", "INTEGER"))),
        ({"id": {"primary_key": True}}, {"x": "INT"}, alter(add("t", "id", "TEXT"))),
        ({"a ": {}}, {"a": "INT"}, alter(add("t", "a ", "TEXT"))),
    ],
    ids=["model-empty", "all-present", "present-whatever-attributes", "case-differs",
         "two-missing", "not-null", "pk-gets-no-key-clause", "pk-default-type",
         "no-trimming"],
)
def test_alter_path_adds_each_missing_column(mod, model, db, expected):
    assert diff(mod, model, db) == expected


@pytest.mark.parametrize("dialect", ["mysql", "postgres", "sqlite", "MySQL"])
def test_alter_path_ignores_the_dialect(mod, dialect):
    model = {"id": {"primary_key": True}, "n": {"nullable": False}}
    assert diff(mod, model, {"x": "INT"}, "t", dialect) == alter(
        add("t", "id", "TEXT"), add("t", "n", "TEXT", not_null=True))


def test_alter_path_keeps_the_model_order_in_both_lists(mod):
    names = [f"c{(i * 37) % 101}" for i in range(60)]
    model = {n: {"data_type": f"T{i}"} for i, n in enumerate(names)}
    db = {n: "X" for n in names[::3]}
    expected = alter(*(add("t", n, f"T{i}") for i, n in enumerate(names) if n not in db))
    assert diff(mod, model, db) == expected


def test_keys_of_one_text_make_one_column_in_its_first_place(mod):
    class Same(str):
        def __eq__(self, other):
            return self is other

        def __hash__(self):
            return id(self)

    model = {Same("a"): {"data_type": "OLD"}, "b": {}, Same("a"): {"data_type": "NEW"}}
    assert diff(mod, model, {}) == create("t", "a NEW", "b TEXT")
    db = {Same("x"): "INT", Same("x"): "TEXT"}
    assert diff(mod, {"x": {}, "y": {}}, db) == alter(add("t", "y", "TEXT"))


# ---- attribute defaults ---------------------------------------------------------------------


np = None
with contextlib.suppress(ImportError):
    import numpy as np  # noqa: F811


@pytest.mark.parametrize(
    "attrs, definition, added",
    [
        ({"data_type": None}, "c TEXT", "TEXT"),
        ({"data_type": 5}, "c TEXT", "TEXT"),
        ({"data_type": b"INT"}, "c TEXT", "TEXT"),
        ({"data_type": ["INT"]}, "c TEXT", "TEXT"),
        ({"data_type": "\ud800"}, "c TEXT", "TEXT"),
        ({"data_type": type("TypeText", (str,), {"__str__": lambda s: "no"})("REAL")},
         "c REAL", "REAL"),
        ({"nullable": 0}, "c TEXT", "TEXT"),
        ({"nullable": None}, "c TEXT", "TEXT"),
        ({"nullable": "false"}, "c TEXT", "TEXT"),
        ({"nullable": 0.0}, "c TEXT", "TEXT"),
        ({"nullable": False}, "c TEXT NOT NULL", "TEXT NOT NULL"),
        ({"nullable": True}, "c TEXT", "TEXT"),
        ({"primary_key": 1}, "c TEXT", "TEXT"),
        ({"primary_key": "yes"}, "c TEXT", "TEXT"),
        ({"primary_key": None, "nullable": False}, "c TEXT NOT NULL", "TEXT NOT NULL"),
        ({"primary_key": True}, "c INTEGER PRIMARY KEY AUTOINCREMENT", "TEXT"),
        ({"primary_key": 1, "nullable": 0}, "c TEXT", "TEXT"),
    ],
    ids=[
        "type-none", "type-int", "type-bytes", "type-list", "type-lone-surrogate",
        "type-str-subclass", "nullable-zero", "nullable-none", "nullable-str",
        "nullable-float", "nullable-false", "nullable-true", "pk-one", "pk-str", "pk-none",
        "pk-true", "ints-are-no-bools",
    ],
)
def test_attributes_of_another_type_take_the_defaults(mod, attrs, definition, added):
    assert diff(mod, {"c": attrs}, {}) == create("t", definition)
    assert diff(mod, {"c": attrs}, {"x": "INT"}) == (
        [f"ALTER TABLE t ADD COLUMN c {added};"], ["ALTER TABLE t DROP COLUMN c;"])


def test_attributes_behind_deleted_entries_are_read(mod):
    # A dict keeps the places of deleted entries: a read that stops after as many places as
    # the dict has entries misses the attributes written after the deletions.
    attrs = {f"x{i}": i for i in range(6)}
    attrs.update(data_type="REAL", nullable=False)
    for i in range(6):
        del attrs[f"x{i}"]
    assert diff(mod, {"c": attrs}, {}) == create("t", "c REAL NOT NULL")
    assert diff(mod, {"c": attrs}, {"x": "INT"}) == (
        ["ALTER TABLE t ADD COLUMN c REAL NOT NULL;"], ["ALTER TABLE t DROP COLUMN c;"])


@pytest.mark.skipif(np is None, reason="numpy is not installed")
@pytest.mark.parametrize(
    "attrs, definition",
    [
        (lambda: {"nullable": np.bool_(False)}, "c TEXT NOT NULL"),
        (lambda: {"nullable": np.bool_(True)}, "c TEXT"),
        (lambda: {"primary_key": np.bool_(True)}, "c SERIAL PRIMARY KEY"),
        (lambda: {"primary_key": np.bool_(False), "nullable": np.False_}, "c TEXT NOT NULL"),
        (lambda: {"nullable": np.int64(0)}, "c TEXT"),
        (lambda: {"primary_key": np.array([True])}, "c TEXT"),
    ],
    ids=["nullable-false", "nullable-true", "pk-true", "pk-false", "numpy-int", "numpy-array"],
)
def test_numpy_booleans_count_as_booleans(mod, attrs, definition):
    assert diff(mod, {"c": attrs()}, {}, "t", "postgres") == create("t", definition)


# ---- dict subclasses ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "wrap_model, wrap_attrs, wrap_db",
    [
        (collections.OrderedDict, collections.OrderedDict, collections.OrderedDict),
        (lambda d: collections.defaultdict(no_factory, d),
         lambda d: collections.defaultdict(no_factory, d),
         lambda d: collections.defaultdict(no_factory, d)),
        (Strict, Strict, Strict),
    ],
    ids=["ordered", "default-factory", "own-access-unused"],
)
def test_dict_subclasses_are_read_from_their_own_storage(mod, wrap_model, wrap_attrs, wrap_db):
    model = wrap_model({"id": wrap_attrs({"primary_key": True}),
                        "n": wrap_attrs({"nullable": False}),
                        "e": wrap_attrs({})})
    assert diff(mod, model, wrap_db({}), "t", "mysql") == create(
        "t", "id INT AUTO_INCREMENT PRIMARY KEY", "n TEXT NOT NULL", "e TEXT")
    assert diff(mod, model, wrap_db({"id": "INT"})) == alter(
        add("t", "n", "TEXT", not_null=True), add("t", "e", "TEXT"))


# ---- argument and content faults ------------------------------------------------------------


@pytest.mark.parametrize(
    "args, error_type, message",
    [
        ((5, {}, {}, "s"), TypeError,
         "argument 'table_name': 'int' object cannot be converted to 'PyString'"),
        (("t", [], {}, "s"), TypeError,
         "argument 'model_fields': 'list' object cannot be converted to 'PyDict'"),
        (("t", None, {}, "s"), TypeError,
         "argument 'model_fields': 'NoneType' object cannot be converted to 'PyDict'"),
        (("t", {}, [("a", "INT")], "s"), TypeError,
         "argument 'db_columns': 'list' object cannot be converted to 'PyDict'"),
        (("t", {}, {}, None), TypeError,
         "argument '_dialect': 'NoneType' object cannot be converted to 'PyString'"),
        (("t", {}, {}, b"mysql"), TypeError,
         "argument '_dialect': 'bytes' object cannot be converted to 'PyString'"),
        (("\udc80", {}, {}, "s"), UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
        (("t", {}, {}, "\udc80"), UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\udc80' in position 0: surrogates not allowed"),
        ((5, [], None, 1), TypeError,
         "argument 'table_name': 'int' object cannot be converted to 'PyString'"),
        (("t", {1: {}}, [], "s"), TypeError,
         "argument 'db_columns': 'list' object cannot be converted to 'PyDict'"),
        (("t", {"a": []}, {}, 5), TypeError,
         "argument '_dialect': 'int' object cannot be converted to 'PyString'"),
    ],
    ids=["table-name", "model-list", "model-none", "db-list", "dialect-none",
         "dialect-bytes", "table-name-surrogate", "dialect-surrogate", "first-fault-wins",
         "arguments-before-contents", "dialect-before-contents"],
)
def test_argument_faults_name_the_argument(mod, args, error_type, message):
    with pytest.raises(error_type) as excinfo:
        mod.SchemaDiffEngine().diff_table(*args)
    assert type(excinfo.value) is error_type
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "model, db, error_type, message",
    [
        ({1: {}}, {}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"a": {}, ("b",): {}}, {}, TypeError,
         "'tuple' object cannot be converted to 'PyString'"),
        ({"a": []}, {}, TypeError, "'list' object cannot be converted to 'PyDict'"),
        ({"a": None}, {}, TypeError, "'NoneType' object cannot be converted to 'PyDict'"),
        ({"a": "TEXT"}, {}, TypeError, "'str' object cannot be converted to 'PyDict'"),
        ({"a": {}}, {2: "INT"}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"a": {}}, {"a": None}, TypeError,
         "'NoneType' object cannot be converted to 'PyString'"),
        ({"a": {}}, {"b": "INT", "a": 4}, TypeError,
         "'int' object cannot be converted to 'PyString'"),
        ({}, {"a": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ({"a": {}, "b": []}, {"a": None}, TypeError,
         "'list' object cannot be converted to 'PyDict'"),
        ({"a": {}, 3: {}}, {7: 7}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"\ud800": {}}, {}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
        ({"a": {}}, {"\ud800": "INT"}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
        ({"a": {}}, {"a": "\ud800"}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ],
    ids=["model-key-int", "model-key-after-good", "model-value-list", "model-value-none",
         "model-value-str", "db-key-int", "db-value-none", "db-value-after-good",
         "db-value-with-empty-model", "model-fault-before-db-fault",
         "model-key-before-db-key", "model-key-surrogate", "db-key-surrogate",
         "db-value-surrogate"],
)
def test_content_faults_raise_without_prefix(mod, model, db, error_type, message):
    with pytest.raises(error_type) as excinfo:
        diff(mod, model, db)
    assert type(excinfo.value) is error_type
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.diff_table(),
         "SchemaDiffEngine.diff_table() missing 4 required positional arguments: "
         "'table_name', 'model_fields', 'db_columns', and '_dialect'"),
        (lambda e: e.diff_table("t", {}),
         "SchemaDiffEngine.diff_table() missing 2 required positional arguments: "
         "'db_columns' and '_dialect'"),
        (lambda e: e.diff_table("t", {}, {}, "s", 5),
         "SchemaDiffEngine.diff_table() takes 4 positional arguments but 5 were given"),
        (lambda e: e.diff_table("t", {}, {}, dialect="s"),
         "SchemaDiffEngine.diff_table() got an unexpected keyword argument 'dialect'"),
        (lambda e: e.diff_table("t", {}, {}, "s", table_name="u"),
         "SchemaDiffEngine.diff_table() got multiple values for argument 'table_name'"),
        (lambda e: type(e)(1),
         "SchemaDiffEngine.__new__() takes 0 positional arguments but 1 was given"),
    ],
    ids=["none", "two-missing", "too-many", "unknown-keyword", "given-twice", "constructor"],
)
def test_matching_faults(mod, call, message):
    with pytest.raises(TypeError) as excinfo:
        call(mod.SchemaDiffEngine())
    assert str(excinfo.value) == message


def test_parameters_may_be_given_by_keyword(mod):
    result = mod.SchemaDiffEngine().diff_table(
        _dialect="postgres", db_columns={}, model_fields={"id": {"primary_key": True}},
        table_name="k")
    assert result == create("k", "id SERIAL PRIMARY KEY")


def test_diff_table_documentation(mod):
    function = mod.SchemaDiffEngine.diff_table
    assert function.__text_signature__ == "($self, table_name, model_fields, db_columns, _dialect)"
    assert function.__doc__ == (
        "Compares model metadata against database introspection table structure.\n"
        "Returns upgrade_statements and downgrade_statements.")
    assert [name for name in dir(mod.SchemaDiffEngine) if not name.startswith("__")] == [
        "diff_table"]


# ---- lookups running Python code ------------------------------------------------------------


@pytest.mark.parametrize("attribute", ["data_type", "nullable", "primary_key"])
def test_a_raising_lookup_propagates(mod, attribute):
    error = LookupError(f"compare {attribute}")

    def fail():
        raise error

    model = {"a": {}, "b": {CollidingKey(attribute, fail): 1}}
    with pytest.raises(LookupError) as excinfo:
        diff(mod, model, {})
    assert excinfo.value is error


def test_a_colliding_key_that_compares_unequal_is_no_match(mod):
    attrs = {CollidingKey(name, lambda: False): "x"
             for name in ["data_type", "nullable", "primary_key"]}
    assert diff(mod, {"c": attrs}, {}) == create("t", "c TEXT")


def test_a_lookup_may_call_the_engine_again(mod):
    engine = mod.SchemaDiffEngine()
    nested = []
    model = {"a": {CollidingKey("data_type", lambda: nested.append(
        engine.diff_table("n", {"x": {}}, {}, "s")) or False): 1}}
    assert engine.diff_table("t", model, {}, "s") == create("t", "a TEXT")
    # How often a dict lookup compares a colliding key differs between interpreter versions.
    assert nested and all(result == create("n", "x TEXT") for result in nested)


def test_a_model_growing_during_the_walk_is_a_panic(mod):
    model = {"a": {}, "c": {}}
    model["b"] = {CollidingKey("nullable", lambda: model.__setitem__("z", {}) or False): 0}
    with pytest.raises(BaseException) as excinfo:
        diff(mod, model, {})
    assert_panic(excinfo.value, "dictionary changed size during iteration")


def test_a_model_changing_keys_at_equal_size_is_a_panic(mod):
    model = {"a": {}, "b": None, "c": {}}

    def swap():
        if "a" in model:
            del model["a"]
            model["z"] = {}
        return False

    model["b"] = {CollidingKey("primary_key", swap): 0}
    with pytest.raises(BaseException) as excinfo:
        diff(mod, model, {})
    assert_panic(excinfo.value, "dictionary keys changed during iteration")


def test_texts_read_before_a_lookup_outlive_what_it_drops(mod):
    # A lookup's __eq__ replaces attribute dicts, so the only references to the texts read
    # from them go, while the model keeps its size and keys.
    kind = "".join(["VARCHAR", "(42)"])
    model = {"a": {"data_type": kind}, "b": None}

    def replace():
        model["a"] = {}
        model["b"] = {}
        return False

    model["b"] = {CollidingKey("data_type", replace): 1, "nullable": False}
    del kind
    assert diff(mod, model, {}) == create("t", "a VARCHAR(42)", "b TEXT NOT NULL")


def test_an_attribute_dict_changing_during_its_lookup_is_read_safely(mod):
    attrs = {}

    def grow():
        for i in range(50):
            attrs[f"k{i}"] = i
        return False

    attrs[CollidingKey("data_type", grow)] = 1
    attrs["nullable"] = False
    assert diff(mod, {"c": attrs}, {}) == create("t", "c TEXT NOT NULL")


def test_a_finaliser_diffing_while_the_lists_are_made_leaves_both_results_whole(mod):
    # Making the result lists may run the collector (before 3.12), and with it a finaliser
    # that asks the same engine for another diff before this one has read its statements.
    engine = mod.SchemaDiffEngine()
    model = {f"c{i}": {"data_type": "INT"} for i in range(6)}
    expected = sorted(zip(*engine.diff_table("t", model, {"c0": "INT"}, "s")))
    nested = []

    class Finaliser:
        def __del__(self):
            nested.append(engine.diff_table("other", {"z": {}, "y": {"nullable": False}},
                                            {"q": "X"}, "s"))

    def garbage():
        cycle = Finaliser()
        cycle.self = cycle

    db = {"c0": "INT"}
    threshold = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1)
    try:
        for _ in range(200):
            # Lists kept alive empty the interpreter's free list, so that the lists of the
            # result are fresh allocations, where the collector may run; nothing else is
            # allocated between the garbage and the call.
            spare = [[] for _ in range(100)]
            garbage()
            got = engine.diff_table("t", model, db, "s")
            del spare
            assert sorted(zip(*got)) == expected
    finally:
        gc.set_threshold(*threshold)
    gc.collect()
    assert nested and all(result == alter(add("other", "z", "TEXT"),
                                          add("other", "y", "TEXT", not_null=True))
                          or result == alter(add("other", "y", "TEXT", not_null=True),
                                             add("other", "z", "TEXT"))
                          for result in nested)


# ---- determinism ----------------------------------------------------------------------------


def test_two_identical_calls_give_identical_output(mod):
    model = {f"c{(i * 31) % 97}": {"data_type": f"T{i}", "nullable": bool(i % 2)}
             for i in range(97)}
    db = {f"c{i}": "X" for i in range(0, 97, 5)}
    engine = mod.SchemaDiffEngine()
    assert engine.diff_table("t", model, db, "s") == engine.diff_table("t", model, db, "s")
    assert engine.diff_table("t", model, {}, "s") == mod.SchemaDiffEngine().diff_table(
        "t", model, {}, "s")


kDiffScript = """
    import _kestrelite_rs
    model = {f"c{(i * 31) % 97}": {"data_type": f"T{i}", "nullable": bool(i % 2)}
             for i in range(97)}
    engine = _kestrelite_rs.SchemaDiffEngine()
    print(repr(engine.diff_table("t", model, {}, "postgres")))
    print(repr(engine.diff_table("t", model, {f"c{i}": "X" for i in range(0, 97, 5)}, "s")))
"""


def test_output_is_the_same_in_every_process(mod):
    runs = [run_python(mod, kDiffScript, PYTHONHASHSEED=seed) for seed in ("0", "1", "987")]
    assert runs[0] == runs[1] == runs[2]
    model = {f"c{(i * 31) % 97}": {"data_type": f"T{i}", "nullable": bool(i % 2)}
             for i in range(97)}
    db = {f"c{i}": "X" for i in range(0, 97, 5)}
    assert runs[0] == f"{reference_diff('t', model, {}, 'postgres')!r}\n" \
                      f"{reference_diff('t', model, db, 's')!r}\n"


@pytest.mark.parametrize(
    "model, db",
    [
        ({"a": {"data_type": "INT"}, "b": {"nullable": False}}, {}),
        ({"a": {}, "b": {"primary_key": True}}, {"z": "INT"}),
        ({}, {}),
        ({"a": []}, {}),
        ({"a": {}}, {"b": None}),
        ({"a": {"data_type": 1, "nullable": 0, "primary_key": "x"}}, {}),
    ],
    ids=["create", "alter", "empty", "bad-model", "bad-db", "defaults"],
)
def test_repeated_calls_do_not_grow_memory(mod, model, db):
    engine = mod.SchemaDiffEngine()

    def call():
        try:
            engine.diff_table("t", model, db, "postgres")
        except TypeError:
            pass

    assert_no_growth(call)


# ---- against a reference model --------------------------------------------------------------


def reference_diff(table, model, db, dialect):
    """The diff's rules in plain Python, visiting model columns in the model's order."""
    columns = []
    for name, attrs in model.items():
        data_type = attrs.get("data_type")
        nullable = attrs.get("nullable")
        primary_key = attrs.get("primary_key")
        columns.append((
            name,
            data_type if isinstance(data_type, str) else "TEXT",
            nullable if isinstance(nullable, bool) else True,
            primary_key if isinstance(primary_key, bool) else False,
        ))
    if not db:
        key = {"mysql": "INT AUTO_INCREMENT PRIMARY KEY", "postgres": "SERIAL PRIMARY KEY",
               "postgresql": "SERIAL PRIMARY KEY"}.get(dialect, "INTEGER PRIMARY KEY AUTOINCREMENT")
        definitions = [f"{n} {key}" if pk else f"{n} {t}{'' if null else ' NOT NULL'}"
                       for n, t, null, pk in columns]
        return ([f"CREATE TABLE IF NOT EXISTS {table} ({', '.join(definitions)});"],
                [f"DROP TABLE IF EXISTS {table};"])
    up, down = [], []
    for n, t, null, pk in columns:
        if n in db:
            continue
        up.append(f"ALTER TABLE {table} ADD COLUMN {n} {t}"
                  f"{' NOT NULL' if not null and not pk else ''};")
        down.append(f"ALTER TABLE {table} DROP COLUMN {n};")
    return (up, down)


column_names = st.text(alphabet="abcXY_\u00e9", min_size=1, max_size=4)
attribute_values = {
    "data_type": st.one_of(st.text(alphabet="ABC(1) ,", max_size=8), st.none(), st.integers()),
    "nullable": st.one_of(st.booleans(), st.integers(0, 1), st.none()),
    "primary_key": st.one_of(st.booleans(), st.integers(0, 1), st.none()),
}
attributes = st.fixed_dictionaries({}, optional=attribute_values)
dialects = st.sampled_from(["mysql", "postgres", "postgresql", "sqlite", "MySQL", ""])


@st.composite
def schemas(draw):
    model = draw(st.dictionaries(column_names, attributes, max_size=8))
    kept = draw(st.lists(st.sampled_from(sorted(model)), unique=True) if model else st.just([]))
    extra = draw(st.lists(column_names, max_size=3))
    db = {name: draw(st.sampled_from(["INT", "TEXT", ""])) for name in kept + extra}
    return model, db


@given(schemas(), dialects, st.text(alphabet="tu_", max_size=3))
def test_the_engine_agrees_with_the_reference(mod, schema, dialect, table):
    model, db = schema
    assert mod.SchemaDiffEngine().diff_table(table, model, db, dialect) == reference_diff(
        table, model, db, dialect)


@given(schemas())
def test_each_downgrade_undoes_the_upgrade_at_its_position(mod, schema):
    model, db = schema
    db = db or {"existing": "INT"}  # the alter path
    up, down = mod.SchemaDiffEngine().diff_table("t", model, db, "postgres")
    assert len(up) == len(down)
    columns = set(db)
    added = []
    for statement in up:
        prefix = "ALTER TABLE t ADD COLUMN "
        assert statement.startswith(prefix) and statement.endswith(";")
        name = statement[len(prefix):].split(" ", 1)[0]
        assert name not in columns
        columns.add(name)
        added.append(name)
    for i in reversed(range(len(down))):
        assert down[i] == f"ALTER TABLE t DROP COLUMN {added[i]};"
        columns.remove(added[i])
    assert columns == set(db)
    assert added == [name for name in model if name not in db]


class KeyText(str):
    pass


@pytest.mark.parametrize("key_form", [
    lambda name: name,
    lambda name: "".join(list(name)),  # the same text in a str of its own
    KeyText,
], ids=["literal", "built", "str-subclass"])
def test_attribute_keys_are_found_by_their_text_whatever_object_holds_it(mod, key_form):
    attrs = {key_form("comment"): "x", key_form("data_type"): "VARCHAR(9)",
             key_form("nullable"): False, key_form("primary_key"): False, 7: "seven"}
    assert diff(mod, {"c": attrs}, {}) == create("t", "c VARCHAR(9) NOT NULL")
    attrs = {key_form("primary_key"): True, key_form("unique"): True}
    assert diff(mod, {"c": attrs}, {}) == create("t", "c INTEGER PRIMARY KEY AUTOINCREMENT")


@pytest.mark.parametrize("model_form", [lambda n: n, lambda n: "".join(list(n)), KeyText],
                         ids=["model-literal", "model-built", "model-subclass"])
@pytest.mark.parametrize("db_form", [lambda n: n, lambda n: "".join(list(n)), KeyText],
                         ids=["db-literal", "db-built", "db-subclass"])
def test_column_names_match_by_text_whatever_objects_hold_them(mod, model_form, db_form):
    names = ["id", "name", "email", "age"]
    # Only some names take the form under test, so both kinds meet in one call.
    model = {(model_form(n) if i % 2 else n): {"data_type": f"T{i}"} for i, n in enumerate(names)}
    db = {(db_form(n) if i else n): "X" for i, n in enumerate(["id", "email", "other"])}
    assert diff(mod, model, db) == alter(add("t", "name", "T1"), add("t", "age", "T3"))


# ---- forms mixed at any position ----------------------------------------------------------


def encodable(text):
    try:
        text.encode()
        return True
    except UnicodeEncodeError:
        return False


# Some texts have a lone surrogate, which no UTF-8 form can hold: only a quarter of the
# schemas have such names, which end the call.
names = st.sampled_from(["a", "b", "ab", "ba", "\u00e9", "a\u00e9", "bb", "aa"])
faulty_names = st.sampled_from(["a", "b", "\u00e9", "\ud800", "a\udc80"])
types = st.sampled_from(["INT", "T(\u00e9)", "VARCHAR(9)", "\ud800"])


@st.composite
def mixed_schemas(draw):
    """Plain strs but for one at any position (or none), which is a str of its own with the
    same text or a str subclass."""
    odd_at = draw(st.integers(0, 14))
    odd_form = draw(st.sampled_from([lambda t: "".join(list(t)), KeyText]))
    made = [0]

    def form(text):
        made[0] += 1
        return odd_form(text) if made[0] == odd_at else text

    faults = draw(st.sampled_from([False, False, False, True]))
    model = {}
    for name in draw(st.lists(faulty_names if faults else names, max_size=6, unique=True)):
        attrs = {}
        if draw(st.booleans()):
            attrs[form("data_type")] = form(draw(types))
        if draw(st.booleans()):
            attrs["nullable"] = draw(st.sampled_from([True, False, 0, None]))
        model[form(name)] = attrs
    db_types = st.sampled_from(["INT", "\ud800"] if faults else ["INT", "TEXT"])
    db = {form(n): form(draw(db_types))
          for n in draw(st.lists(faulty_names if faults else names, max_size=4, unique=True))}
    return model, db


@given(mixed_schemas())
@example(({"a": {"data_type": "INT"}, "b": {"data_type": KeyText("T")}}, {}))
@example(({"a": {"data_type": "INT"}, "b": {"data_type": "\ud800"}}, {"a": "X"}))
@example(({"a": {}, KeyText("b"): {"data_type": "T"}}, {"a": "X"}))
@example(({"a": {}, "b": {KeyText("data_type"): "T"}}, {"c": "X"}))
@example(({"a": {}, "b": {}}, {"a": "X", KeyText("b"): "Y"}))
@example(({"a": {}, "b": {}}, {"a": "X", "b": KeyText("Y")}))
def test_an_odd_form_or_unencodable_text_anywhere_agrees_with_the_reference(mod, schema):
    model, db = schema
    faulty = [k for k in model if not encodable(k)] + [
        t for pair in db.items() for t in pair if not encodable(t)]
    if faulty:
        with pytest.raises(UnicodeEncodeError):
            diff(mod, model, db, dialect="postgres")
        return
    # A type text that cannot be encoded takes the default, as any type that is not a str.
    plain = {str(k): {str(a): (None if isinstance(v, str) and not encodable(v) else v)
                      for a, v in attrs.items()} for k, attrs in model.items()}
    assert diff(mod, model, db, dialect="postgres") == reference_diff(
        "t", plain, {str(k): v for k, v in db.items()}, "postgres")


@pytest.mark.parametrize("model, db, error", [
    ({"a": {"data_type": "INT"}}, {"a": "INT", "b": "TEXT"}, None),
    ({"a": {"data_type": "\ud800"}}, {}, None),
    ({KeyText("a"): {KeyText("nullable"): False}}, {"b": "X"}, None),
    ({"a": {}, "\ud800": {}}, {}, UnicodeEncodeError),
    ({"a": {}}, {"b": None}, TypeError),
    ({"a": {}, KeyText("b"): 7}, {}, TypeError),
], ids=["plain", "unencodable-type", "subclass-strs", "unencodable-key", "db-value-none",
        "subclass-then-fault"])
def test_the_collector_is_left_as_the_call_found_it(mod, model, db, error):
    # Whether the call ends in a result or in an error, on the read that holds nothing or on
    # the one that starts over.
    was = gc.isenabled()
    try:
        for enabled in (True, False):
            (gc.enable if enabled else gc.disable)()
            with pytest.raises(error) if error else contextlib.nullcontext():
                diff(mod, model, db)
            assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()

"""The module object and its four classes as the interpreter sees them after import."""

import gc
import importlib
import inspect
import struct
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

from support import message_of

kModuleName = "_kestrelite_rs"
kClassNames = ["StateTracker", "QueryCompiler", "BatchAggregator", "SchemaDiffEngine"]
kSubinterpreterRefusal = "do not yet support subinterpreters"

# (class, method, text signature, description); None as the description means "one line in
# words", checked for shape only.
kMethods = [
    ("StateTracker", "set_initial_state", "($self, data)", ""),
    ("StateTracker", "set_field", "($self, field, value)", ""),
    ("StateTracker", "get_field", "($self, field)", ""),
    ("StateTracker", "is_dirty", "($self)", ""),
    ("StateTracker", "dirty_fields", "($self)", ""),
    ("StateTracker", "get_dirty_changes", "($self)", ""),
    ("StateTracker", "hydrate_snapshot", "($self)", ""),
    ("StateTracker", "get_current_dict", "($self)", ""),
    ("StateTracker", "benchmark_pure_rust", "(count)", None),
    ("QueryCompiler", "get_placeholder", "($self, dialect, index)",
     "Formats placeholder based on database dialect: sqlite (?), postgres ($N), mysql (%s)"),
    ("QueryCompiler", "compile_select",
     '($self, table, columns, wheres, joins, order_by, limit=None, offset=None, dialect="sqlite")',
     "Compiles SELECT query with pre-allocated buffer"),
    ("QueryCompiler", "compile_insert", "($self, table, columns, dialect)",
     "Compiles INSERT query with pre-allocated buffer"),
    ("QueryCompiler", "compile_update", "($self, table, columns, pk_col, dialect)",
     "Compiles UPDATE query with pre-allocated buffer"),
    ("QueryCompiler", "compile_delete", "($self, table, pk_col, dialect)", "Compiles DELETE query"),
    ("BatchAggregator", "add_key_int", "($self, key)",
     "Add an integer foreign key directly (Zero string formatting overhead)"),
    ("BatchAggregator", "add_key_str", "($self, key)", "Add a string foreign key"),
    ("BatchAggregator", "add_key", "($self, key)", "Dynamically add key checking type"),
    ("BatchAggregator", "add_keys_batch", "($self, keys)",
     "Batch add keys in a single FFI boundary call"),
    ("BatchAggregator", "get_keys", "($self)", None),
    ("BatchAggregator", "clear", "($self)", ""),
    ("BatchAggregator", "len", "($self)", ""),
    ("BatchAggregator", "is_empty", "($self)", ""),
    ("SchemaDiffEngine", "diff_table", "($self, table_name, model_fields, db_columns, _dialect)",
     "Compares model metadata against database introspection table structure.\n"
     "Returns upgrade_statements and downgrade_statements."),
]

kSignatures = {
    ("StateTracker", "set_initial_state"): "(self, /, data)",
    ("StateTracker", "set_field"): "(self, /, field, value)",
    ("StateTracker", "get_field"): "(self, /, field)",
    ("StateTracker", "is_dirty"): "(self, /)",
    ("StateTracker", "dirty_fields"): "(self, /)",
    ("StateTracker", "get_dirty_changes"): "(self, /)",
    ("StateTracker", "hydrate_snapshot"): "(self, /)",
    ("StateTracker", "get_current_dict"): "(self, /)",
    ("StateTracker", "benchmark_pure_rust"): "(count)",
    ("QueryCompiler", "get_placeholder"): "(self, /, dialect, index)",
    ("QueryCompiler", "compile_select"):
        "(self, /, table, columns, wheres, joins, order_by, limit=None, offset=None, "
        "dialect='sqlite')",
    ("QueryCompiler", "compile_insert"): "(self, /, table, columns, dialect)",
    ("QueryCompiler", "compile_update"): "(self, /, table, columns, pk_col, dialect)",
    ("QueryCompiler", "compile_delete"): "(self, /, table, pk_col, dialect)",
    ("BatchAggregator", "add_key_int"): "(self, /, key)",
    ("BatchAggregator", "add_key_str"): "(self, /, key)",
    ("BatchAggregator", "add_key"): "(self, /, key)",
    ("BatchAggregator", "add_keys_batch"): "(self, /, keys)",
    ("BatchAggregator", "get_keys"): "(self, /)",
    ("BatchAggregator", "clear"): "(self, /)",
    ("BatchAggregator", "len"): "(self, /)",
    ("BatchAggregator", "is_empty"): "(self, /)",
    ("SchemaDiffEngine", "diff_table"): "(self, /, table_name, model_fields, db_columns, _dialect)",
}

kNoArgMethods = [(c, m) for c, m, sig, _ in kMethods if sig == "($self)"]


def test_module_doc_is_empty_string(mod):
    assert mod.__doc__ == ""


def test_all_lists_classes_in_registration_order(mod):
    assert type(mod.__all__) is list
    assert mod.__all__ == kClassNames


def test_module_has_no_other_public_names(mod):
    assert sorted(n for n in dir(mod) if not n.startswith("__")) == sorted(kClassNames)


@pytest.mark.parametrize("name", kClassNames)
def test_class_identity(mod, name):
    cls = getattr(mod, name)
    assert isinstance(cls, type)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("name", kClassNames)
def test_class_doc_and_text_signature(mod, name):
    cls = getattr(mod, name)
    assert cls.__doc__ == ""
    # 3.9 drops the signature line when it copies a heap type's doc slot.
    if sys.version_info >= (3, 10):
        assert cls.__text_signature__ == "()"
        assert str(inspect.signature(cls)) == "()"
    else:
        assert cls.__text_signature__ is None


@pytest.mark.parametrize("name", kClassNames)
def test_class_is_not_an_acceptable_base(mod, name):
    with pytest.raises(TypeError) as excinfo:
        type("Derived", (getattr(mod, name),), {})
    assert str(excinfo.value) == f"type 'builtins.{name}' is not an acceptable base type"


@pytest.mark.parametrize("name", kClassNames)
def test_instances_have_no_dict_weakref_or_gc(mod, name):
    cls = getattr(mod, name)
    instance = cls()
    assert (cls.__dictoffset__, cls.__weakrefoffset__) == (0, 0)
    assert not hasattr(instance, "__dict__")
    assert not gc.is_tracked(instance)

    def set_on_plain_object():
        object().attribute = 1

    def set_on_instance():
        instance.attribute = 1

    # The interpreter words these; the texts differ from the plain-object ones only in the name.
    shown = f"'builtins.{name}'"
    with pytest.raises(AttributeError) as excinfo:
        set_on_instance()
    assert str(excinfo.value) == message_of(set_on_plain_object).replace("'object'", shown, 1)
    with pytest.raises(TypeError) as excinfo:
        weakref.ref(instance)
    assert str(excinfo.value) == message_of(lambda: weakref.ref(object())).replace(
        "'object'", shown, 1)


@pytest.mark.parametrize("name", ["QueryCompiler", "SchemaDiffEngine"])
def test_stateless_instances_are_the_header_and_the_borrow_counter(mod, name):
    # A class that keeps nothing spends no room on its empty state.
    size = object.__basicsize__ + struct.calcsize("n")
    cls = getattr(mod, name)
    assert cls.__basicsize__ == size
    assert sys.getsizeof(cls()) == size


@pytest.mark.parametrize("name", kClassNames)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "{}.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "{}.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "{}.__new__() got an unexpected keyword argument 'x'"),
        ((1,), {"x": 1}, "{}.__new__() takes 0 positional arguments but 1 was given"),
    ],
)
def test_constructor_refuses_arguments(mod, name, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(mod, name)(*args, **kwargs)
    assert str(excinfo.value) == message.format(name)


@pytest.mark.parametrize("name", kClassNames)
def test_constructor_gives_distinct_instances(mod, name):
    cls = getattr(mod, name)
    first, second = cls(), cls()
    assert type(first) is cls and type(second) is cls
    assert first is not second


@pytest.mark.parametrize("class_name, method", kNoArgMethods)
def test_no_argument_methods_are_refused_by_the_interpreter(mod, class_name, method):
    bound = getattr(getattr(mod, class_name)(), method)
    # A builtin no-argument method of the same interpreter gives the wording.
    for call, reference in [
        (lambda: bound(1), lambda: [].copy(1)),
        (lambda: bound(1, 2), lambda: [].copy(1, 2)),
        (lambda: bound(x=1), lambda: [].copy(x=1)),
    ]:
        with pytest.raises(TypeError) as excinfo:
            call()
        expected = message_of(reference).replace("list.copy", f"{class_name}.{method}", 1)
        assert str(excinfo.value) == expected


def test_len_builtin_is_not_supported(mod):
    aggregator = mod.BatchAggregator()
    with pytest.raises(TypeError) as excinfo:
        len(aggregator)
    assert str(excinfo.value) == message_of(lambda: len(object())).replace(
        "'object'", "'builtins.BatchAggregator'", 1)
    assert aggregator.len() == 0


@pytest.mark.parametrize("name", kClassNames)
def test_method_table_order(mod, name):
    registered = [n for n in vars(getattr(mod, name)) if not n.startswith("__")]
    assert registered == [m for c, m, _, _ in kMethods if c == name]


@pytest.mark.parametrize(
    "class_name, method, text_signature, description", kMethods,
    ids=[f"{c}.{m}" for c, m, _, _ in kMethods],
)
def test_method_docstring(mod, class_name, method, text_signature, description):
    function = getattr(getattr(mod, class_name), method)
    assert function.__text_signature__ == text_signature
    # The interpreter splits the doc slot into the signature and what follows the separator.
    shown = function.__doc__ or ""
    if description is None:
        assert shown != "" and "\n" not in shown and "native" in shown
    else:
        assert f"{method}{function.__text_signature__}\n--\n\n{shown}" == (
            f"{method}{text_signature}\n--\n\n{description}")


@pytest.mark.parametrize("key", list(kSignatures), ids=[f"{c}.{m}" for c, m in kSignatures])
def test_method_signature(mod, key):
    class_name, method = key
    cls = getattr(mod, class_name)
    assert str(inspect.signature(getattr(cls, method))) == kSignatures[key]
    bound = str(inspect.signature(getattr(cls(), method)))
    assert bound == kSignatures[key].replace("self, /, ", "").replace("(self, /)", "()")


def test_static_method_is_registered_as_such(mod):
    assert isinstance(vars(mod.StateTracker)["benchmark_pure_rust"], staticmethod)


def test_reimport_returns_the_same_module(mod):
    classes = [getattr(mod, n) for n in kClassNames]
    saved = sys.modules.pop(kModuleName)
    try:
        again = importlib.import_module(kModuleName)
        assert again is mod
    finally:
        sys.modules[kModuleName] = saved
    assert importlib.reload(mod) is mod
    assert mod.__all__ == kClassNames
    assert [getattr(mod, n) for n in kClassNames] == classes


# Runs `code` in a legacy subinterpreter (shared GIL) so that the module's own check is reached;
# newer interpreters refuse a 3.9-limited-API module before its init with their default config.
kSubinterpreterRunner = textwrap.dedent(
    """
    import sys

    def run_in_subinterpreter(code):
        if sys.version_info >= (3, 13):
            import _interpreters
            interp = _interpreters.create(_interpreters.new_config("legacy"))
            try:
                _interpreters.exec(interp, code)
            finally:
                _interpreters.destroy(interp)
        elif sys.version_info >= (3, 12):
            import _testcapi
            _testcapi.run_in_subinterp_with_config(
                code, use_main_obmalloc=True, allow_fork=True, allow_exec=True,
                allow_threads=True, allow_daemon_threads=True,
                check_multi_interp_extensions=False, gil=1)
        else:
            import _testcapi
            _testcapi.run_in_subinterp(code)

    def try_import(who):
        try:
            import _kestrelite_rs
        except ImportError as error:
            line = who + " " + type(error).__name__ + " " + str(error)
        else:
            line = who + " imported"
        sys.stdout.write(line.replace("\\n", " ") + "\\n")
        sys.stdout.flush()
    """
)


def run_child(module_dir, body):
    """Runs `body` in a fresh interpreter after the runner, with SUB_CODE holding the code
    that tries the import in a subinterpreter; returns the stdout lines."""
    prelude = f"import sys\nsys.path.insert(0, {str(module_dir)!r})\n" + kSubinterpreterRunner
    sub_code = prelude + 'try_import("sub")\n'
    child = prelude + f"SUB_CODE = {sub_code!r}\n" + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def subinterpreter_support():
    names = ("_interpreters",) if sys.version_info >= (3, 13) else ("_testcapi",)
    for name in names:
        try:
            importlib.import_module(name)
        except ImportError:
            return False
    return True


needs_subinterpreters = pytest.mark.skipif(
    not subinterpreter_support(), reason="this interpreter has no subinterpreter test hooks")


@needs_subinterpreters
def test_subinterpreter_import_after_main_is_refused(mod):
    lines = run_child(Path(mod.__file__).parent, """
        try_import("main")
        run_in_subinterpreter(SUB_CODE)
    """)
    assert len(lines) == 2
    assert lines[0] == "main imported"
    who, kind, text = lines[1].split(" ", 2)
    assert (who, kind) == ("sub", "ImportError")
    assert kSubinterpreterRefusal in text


@needs_subinterpreters
def test_only_one_interpreter_owns_the_module(mod):
    # The subinterpreter asks first. Up to 3.12 it runs the init and owns the module; 3.13 runs
    # a single-phase init in the main interpreter first. Either way exactly one side imports.
    lines = run_child(Path(mod.__file__).parent, """
        run_in_subinterpreter(SUB_CODE)
        try_import("main")
    """)
    assert [line.split(" ")[0] for line in lines] == ["sub", "main"]
    imported = [line for line in lines if line.endswith(" imported")]
    refused = [line.split(" ", 2) for line in lines if not line.endswith(" imported")]
    assert len(imported) == 1 and len(refused) == 1
    assert refused[0][1] == "ImportError"
    assert kSubinterpreterRefusal in refused[0][2]
    if sys.version_info < (3, 13):
        assert imported == ["sub imported"]

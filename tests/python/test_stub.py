"""The shipped stub agrees with the running module: every class and method, every parameter
name, kind and default."""

import ast
import inspect
import pathlib

import pytest

STUB = pathlib.Path(__file__).resolve().parents[2] / "_kestrelite_rs-stubs" / "__init__.pyi"
CLASSES = ["StateTracker", "QueryCompiler", "BatchAggregator", "SchemaDiffEngine"]


def stub_classes():
    tree = ast.parse(STUB.read_text())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            out[node.name] = {
                f.name: f for f in node.body if isinstance(f, ast.FunctionDef) and f.name != "__init__"
            }
    return out


def stub_params(fn):
    args = fn.args
    names = [a.arg for a in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults
    ]
    has_default = [False] * (len(names) - len(args.defaults)) + [True] * len(args.defaults)
    is_static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in fn.decorator_list)
    if not is_static:
        names, defaults, has_default = names[1:], defaults[1:], has_default[1:]
    return [(n, d if h else inspect.Parameter.empty) for n, d, h in zip(names, defaults, has_default)]


def runtime_params(cls, name):
    sig = inspect.signature(getattr(cls, name))
    params = list(sig.parameters.values())
    if params and params[0].name == "self":
        params = params[1:]
    return [(p.name, p.default) for p in params]


def test_stub_lists_exactly_the_runtime_classes_and_methods(mod):
    stub = stub_classes()
    assert set(CLASSES) <= set(stub)
    for name in CLASSES:
        cls = getattr(mod, name)
        runtime = {m for m in vars(cls) if not m.startswith("_")}
        assert set(stub[name]) == runtime, name


@pytest.mark.parametrize("cls_name", CLASSES)
def test_stub_parameters_match_signatures(mod, cls_name):
    cls = getattr(mod, cls_name)
    for method, fn in stub_classes()[cls_name].items():
        assert stub_params(fn) == runtime_params(cls, method), f"{cls_name}.{method}"


def test_stub_declares_the_internal_failure_as_a_base_exception():
    stub = stub_classes()
    tree = ast.parse(STUB.read_text())
    panic = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PanicException")
    assert [b.id for b in panic.bases] == ["BaseException"]
    assert "PanicException" in stub

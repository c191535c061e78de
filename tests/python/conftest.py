"""Shared set-up of the Python suites.

The module is found through PYTHONPATH, which scripts/run-pytest.sh points at a build
folder and names in KESTRELITE_BUILD_DIR; the session refuses to start when the imported
module is any other file, so a stale install is never the thing under test.
"""

import contextlib
import importlib
import os
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

# The shared helpers assert too: show what they compared when they fail.
pytest.register_assert_rewrite("support", "hostile")

kModuleName = "_kestrelite_rs"
kModuleFileName = kModuleName + ".abi3.so"

settings.register_profile(
    "default",
    database=None,
    derandomize=True,
    deadline=None,
    max_examples=200,
)
# The properties do not depend on the interpreter: the full count runs once, under Debian's
# python3, and the other interpreters run a shorter pass.
settings.register_profile(
    "quick",
    database=None,
    derandomize=True,
    deadline=None,
    max_examples=40,
)
# Under the sanitizers every call is several times slower.
settings.register_profile(
    "sanitize",
    database=None,
    derandomize=True,
    deadline=None,
    max_examples=30,
    suppress_health_check=[HealthCheck.too_slow],
)
hypothesis_profile = os.environ.get("KESTRELITE_HYPOTHESIS_PROFILE", "default")
settings.load_profile(hypothesis_profile)


# Tests that cannot hold under user-mode emulation (scripts/aarch64.sh sets
# KESTRELITE_EMULATOR): the emulator accepts setrlimit(RLIMIT_AS) but never applies it, so
# a child capped to a little address space instead allocates until its work is done.
# Keyed by file and test function; every parametrized case is skipped.
kNotUnderEmulation = {
    ("test_alloc_failure.py", "test_work_that_cannot_get_memory_raises_memory_error"):
        "an address-space cap does not hold under emulation",
    ("test_state_tracker.py", "test_benchmark_out_of_memory_is_a_memory_error"):
        "an address-space cap does not hold under emulation",
}
emulator = os.environ.get("KESTRELITE_EMULATOR", "")


def _emulation_key(item):
    return Path(item.path).name, getattr(item, "originalname", item.name)


@pytest.hookimpl(tryfirst=True)
def pytest_collection_modifyitems(config, items):
    """Skips the tests of kNotUnderEmulation under an emulator, and fails the session when an
    entry names a test that its file no longer has (a rename would otherwise let
    the test run, and fail, under emulation)."""
    modules = {Path(item.path).name: item.module for item in items if hasattr(item, "module")}
    stale = [(file, name) for file, name in kNotUnderEmulation
             if file in modules and not hasattr(modules[file], name)]
    if stale:
        raise pytest.UsageError(f"kNotUnderEmulation names tests that do not exist: {stale}")
    if not emulator:
        return
    for item in items:
        reason = kNotUnderEmulation.get(_emulation_key(item))
        if reason:
            item.add_marker(pytest.mark.skip(reason=f"{reason} ({emulator})"))


def expected_module_path():
    """Returns the module file in the build folder named by KESTRELITE_BUILD_DIR."""
    build_dir = os.environ.get("KESTRELITE_BUILD_DIR")
    if not build_dir:
        raise pytest.UsageError(
            "KESTRELITE_BUILD_DIR is not set: run the suites through "
            "scripts/run-pytest.sh PYTHON BUILD_DIR"
        )
    return (Path(build_dir) / kModuleFileName).resolve()


def pytest_sessionstart(session):
    """Imports the module once and stops the session if it is not the built file."""
    expected = expected_module_path()
    try:
        module = importlib.import_module(kModuleName)
    except ImportError as error:
        pytest.exit(f"cannot import {kModuleName} from {expected}: {error}", returncode=4)
    actual = Path(module.__file__).resolve()
    if actual != expected:
        pytest.exit(f"imported {kModuleName} from {actual}, expected {expected}", returncode=4)


def pytest_sessionfinish(session, exitstatus):
    """Under the sanitizer run, asks LeakSanitizer for blocks that nothing points at any more
    while the interpreter is still whole, and fails the session on any that the module
    allocated. The interpreter's own unreachable blocks (its frames' stacks are too shallow
    to name a caller) are counted and shown as one line."""
    if os.environ.get("KESTRELITE_LEAK_CHECK") != "1":
        return
    import ctypes
    import gc
    import tempfile

    check = getattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check", None)
    if check is None:
        pytest.exit("KESTRELITE_LEAK_CHECK=1 but LeakSanitizer is not loaded", returncode=4)
    while gc.collect():
        pass
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile(mode="w+b") as report:
        os.dup2(report.fileno(), 2)
        try:
            check()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        report.seek(0)
        text = report.read().decode("utf-8", "replace")
    ours, theirs = split_leak_report(text)
    for block in ours:
        sys.stderr.write("ERROR: LeakSanitizer: the module lost this block:\n" + block + "\n")
    sys.stderr.write(f"leak check: {len(ours)} report(s) from the module, {len(theirs)} from "
                     f"the interpreter alone\n")
    if ours:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def split_leak_report(text):
    """Splits a LeakSanitizer report into its leak paragraphs, those whose allocation stack
    passes through the module and the others."""
    blocks = [b.strip("\n") for b in text.split("\n\n") if " leak of " in b]
    ours = [b for b in blocks if kModuleFileName in b or "kestrelite::" in b]
    return ours, [b for b in blocks if b not in ours]


def pytest_report_header(config):
    """Names the module file under test and the hypothesis profile in the session header."""
    under = f", under {emulator}" if emulator else ""
    return (f"{kModuleName}: {expected_module_path()}, hypothesis profile "
            f"{hypothesis_profile!r}{under}")


@pytest.fixture(scope="session")
def mod():
    """The extension module under test."""
    return importlib.import_module(kModuleName)


@pytest.fixture(scope="session")
def module_path():
    """The path of the built module file."""
    return expected_module_path()


@contextlib.contextmanager
def _capture_unraisable():
    seen = []

    def hook(unraisable):
        seen.append((unraisable.exc_type, unraisable.exc_value, unraisable.object))

    previous = sys.unraisablehook
    sys.unraisablehook = hook
    try:
        yield seen
    finally:
        sys.unraisablehook = previous


@pytest.fixture
def unraisable():
    """A context manager that records sys.unraisablehook calls made inside it.

    `with unraisable() as seen:` gives a list of (exc_type, exc_value, object). It is a
    context manager rather than a plain fixture value because pytest swaps its own hook
    in and out around each test phase, which would undo a hook set up by a fixture.
    """
    return _capture_unraisable

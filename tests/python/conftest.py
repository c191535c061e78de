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


def pytest_report_header(config):
    """Names the module file under test and the hypothesis profile in the session header."""
    return f"{kModuleName}: {expected_module_path()}, hypothesis profile {hypothesis_profile!r}"


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

"""Helpers shared by the class suites: memory-growth rounds and fresh interpreters."""

import contextlib
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc


def assert_no_growth(action, rounds=4, calls=2000):
    """Fails when every round of `calls` actions left memory allocated."""
    use_blocks = sys.getallocatedblocks() > 0
    if not use_blocks:
        tracemalloc.start()

    def measure():
        gc.collect()
        return sys.getallocatedblocks() if use_blocks else tracemalloc.get_traced_memory()[0]

    try:
        for _ in range(calls):  # warm-up: caches, interned names, free lists
            action()
        growth = []
        for _ in range(rounds):
            before = measure()
            for _ in range(calls):
                action()
            growth.append(measure() - before)
    finally:
        if not use_blocks:
            tracemalloc.stop()
    # A leak of one small object per call shows as about `calls` blocks or 16 * `calls` bytes.
    threshold = calls // 2 if use_blocks else calls * 8
    assert not all(g >= threshold for g in growth), growth


def run_python(mod, script, **env):
    """Runs `script` in a fresh interpreter that imports the module under test."""
    full_env = dict(os.environ, PYTHONPATH=os.path.dirname(mod.__file__), **env)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)],
                          capture_output=True, text=True, env=full_env, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    return done.stdout


def exact_digits(n):
    """str(n) whatever the interpreter's int-to-str limit (raised for this one call)."""
    limit = getattr(sys, "get_int_max_str_digits", None)
    if limit is None:
        return str(n)
    before = limit()
    sys.set_int_max_str_digits(0)
    try:
        return str(n)
    finally:
        sys.set_int_max_str_digits(before)


def message_of(call):
    """The text of the exception `call` raises (for texts the interpreter words itself)."""
    try:
        call()
    except Exception as error:  # noqa: BLE001 - any class: only its text is wanted
        return str(error)
    raise AssertionError("the call did not raise")


@contextlib.contextmanager
def unraisable_dropped():
    """Silences the unraisable hook without keeping what it is handed (the conftest's
    recorder keeps every exception alive, which a memory count would see)."""
    previous = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    try:
        yield
    finally:
        sys.unraisablehook = previous


# ---- values whose str() misbehaves ---------------------------------------------------------


class Raising:
    def __init__(self, error=None):
        self.error = error or ValueError("no text")

    def __str__(self):
        raise self.error


class ReturnsInt:
    def __str__(self):
        return 42


class Calls:
    """A value whose __str__ runs `hook`, then gives `text`."""

    def __init__(self, hook, text="c"):
        self.hook = hook
        self.text = text

    def __str__(self):
        self.hook()
        return self.text


class NameNotStrMeta(type):
    @property
    def __name__(cls):
        return 5


class NonStrNameRaising(Raising, metaclass=NameNotStrMeta):
    pass

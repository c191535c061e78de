"""The stub type-checks a program that uses every method, and agrees with the built module."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
mypy = pytest.importorskip("mypy")


def test_example_program_type_checks_strictly():
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         str(ROOT / "examples" / "typed_usage.py")],
        env={**os.environ, "MYPYPATH": str(ROOT)}, capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_finds_no_difference_with_the_built_module(tmp_path):
    build_dir = os.environ.get("KESTRELITE_BUILD_DIR")
    if not build_dir:
        pytest.skip("KESTRELITE_BUILD_DIR not set")
    shutil.copyfile(ROOT / "_kestrelite_rs.pyi", tmp_path / "_kestrelite_rs.pyi")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_kestrelite_rs", "--allowlist",
         str(ROOT / "tests" / "packaging" / "stubtest_allowlist.txt")],
        env={**os.environ, "PYTHONPATH": build_dir, "MYPYPATH": str(tmp_path)},
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr

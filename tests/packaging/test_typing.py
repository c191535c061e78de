"""The stub agrees with the built module (a fresh install's type checking is in test_wheel)."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
pytest.importorskip("mypy")


def test_stubtest_finds_no_difference_with_the_built_module(tmp_path):
    build_dir = os.environ.get("KESTRELITE_BUILD_DIR")
    if not build_dir:
        pytest.skip("KESTRELITE_BUILD_DIR not set")
    # The stub as a module file in the working folder, which mypy searches first; the module
    # itself is imported from the build folder.
    shutil.copyfile(ROOT / "_kestrelite_rs-stubs" / "__init__.pyi", tmp_path / "_kestrelite_rs.pyi")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_kestrelite_rs", "--allowlist",
         str(ROOT / "tests" / "packaging" / "stubtest_allowlist.txt")],
        env={**env, "PYTHONPATH": build_dir}, capture_output=True, text=True, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr

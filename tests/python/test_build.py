"""Checks on the built module file: one stable-ABI binary for every interpreter."""

import importlib.machinery
import os
import re
import shutil
import subprocess
import sys

import pytest

kInitSymbol = "PyInit__kestrelite_rs"


def run_tool(name, *args):
    """Runs a binutils tool and returns its output, skipping when it is not installed."""
    tool = shutil.which(name)
    if tool is None:
        pytest.skip(f"{name} not installed")
    # A sanitizer run preloads its runtime into every child; binutils need none of it.
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    return subprocess.run(
        [tool, *args], check=True, capture_output=True, text=True, env=env
    ).stdout


def test_file_name_carries_the_stable_abi_tag(module_path):
    assert module_path.name == "_kestrelite_rs.abi3.so"


def test_module_does_not_link_libpython(module_path):
    dynamic = run_tool("readelf", "-d", str(module_path))
    # No dynamic section would mean a static object, not a module: the output was misread.
    assert "Dynamic section at offset" in dynamic
    needed = [line.split("[", 1)[1].rstrip("]")
              for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert [lib for lib in needed if lib.startswith("libpython")] == []


def test_module_exports_only_its_init_function(module_path):
    symbols = run_tool("nm", "-D", "--defined-only", str(module_path))
    names = [line.split()[-1].split("@")[0] for line in symbols.splitlines() if line.strip()]
    assert names == [kInitSymbol]


def test_the_built_file_is_the_one_imported(mod, module_path):
    print(f"CPython {sys.version} imported {mod.__file__}")
    assert os.path.samefile(mod.__file__, module_path)
    assert isinstance(mod.__loader__, importlib.machinery.ExtensionFileLoader)


def test_module_needs_no_glibc_newer_than_2_28(module_path):
    # The interpreter functions of newer versions are bound at load time, not looked up
    # through the dynamic loader's API, whose functions moved into libc in 2.34.
    table = run_tool("objdump", "-T", str(module_path))
    versions = {tuple(int(part) for part in found.split("."))
                for found in re.findall(r"\bGLIBC_([0-9.]+)\b", table)}
    assert versions and max(versions) <= (2, 28), sorted(versions)
    assert " dlsym" not in table

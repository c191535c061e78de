"""The sdist alone builds, offline and in a fresh folder, one cp39-abi3 manylinux wheel; the
wheel installs and works in fresh virtual environments of the oldest and newest supported
interpreters, and type checkers find its stub there."""

import glob
import os
import platform
import re
import subprocess
import sys
import tarfile
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The policy the wheel is built for: a module needing a newer glibc, GLIBCXX or CXXABI
# symbol version makes auditwheel name a newer one, and this suite fails.
POLICY = "manylinux_2_27"

SMOKE = r"""
import _kestrelite_rs as kr, sys
assert "site-packages" in kr.__file__, kr.__file__
q = kr.QueryCompiler()
assert q.compile_update("users", ["name"], "id", "postgres") == "UPDATE users SET name = $1 WHERE id = $2"
assert q.compile_select("users", [], [("a", "=", "1")], [], [])[1] == ["1"]
t = kr.StateTracker(); t.set_initial_state({"a": 1}); t.set_field("a", 2)
assert t.get_dirty_changes() == {"a": 2}
b = kr.BatchAggregator(); assert b.add_keys_batch([1, 1, "x"]) == 2 and b.get_keys() == [1, "x"]
up, down = kr.SchemaDiffEngine().diff_table("t", {"c": {}}, {"id": "INTEGER"}, "sqlite")
assert up == ["ALTER TABLE t ADD COLUMN c TEXT;"] and down == ["ALTER TABLE t DROP COLUMN c;"]
print("smoke ok", sys.version.split()[0])
"""

WRONGLY_TYPED = """from _kestrelite_rs import QueryCompiler

x: int = QueryCompiler().compile_delete("t", "id", "sqlite")
"""


def clean_env(**extra):
    """This environment without the build folder on the import path and without a package
    index: nothing below may reach either."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
    env.update(PIP_NO_INDEX="1", **extra)
    return env


def run(argv, **kwargs):
    """Runs a command; a failure shows its output."""
    result = subprocess.run(argv, capture_output=True, text=True, env=clean_env(), **kwargs)
    assert result.returncode == 0, f"{argv}:\n{result.stdout}\n{result.stderr}"
    return result


def pyenv_python(minor):
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    found = sorted(glob.glob(os.path.join(root, "versions", f"3.{minor}.*", "bin", "python3")))
    return found[-1] if found else None


def fresh_venv(python, path):
    """A new virtual environment holding only the wheel (and the pip it starts with)."""
    run([python, "-m", "venv", str(path)])
    return str(path / "bin" / "python")


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    """(sdist, wheel): the sdist of the source tree, and the wheel built from its contents
    alone, unpacked into a fresh folder, without build isolation or a package index."""
    out = tmp_path_factory.mktemp("dist")
    run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "-o", str(out), ROOT])
    (sdist,) = out.glob("*.tar.gz")
    unpacked = tmp_path_factory.mktemp("unpacked")
    with tarfile.open(sdist) as archive:
        # The "data" filter refuses links and paths out of the folder where the interpreter
        # has it; without it, newer interpreters warn.
        options = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        archive.extractall(unpacked, **options)
    (source,) = unpacked.iterdir()
    run([sys.executable, "-m", "build", "--wheel", "--no-isolation", "-o", str(out), str(source)],
        cwd=str(unpacked))
    (wheel,) = out.glob("*.whl")
    return sdist, wheel


@pytest.fixture(scope="module")
def wheel(dists):
    return dists[1]


def test_wheel_name_carries_the_policy_auditwheel_confirms(wheel):
    shown = run([sys.executable, "-m", "auditwheel", "show", str(wheel)]).stdout
    confirmed = re.search(r'consistent with the following platform tag: "([^"]+)"', " ".join(shown.split()))
    assert confirmed, shown
    expected = f"{POLICY}_{platform.machine()}"
    assert confirmed.group(1) == expected, shown
    assert re.fullmatch(rf"kestrelite_native-[0-9.]+-cp39-abi3-{expected}\.whl", wheel.name), wheel.name


def test_wheel_holds_the_module_and_the_stub_package_only(wheel):
    names = sorted(n for n in zipfile.ZipFile(wheel).namelist() if ".dist-info/" not in n)
    assert names == ["_kestrelite_rs-stubs/__init__.pyi", "_kestrelite_rs.abi3.so"]


def test_metadata_of_sdist_and_wheel_passes_twine_check(dists):
    run([sys.executable, "-m", "twine", "check", "--strict", *map(str, dists)])


@pytest.mark.parametrize("interpreter", ["3.9", "debian", "3.13"])
def test_wheel_installs_and_runs_in_a_fresh_environment(wheel, tmp_path, interpreter):
    python = "/usr/bin/python3" if interpreter == "debian" else pyenv_python(interpreter.split(".")[1])
    if not python or not os.path.exists(python):
        pytest.skip(f"CPython {interpreter} not present")
    venv_python = fresh_venv(python, tmp_path / "venv")
    run([venv_python, "-m", "pip", "install", "-q", "--no-deps", str(wheel)])
    result = run([venv_python, "-c", SMOKE], cwd=str(tmp_path))
    assert result.stdout.startswith("smoke ok")


def test_type_checker_finds_the_installed_stub(wheel, tmp_path):
    venv_python = fresh_venv(sys.executable, tmp_path / "venv")
    run([venv_python, "-m", "pip", "install", "-q", "--no-deps", str(wheel)])
    # Away from the source tree, so that the stub can only come from the installed wheel.
    work = tmp_path / "work"
    work.mkdir()
    with open(os.path.join(ROOT, "examples", "typed_usage.py")) as source:
        (work / "typed_usage.py").write_text(source.read())
    (work / "wrongly_typed.py").write_text(WRONGLY_TYPED)
    mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
            "--python-executable", venv_python]
    run([*mypy, "typed_usage.py"], cwd=str(work))
    rejected = subprocess.run([*mypy, "wrongly_typed.py"], cwd=str(work), capture_output=True,
                              text=True, env=clean_env())
    assert rejected.returncode == 1, rejected.stdout + rejected.stderr
    assert rejected.stdout.splitlines() == [
        'wrongly_typed.py:3: error: Incompatible types in assignment (expression has type "str",'
        ' variable has type "int")  [assignment]',
        "Found 1 error in 1 file (checked 1 source file)",
    ]

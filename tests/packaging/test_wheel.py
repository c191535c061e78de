"""`pip wheel .` gives one cp39-abi3 wheel that installs and works in fresh virtual
environments of the oldest and newest supported interpreters, away from the source tree."""

import glob
import os
import pathlib
import subprocess
import sys
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

SMOKE = r"""
import _kestrelite_rs as kr, pathlib, sys
assert "site-packages" in kr.__file__, kr.__file__
assert (pathlib.Path(kr.__file__).parent / "_kestrelite_rs.pyi").exists()
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


def pyenv_python(minor):
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    found = sorted(glob.glob(os.path.join(root, "versions", f"3.{minor}.*", "bin", "python3")))
    return found[-1] if found else None


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-index", "--no-deps",
         "-q", "-w", str(out), str(ROOT)],
        check=True, cwd=out,
    )
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1
    return wheels[0]


def test_wheel_is_tagged_for_the_stable_abi_and_holds_module_and_stub(wheel):
    assert wheel.name.endswith("-cp39-abi3-linux_x86_64.whl")
    names = zipfile.ZipFile(wheel).namelist()
    assert "_kestrelite_rs.abi3.so" in names
    assert "_kestrelite_rs.pyi" in names


@pytest.mark.parametrize("interpreter", ["3.9", "debian", "3.13"])
def test_wheel_installs_and_runs_in_a_fresh_environment(wheel, tmp_path, interpreter):
    python = "/usr/bin/python3" if interpreter == "debian" else pyenv_python(interpreter.split(".")[1])
    if not python or not os.path.exists(python):
        pytest.skip(f"CPython {interpreter} not present")
    env_dir = tmp_path / "venv"
    subprocess.run([python, "-m", "venv", str(env_dir)], check=True)
    venv_python = env_dir / "bin" / "python"
    subprocess.run(
        [str(venv_python), "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)],
        check=True,
    )
    result = subprocess.run(
        [str(venv_python), "-c", SMOKE], cwd=tmp_path, capture_output=True, text=True,
        env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("smoke ok")

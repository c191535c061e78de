"""The cross-built aarch64 wheel: tagged cp39-abi3 for a manylinux policy that auditwheel
confirms (2_28 or older), holding an aarch64 module that works when installed.

scripts/aarch64.sh builds the wheel and runs this file with KESTRELITE_AARCH64_WHEEL (the
wheel), KESTRELITE_AARCH64_PYTHON (an aarch64 interpreter, emulated) and
KESTRELITE_AUDITWHEEL set; elsewhere it skips."""

import os
import re
import struct
import subprocess
import sys
import zipfile

import pytest

wheel_path = os.environ.get("KESTRELITE_AARCH64_WHEEL")
pytestmark = pytest.mark.skipif(not wheel_path,
                                reason="KESTRELITE_AARCH64_WHEEL not set (scripts/aarch64.sh)")

kEmAarch64 = 183
kNewestPolicy = (2, 28)
kModule = "_kestrelite_rs.abi3.so"

SMOKE = r"""
import _kestrelite_rs as kr, platform, sys
assert platform.machine() == "aarch64", platform.machine()
assert kr.__file__.startswith(sys.argv[1]), kr.__file__
q = kr.QueryCompiler()
assert q.compile_update("users", ["name"], "id", "postgres") == "UPDATE users SET name = $1 WHERE id = $2"
t = kr.StateTracker(); t.set_initial_state({"a": 1.5}); t.set_field("a", 2)
assert t.get_dirty_changes() == {"a": 2}
b = kr.BatchAggregator(); assert b.add_keys_batch([1, 1, "x"]) == 2 and b.get_keys() == [1, "x"]
up, down = kr.SchemaDiffEngine().diff_table("t", {"c": {}}, {"id": "INTEGER"}, "sqlite")
assert up == ["ALTER TABLE t ADD COLUMN c TEXT;"] and down == ["ALTER TABLE t DROP COLUMN c;"]
print("smoke ok")
"""


def manylinux_versions(text):
    """The (major, minor) glibc versions of the manylinux_X_Y_aarch64 tags named in text."""
    return [(int(a), int(b)) for a, b in re.findall(r"manylinux_(\d+)_(\d+)_aarch64", text)]


def test_wheel_is_named_for_the_stable_abi_on_aarch64_and_holds_an_aarch64_module_and_stub():
    name = os.path.basename(wheel_path)
    platforms = re.fullmatch(r"kestrelite_native-[^-]+-cp39-abi3-(.+)\.whl", name)
    assert platforms, name
    assert all(p.endswith("_aarch64") for p in platforms.group(1).split(".")), name
    with zipfile.ZipFile(wheel_path) as wheel:
        assert "_kestrelite_rs-stubs/__init__.pyi" in wheel.namelist()
        header = wheel.read(kModule)[:20]
    # ELF, 64-bit, little-endian, and e_machine (offset 18) is AArch64.
    assert header[:6] == b"\x7fELF\x02\x01"
    assert struct.unpack_from("<H", header, 18)[0] == kEmAarch64


def test_auditwheel_places_the_wheel_at_its_tag_and_at_manylinux_2_28_or_older():
    shown = subprocess.run([os.environ["KESTRELITE_AUDITWHEEL"], "show", wheel_path],
                           capture_output=True, text=True, check=True).stdout
    judged = re.search(r'consistent with\s+the following platform tag:\s+"([^"]+)"', shown)
    assert judged, shown
    [policy] = manylinux_versions(judged.group(1))
    assert policy <= kNewestPolicy, shown
    # The file may claim a newer policy than it needs, never an older one.
    claimed = manylinux_versions(os.path.basename(wheel_path))
    assert claimed and min(claimed) >= policy, (claimed, policy)


def test_wheel_installs_and_runs_on_aarch64(tmp_path):
    site = tmp_path / "site"
    tags = os.path.basename(wheel_path)[:-len(".whl")].split("-")[-1].split(".")
    subprocess.run(
        [sys.executable, "-m", "pip", "install", "-q", "--no-index", "--no-deps",
         "--target", str(site), "--only-binary=:all:", "--implementation", "cp",
         "--python-version", "3.11", "--abi", "abi3",
         *[arg for tag in tags for arg in ("--platform", tag)], wheel_path],
        check=True,
    )
    env = dict(os.environ, PYTHONPATH=str(site))
    done = subprocess.run([os.environ["KESTRELITE_AARCH64_PYTHON"], "-c", SMOKE, str(site)],
                          cwd=tmp_path, capture_output=True, text=True, env=env, timeout=300)
    assert (done.returncode, done.stdout, done.stderr) == (0, "smoke ok\n", "")

"""Builds the extension through the project's own CMake build, so a wheel holds exactly the
file `cmake --build` produces, and tags the wheel with the manylinux policy the file meets.

Name, version and the rest of the metadata live in pyproject.toml."""

import os
import pathlib
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.bdist_wheel import bdist_wheel
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent

# The newest glibc, GLIBCXX and CXXABI symbol versions the module needs are those of this
# policy; tests/packaging checks the built wheel against it with auditwheel.
MANYLINUX_POLICY = "manylinux_2_27"

# ELF e_machine values of the architectures manylinux names, and their names there.
ELF_MACHINES = {3: "i686", 62: "x86_64", 183: "aarch64", 22: "s390x"}
ELF_MACHINE_PPC64 = 21


def elf_architecture(path):
    """The manylinux architecture name of the ELF file at `path`."""
    header = pathlib.Path(path).read_bytes()[:20]
    if header[:4] != b"\x7fELF":
        raise RuntimeError(f"{path} is not an ELF file")
    byte_order = "little" if header[5] == 1 else "big"
    machine = int.from_bytes(header[18:20], byte_order)
    if machine == ELF_MACHINE_PPC64:
        return "ppc64le" if byte_order == "little" else "ppc64"
    if machine not in ELF_MACHINES:
        raise RuntimeError(f"{path}: no manylinux architecture for ELF machine {machine}")
    return ELF_MACHINES[machine]


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve()
        out_dir = target.parent
        out_dir.mkdir(parents=True, exist_ok=True)
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.run(
            [
                "cmake", "-S", str(ROOT), "-B", str(build_dir),
                "-DCMAKE_BUILD_TYPE=Release",
                "-DKESTRELITE_TESTS=OFF",
                "-DKESTRELITE_BENCH=OFF",
                f"-DPython3_EXECUTABLE={sys.executable}",
                f"-DCMAKE_LIBRARY_OUTPUT_DIRECTORY={out_dir}",
                # Extra configure arguments, e.g. a cross toolchain (scripts/aarch64.sh).
                *shlex.split(os.environ.get("KESTRELITE_CMAKE_ARGS", "")),
            ],
            check=True,
        )
        jobs = os.environ.get("KESTRELITE_JOBS", "2")
        subprocess.run(
            ["cmake", "--build", str(build_dir), "--target", "_kestrelite_rs", f"-j{jobs}"],
            check=True,
        )
        built = build_dir / "_kestrelite_rs.abi3.so"
        if built.exists() and built.resolve() != target:
            shutil.copyfile(built, target)


class ManylinuxWheel(bdist_wheel):
    """A cp39-abi3 wheel whose platform tag is the policy above on the architecture the
    module was compiled for (a cross build gets its target's name, not the build machine's)."""

    def get_tag(self):
        python, abi, _ = super().get_tag()
        build_ext_cmd = self.get_finalized_command("build_ext")
        module = build_ext_cmd.get_ext_fullpath("_kestrelite_rs")
        return python, abi, f"{MANYLINUX_POLICY}_{elf_architecture(module)}"


setup(
    ext_modules=[Extension("_kestrelite_rs", sources=[], py_limited_api=True)],
    packages=["_kestrelite_rs-stubs"],
    package_data={"_kestrelite_rs-stubs": ["__init__.pyi"]},
    cmdclass={"build_ext": CMakeBuild, "bdist_wheel": ManylinuxWheel},
    zip_safe=False,
)

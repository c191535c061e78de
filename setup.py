"""Builds the extension through the project's own CMake build, so a wheel holds exactly the
file `cmake --build` produces."""

import os
import pathlib
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        out_dir = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve().parent
        out_dir.mkdir(parents=True, exist_ok=True)
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.run(
            [
                "cmake", "-S", str(ROOT), "-B", str(build_dir),
                "-DCMAKE_BUILD_TYPE=Release",
                "-DKESTRELITE_TESTS=OFF",
                f"-DPython3_EXECUTABLE={sys.executable}",
                f"-DCMAKE_LIBRARY_OUTPUT_DIRECTORY={out_dir}",
                # Extra configure arguments, e.g. a cross toolchain (scripts/aarch64.sh).
                *shlex.split(os.environ.get("KESTRELITE_CMAKE_ARGS", "")),
            ],
            check=True,
        )
        subprocess.run(
            ["cmake", "--build", str(build_dir), "--target", "_kestrelite_rs", "-j2"], check=True
        )
        built = build_dir / "_kestrelite_rs.abi3.so"
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        if built.exists() and built.resolve() != target.resolve():
            shutil.copyfile(built, target)
        stub = ROOT / "_kestrelite_rs.pyi"
        shutil.copyfile(stub, out_dir / stub.name)


setup(
    name="kestrelite-native",
    version="0.1.0",
    python_requires=">=3.9",
    ext_modules=[Extension("_kestrelite_rs", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    py_modules=[],
    data_files=[],
    zip_safe=False,
)

"""Builds the extension module qorva._qorva through the project's CMake build.

The metadata lives in pyproject.toml; this file only teaches build_ext to
configure CMake for the running interpreter and build the one module target
straight into the directory where setuptools collects the package.
"""

import os
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE_DIR = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    """An extension whose sources CMake knows; setuptools compiles nothing itself."""

    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuildExt(build_ext):
    def build_extension(self, ext):
        output_dir = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        cmake_dir = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake",
            "-S", str(SOURCE_DIR),
            "-B", str(cmake_dir),
            "-DQORVA_TESTS=OFF",
            "-DQORVA_PY_TESTING=OFF",
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPYTHON={sys.executable}",
            f"-DQORVA_PY_OUTPUT_DIR={output_dir}",
        ]
        build = ["cmake", "--build", str(cmake_dir), "--target", "qorva_python",
                 "--parallel", str(os.cpu_count() or 1)]
        subprocess.run(configure, check=True)
        subprocess.run(build, check=True)


setup(
    ext_modules=[CMakeExtension("qorva._qorva")],
    cmdclass={"build_ext": CMakeBuildExt},
    # setuptools' default build/ is the CMake development tree.
    options={"build": {"build_base": "build-pip"}},
)

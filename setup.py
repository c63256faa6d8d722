"""Builds the Python package's wheel with the native and the simulated library of this
platform inside (quorix/_lib), where the package looks for them first.

The libraries are built from this source tree with CMake, optimised and without the tests,
in build/python (build-root/python for root in another user's clone, as the Makefile does), or
in the CMake build folder that QUORIX_CMAKE_BUILD names (make wheel: make demo's); that needs
what `make deps-build` installs. The wheel is tagged for this platform but any Python 3: the
package reaches the libraries through ctypes.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution
from wheel.bdist_wheel import bdist_wheel

ROOT = Path(__file__).resolve().parent


def build_dir():
    """Root building in a clone that belongs to someone else leaves nothing in their build/."""
    suffix = os.environ.get("QUORIX_BUILD_SUFFIX")
    if suffix is None:
        suffix = "-root" if hasattr(os, "geteuid") and os.geteuid() == 0 and ROOT.stat().st_uid != 0 else ""
    return ROOT / ("build" + suffix) / "python"


BUILD = build_dir()
REUSED_BUILD = os.environ.get("QUORIX_CMAKE_BUILD")
CMAKE_BUILD = Path(REUSED_BUILD) if REUSED_BUILD else BUILD / "cmake"


def library_names():
    """The file names the package looks for, from the package itself."""
    spec = importlib.util.spec_from_file_location("quorix_api", ROOT / "python" / "quorix" / "_api.py")
    api = importlib.util.module_from_spec(spec)
    writes, sys.dont_write_bytecode = sys.dont_write_bytecode, True  # no __pycache__ in the tree
    try:
        spec.loader.exec_module(api)
    finally:
        sys.dont_write_bytecode = writes
    return [api.library_name(simulated) for simulated in (False, True)]


class BuildLibraries(build_py):
    """build_py, then both libraries built with CMake and copied into quorix/_lib."""

    def run(self):
        super().run()
        configure = ["cmake", "-S", str(ROOT), "-B", str(CMAKE_BUILD), "-DCMAKE_BUILD_TYPE=Release",
                     "-DQUORIX_BUILD_TESTS=OFF", "-DQUORIX_BUILD_BENCH=OFF", "-DQUORIX_WERROR=OFF"]
        if shutil.which("ninja") and not (CMAKE_BUILD / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        try:
            # A build folder of another configuration is used as it is configured.
            if not (REUSED_BUILD and (CMAKE_BUILD / "CMakeCache.txt").exists()):
                subprocess.run(configure, check=True)
            subprocess.run(["cmake", "--build", str(CMAKE_BUILD), "--parallel", "2",
                            "--target", "quorix", "quorix-sim"], check=True)
        except (OSError, subprocess.CalledProcessError) as error:
            raise SystemExit("building the Quorix libraries failed (%s); they need cmake, a C++20 "
                             "compiler, pkg-config, libusb-1.0 and CLI11: on Debian, make deps-build"
                             % error) from error
        bundled = Path(self.build_lib) / "quorix" / "_lib"
        bundled.mkdir(parents=True, exist_ok=True)
        for name in library_names():
            built = next(CMAKE_BUILD.rglob(name), None)
            if built is None:
                raise SystemExit("the build made no %s" % name)
            shutil.copyfile(built, bundled / name)  # the file itself, not the soname's link
            if shutil.which("strip"):  # a build with debug information (make demo's)
                subprocess.run(["strip", "--strip-debug", str(bundled / name)], check=True)


class BinaryDistribution(Distribution):
    """A distribution with binaries inside: installed into platlib."""

    def has_ext_modules(self):
        return True


class PlatformWheel(bdist_wheel):
    """A wheel for this platform that any Python 3 can use (py3-none-<platform>)."""

    def finalize_options(self):
        super().finalize_options()
        self.root_is_pure = False

    def get_tag(self):
        return ("py3", "none", super().get_tag()[2])


setup(
    distclass=BinaryDistribution,
    cmdclass={"build_py": BuildLibraries, "bdist_wheel": PlatformWheel},
    options={"build": {"build_base": str((BUILD / "setuptools").relative_to(ROOT))},
             "egg_info": {"egg_base": str(BUILD.relative_to(ROOT))}},
)

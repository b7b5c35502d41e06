# SPDX-License-Identifier: MIT
"""The package with libtarnwick inside it.

Building the package (a wheel, or pip installing the sdist or this folder)
compiles the library with CMake, in Release, and puts it in the package's
folder, where tarnwick._library looks first. The C sources are the sdist's
library/ folder, or this folder's parent in a clone. TARNWICK_WHEEL_LIBRARY
names an already built library to put there instead (the release's Windows
wheels carry the DLLs of its zips that way).

The wheel is tagged py3-none-PLATFORM: the package is Python over ctypes and
uses no CPython interface, so any Python 3 takes it, on the one platform its
library was built for (a DLL's own header says which Windows)."""

import os
import shutil
import subprocess
import sys
import tempfile

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

# The names tarnwick._library loads from the package's folder.
_LIBRARY = {"win32": "libtarnwick.dll", "darwin": "libtarnwick.1.dylib"}.get(sys.platform, "libtarnwick.so.1")
# A PE file's machine field, as a wheel's platform tag.
_PE_PLATFORMS = {0x14C: "win32", 0x8664: "win_amd64"}


def _library_source():
    here = os.path.dirname(os.path.abspath(__file__))
    for source in (os.path.join(here, "library"), os.path.dirname(here)):
        if os.path.exists(os.path.join(source, "include", "tarnwick.h")):
            return source
    sys.exit("tarnwick: the library's C sources are neither in library/ nor in the parent folder")


def _build_library(target):
    """Configures and builds the library alone, in a scratch folder, and
    copies it (through the SONAME's link, to the file) into `target`."""
    with tempfile.TemporaryDirectory() as build:
        options = ["-DCMAKE_BUILD_TYPE=Release", "-DTARNWICK_BUILD_TOOLS=OFF", "-DTARNWICK_BUILD_EXAMPLES=OFF",
                   "-DTARNWICK_INSTALL=OFF"]
        subprocess.run(["cmake", "-S", _library_source(), "-B", build, *options], check=True)
        subprocess.run(["cmake", "--build", build, "--config", "Release", "--target", "tarnwick"], check=True)
        for folder, _, files in os.walk(build):
            if _LIBRARY in files:
                shutil.copy(os.path.join(folder, _LIBRARY), target)
                return
    sys.exit(f"tarnwick: the build made no {_LIBRARY}")


def _pe_platform(path):
    """win32 or win_amd64, from the machine field of the DLL at `path`."""
    with open(path, "rb") as dll:
        header = dll.read(4096)
    at = int.from_bytes(header[0x3C:0x40], "little") + 4  # after the "PE\0\0" signature
    return _PE_PLATFORMS[int.from_bytes(header[at:at + 2], "little")]


class BuildWithLibrary(build_py):
    """The package's Python files, and the library beside them."""

    def run(self):
        super().run()
        target = os.path.join(self.build_lib, "tarnwick")
        given = os.environ.get("TARNWICK_WHEEL_LIBRARY")
        if given:
            shutil.copy(given, target)
        else:
            _build_library(target)


class WithLibrary(Distribution):
    """Says the package is not pure Python, so that it goes to the
    platform's folder, in a wheel tagged for one platform."""

    def has_ext_modules(self):
        return True


commands = {"build_py": BuildWithLibrary}
try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # an sdist needs no wheel package
    pass
else:
    class PlatformWheel(bdist_wheel):
        """A wheel for any Python 3 on the library's platform."""

        def finalize_options(self):
            given = os.environ.get("TARNWICK_WHEEL_LIBRARY", "")
            if given.endswith(".dll") and self.plat_name is None:
                self.plat_name = _pe_platform(given)
            super().finalize_options()

        def get_tag(self):
            return "py3", "none", super().get_tag()[2]

    commands["bdist_wheel"] = PlatformWheel

setup(cmdclass=commands, distclass=WithLibrary)

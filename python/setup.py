"""Builds the wheel with the native libraries inside the package.

setup.cfg-free on purpose: pyproject.toml holds the metadata; this file only
copies liborvane_py.so and liborvane.so from the CMake build directory
(ORVANE_BUILD_DIR, default ../build) into the package while the wheel is built,
so the installed package finds them next to itself.
"""

import os
import shutil
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

LIBRARIES = ("liborvane_py.so", "liborvane.so")


class BuildWithNativeLibraries(build_py):
    def run(self):
        super().run()
        here = Path(__file__).resolve().parent
        build_dir = Path(os.environ.get("ORVANE_BUILD_DIR", here.parent / "build"))
        target = Path(self.build_lib) / "orvane"
        for name in LIBRARIES:
            source = build_dir / name
            if not source.exists():
                raise SystemExit("%s not found: build the orvane_py target first or set "
                                 "ORVANE_BUILD_DIR" % source)
            # The real file, not the soname link chain.
            shutil.copyfile(source.resolve(), target / name)


class NativeDistribution(Distribution):
    """The wheel carries machine code, so it is tagged for this platform."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithNativeLibraries}, distclass=NativeDistribution)

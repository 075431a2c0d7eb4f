"""Build step of the package: runs the project's CMake for the interpreter running this
script and puts the module it builds, with its type stub beside it, into the wheel, and the
velto-frame program into velto_tools/bin/ (the `velto-frame` command runs it).

Metadata lives in pyproject.toml; this file only declares the extension, so that the wheel is
tagged for its interpreter and platform, and says how to build it."""
import os
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
# setuptools' own directory: build/ belongs to `make test`.
BUILD_BASE = os.path.join(ROOT, "build-setuptools")
STUB = os.path.join(ROOT, "python", "velto_protocol-stubs", "__init__.pyi")


class CMakeBuild(build_ext):
    """Configures a CMake tree for this interpreter alone (VELTO_PYTHONS) in setuptools'
    temporary directory and builds only the module's target and velto-frame."""

    def build_extension(self, ext):
        tag = sys.implementation.name
        tree = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        os.makedirs(tree, exist_ok=True)
        subprocess.run(["cmake", "-S", ROOT, "-B", tree, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DVELTO_TESTS=OFF", f"-DVELTO_PYTHONS={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", tree, "--target", f"velto_protocol_{tag}", "velto-frame"], check=True)
        built = os.path.join(tree, "py", tag, "velto_protocol" + sysconfig.get_config_var("EXT_SUFFIX"))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)
        # The stub beside the module, for tools that look next to it; the stubs package
        # serves those that follow PEP 561.
        shutil.copyfile(STUB, os.path.join(os.path.dirname(target), "velto_protocol.pyi"))
        # A native program is no Python script: it goes inside the package, beside the
        # code that runs it, and keeps its executable mode through the wheel.
        tool_dir = os.path.join(os.path.abspath(self.build_lib), "velto_tools", "bin")
        os.makedirs(tool_dir, exist_ok=True)
        shutil.copy2(os.path.join(tree, "tools", "velto-frame"), os.path.join(tool_dir, "velto-frame"))


setup(
    package_dir={"": "python"},
    packages=["velto_tools", "velto_protocol-stubs"],
    package_data={"velto_tools": ["py.typed"], "velto_protocol-stubs": ["__init__.pyi"]},
    ext_modules=[Extension("velto_protocol", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
)

"""Builds libcanlib.so.1 from the project's sources with CMake while the package is built, and
puts it into the package: the wheel is one for this platform. The metadata is in pyproject.toml."""

import os
import shutil
import subprocess

from setuptools import setup
from setuptools.command.build_py import build_py

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1 takes it from the wheel package
    from wheel.bdist_wheel import bdist_wheel

PACKAGE = "korval_can"
LIBRARY = "libcanlib.so.1"
SOURCES = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class BuildWithLibrary(build_py):
    """The Python files, and the library built beside them."""

    def run(self) -> None:
        super().run()
        if not os.path.isfile(os.path.join(SOURCES, "api", "canlib32.def")):
            raise RuntimeError(
                f"korval-can builds {LIBRARY} from the project's sources, which are not in "
                f"{SOURCES}: install it from the python/ folder of a checkout")
        build = os.path.join(os.path.abspath(self.get_finalized_command("build").build_temp),
                             "canlib")
        subprocess.run(["cmake", "-S", SOURCES, "-B", build, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DCANLIB_TESTS=OFF"], check=True)
        subprocess.run(["cmake", "--build", build, "--target", "canlib"], check=True)
        target = os.path.join(self.build_lib, PACKAGE, LIBRARY)
        shutil.copyfile(os.path.join(build, LIBRARY), target)
        os.chmod(target, 0o755)


class PlatformWheel(bdist_wheel):
    """A wheel for this platform, with any Python 3: the library is native code, not an
    extension module."""

    def finalize_options(self) -> None:
        super().finalize_options()
        self.root_is_pure = False

    def get_tag(self):
        _, _, platform = super().get_tag()
        return "py3", "none", platform


setup(cmdclass={"build_py": BuildWithLibrary, "bdist_wheel": PlatformWheel})

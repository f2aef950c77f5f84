"""The extension module `_tev` is built by the project's CMake build; setuptools only packs it.

TEV_CMAKE_BUILD_DIR names a CMake build folder to reuse (the Makefile passes its own); without it
a fresh Release build is made in setuptools' temporary folder."""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = pathlib.Path(os.environ.get("TEV_CMAKE_BUILD_DIR") or pathlib.Path(self.build_temp) / "cmake")
        build_dir = build_dir if build_dir.is_absolute() else ROOT / build_dir
        if not (build_dir / "CMakeCache.txt").exists():
            subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release", "-DTEV_TESTS=OFF",
                            f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_tev"], check=True)
        built = build_dir / "python" / ("_tev" + sysconfig.get_config_var("EXT_SUFFIX"))
        if not built.exists():
            sys.exit(f"{built} was not built (is {build_dir} configured for another interpreter?)")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


(ROOT / "build-setuptools").mkdir(exist_ok=True)
setup(
    package_dir={"tev": "python/tev", "_tev-stubs": "python/_tev-stubs"},
    packages=["tev", "_tev-stubs"],
    package_data={"tev": ["py.typed"], "_tev-stubs": ["__init__.pyi"]},
    ext_modules=[Extension("_tev", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # setuptools' own build folder, apart from the CMake ones.
    options={"build": {"build_base": "build-setuptools"}, "egg_info": {"egg_base": "build-setuptools"}},
)

"""The plain-Python reference compiled with Cython, as a third party to the instruction
counts: what compiling the Python source buys without writing any C++.

The package tests/reference is copied to build/cython/compiled_reference, its modules are
translated by Cython and compiled with the interpreter's C compiler flags; a later run
reuses the build while the sources are unchanged. `load()` answers None (and says why)
when Cython or a C compiler is missing.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "tests", "reference")
TARGET = os.path.join(ROOT, "build", "cython")
PACKAGE = "compiled_reference"
MODULES = ("models", "platform")


def build():
    folder = os.path.join(TARGET, PACKAGE)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    compiler = (sysconfig.get_config_var("CC") or "cc").split()
    flags = ["-O3", "-shared", "-fPIC", "-I" + sysconfig.get_paths()["include"]]
    os.makedirs(folder, exist_ok=True)
    shutil.copy(os.path.join(SOURCE, "__init__.py"), folder)
    for name in MODULES:
        source = os.path.join(SOURCE, name + ".py")
        c_file = os.path.join(folder, name + ".c")
        library = os.path.join(folder, name + suffix)
        if os.path.exists(library) and os.path.getmtime(library) >= os.path.getmtime(source):
            continue
        shutil.copy(source, folder)
        subprocess.run([sys.executable, "-m", "cython", "-3", os.path.join(folder, name + ".py"),
                        "-o", c_file], check=True)
        subprocess.run(compiler + flags + [c_file, "-o", library], check=True)


def load():
    """Builds the compiled reference when needed and imports it."""
    try:
        import Cython  # noqa: F401
    except ImportError:
        print("Cython is not installed: no compiled column (pip install cython)")
        return None
    try:
        build()
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"the Cython build failed ({e}): no compiled column")
        return None
    return load_built()


def load_built():
    """Imports the compiled reference that load() built."""
    folder = os.path.join(TARGET, PACKAGE)
    spec = importlib.util.spec_from_file_location(PACKAGE, os.path.join(folder, "__init__.py"),
                                                  submodule_search_locations=[folder])
    package = importlib.util.module_from_spec(spec)
    sys.modules[PACKAGE] = package
    spec.loader.exec_module(package)
    return package

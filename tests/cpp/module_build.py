"""Compiling a C++ file the way CMake compiles the modules' own files, for tests that read the
compiler's verdict on a module."""

from __future__ import annotations

import subprocess
import sysconfig

# The modules' flags in CMakeLists.txt, unused constants (a record no statement defines) refused.
MODULE_FLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Wno-missing-field-initializers",
                "-Wno-cast-function-type", "-Werror=unused-const-variable"]


def compile_module_file(source, include, extra=()):
    """Compiles `source` to an object file beside it, with `include` (the folder that holds
    frame/ and the module folders) and the interpreter's headers on the include path. Compiled,
    not only checked for syntax: unused constants are found only by a compile."""
    return subprocess.run(
        ["g++", *MODULE_FLAGS, *extra, "-c", "-o", str(source.with_suffix(".o")),
         f"-I{include}", f"-I{sysconfig.get_paths()['include']}", str(source)],
        capture_output=True, text=True, timeout=600)

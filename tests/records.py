"""The function records of a module as its source folder writes them: qualified name and the line
of the `def`, for tests that list what a module defines without restating it."""

from __future__ import annotations

import importlib.util
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SOURCE = ROOT / "orvelkit"

# The build's own reader of the records, so the tests and the stub check cannot read them apart.
_spec = importlib.util.spec_from_file_location("check_stub", ROOT / "cmake" / "check_stub.py")
check_stub = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_stub)
DECLARATION = re.compile(r"inline constexpr int ([^;]*);")
LINE = re.compile(r"(\w+) = (\d+)")
NAMESPACE = re.compile(r"^namespace (\w+) \{|^\}  // namespace (\w+)", re.M)


def line_table(module):
    """{"ts_forecast::def": 73, ...}: the module's line names, as its names.h defines them."""
    text = (SOURCE / module / "names.h").read_text()
    text = text[text.index("namespace line {") + len("namespace line {"):]
    table, scope = {}, []
    for found in re.finditer(rf"{NAMESPACE.pattern}|{DECLARATION.pattern}", text, re.M):
        opened, closed, declarators = found.groups()
        if opened:
            scope.append(opened)
        elif closed:
            if not scope:
                break
            scope.pop()
        else:
            for name, number in LINE.findall(declarators):
                table["::".join([*scope, name])] = int(number)
    return table


def module_functions(module):
    """The module-level functions of `module`, in the order of their `def` lines."""
    lines = line_table(module)
    found = [(lines[line], qualname) for _, qualname, line in check_stub.records(SOURCE / module)
             if "." not in qualname]
    return [name for _, name in sorted(found)]

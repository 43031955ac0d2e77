"""The function records of a module as its source folder writes them: qualified name and the line
of the `def`, for tests that list what a module defines without restating it."""

from __future__ import annotations

import re
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1] / "orvelkit"

RECORD = re.compile(r'constexpr FunctionRecord \w+\{\s*\.qualname = "([^"]+)",\s*'
                    r"\.line = line::([\w:]+),")
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
    found = []
    for path in sorted((SOURCE / module).glob("*.cpp")):
        for qualname, line in RECORD.findall(path.read_text()):
            if "." not in qualname:
                found.append((lines[line], qualname))
    return [name for _, name in sorted(found)]

"""Fails the build of a module whose type stub lacks one of its functions or methods.

Usage: check_stub.py FOLDER STAMP -- FOLDER is orvelkit/<module>, whose .cpp files hold the
function records and whose <module>.pyi is the stub; STAMP is touched when the stub is complete.
The records are read as the module's source writes them (`constexpr FunctionRecord name{`, then
`.qualname = "..."` and `.line = line::...`), the stub as Python's own parser reads it. The tests
read the records through `records` too."""

import ast
import re
import sys
from pathlib import Path

RECORD = re.compile(r'constexpr FunctionRecord \w+\{\s*\.qualname = "([^"]+)",\s*'
                    r"\.line = line::([\w:]+),")


def records(folder):
    """(source file, qualified name, line name) of each record in the module folder's .cpp files,
    in file order; the line name is its entry in the module's line table ("ts_forecast::def")."""
    return [(source, qualname, line)
            for source in sorted(Path(folder).glob("*.cpp"))
            for qualname, line in RECORD.findall(source.read_text())]


def stub_names(stub):
    """The qualified names the stub defines: "f" for a module-level def, "C.m" for a method."""
    names = set()
    for node in ast.parse(stub.read_text(), str(stub)).body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.ClassDef):
            names.update(f"{node.name}.{item.name}" for item in node.body
                         if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)))
    return names


def main(folder, stamp):
    folder = Path(folder)
    stub = folder / f"{folder.name}.pyi"
    defined = stub_names(stub)
    missing = [(source, qualname) for source, qualname, _ in records(folder)
               if qualname not in defined]
    for source, qualname in missing:
        print(f"{stub}: no stub for {qualname}, whose record is in {source}", file=sys.stderr)
    if missing:
        return 1
    Path(stamp).touch()
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

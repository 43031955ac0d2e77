"""The walkthrough of docs/adding-a-function.md, followed to the letter on a copy of the source:
its four places compile into a module that builds, and leaving out any one of them stops the
build with a message that names what is missing."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tests.cpp.module_build import compile_module_file

REPO_ROOT = Path(__file__).resolve().parents[2]
WALKTHROUGH = REPO_ROOT / "docs" / "adding-a-function.md"


def blocks():
    """The walkthrough's code blocks by kind, in order."""
    found = re.findall(r"```(\w+)\n(.*?)```", WALKTHROUGH.read_text(), re.S)
    cpp = [text for kind, text in found if kind == "cpp"]
    python = [text for kind, text in found if kind == "python"]
    return cpp, python


def insert(path, anchor, text, after=True):
    source = path.read_text()
    assert source.count(anchor) == 1, f"{path.name}: the anchor {anchor!r} is not unique"
    where = source.index(anchor) + (len(anchor) if after else 0)
    path.write_text(source[:where] + text + source[where:])


def follow(tmp_path, leave_out=None):
    """A copy of orvelkit/ with the walkthrough's places applied, all but `leave_out`."""
    root = tmp_path / "orvelkit"
    shutil.copytree(REPO_ROOT / "orvelkit", root)
    module = root / "auspex"
    (lines, rows, function, statement), (_, stub) = blocks()
    if leave_out != "lines":
        # The block shows the new namespace with the table's closing line after it.
        new_lines = lines.replace("}  // namespace line\n", "")
        insert(module / "names.h", "}  // namespace line\n", new_lines, after=False)
    if leave_out != "names":
        new_rows = rows.split("{\n", 1)[1]
        insert(module / "names.h", "inline constexpr NameRow names[] = {\n", new_rows)
    if leave_out != "function":
        insert(module / "auspex.cpp", "// ---- module statements", function + "\n", after=False)
    if leave_out != "statement":
        insert(module / "auspex.cpp", "    Functions::define<ts_forecast>(f, st.dict);\n", statement)
    if leave_out != "stub":
        with (module / "auspex.pyi").open("a") as out:
            out.write(stub)
    return module


def build(module):
    """Compiles the module's file with the modules' own warning flags, then checks its stub the
    way the build does; the first failure's output, or None."""
    compiled = compile_module_file(module / "auspex.cpp", module.parent, ["-O0"])
    if compiled.returncode != 0:
        return compiled.stderr
    stub = subprocess.run(
        [sys.executable, str(REPO_ROOT / "cmake" / "check_stub.py"), str(module),
         str(module / "stub-checked")], capture_output=True, text=True, timeout=60)
    return stub.stderr if stub.returncode != 0 else None


needs_gxx = pytest.mark.skipif(shutil.which("g++") is None, reason="g++ is not installed")


@needs_gxx
def test_the_walkthrough_builds(tmp_path):
    assert build(follow(tmp_path)) is None


@needs_gxx
@pytest.mark.parametrize("leave_out, named", [
    ("lines", ["'orvelkit::auspex::line::ts_summary' has not been declared"]),
    ("names", ["no_row_has_this_key", '{"window"}']),
    ("function", ["'ts_summary' was not declared in this scope"]),
    ("statement", ["ts_summary' defined but not used"]),
    ("stub", ["no stub for ts_summary,"]),
])
def test_each_place_left_out_stops_the_build(tmp_path, leave_out, named):
    failure = build(follow(tmp_path, leave_out))
    assert failure is not None
    shown = failure.replace("‘", "'").replace("’", "'")
    assert all(piece in shown for piece in named), failure

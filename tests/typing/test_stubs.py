"""The type stubs agree with the installed extension modules (mypy's stubtest)."""

import re
import subprocess
import sys
from pathlib import Path

import pydantic
import pytest

HERE = Path(__file__).resolve().parent
MODULES = ["orvelkit.auspex", "orvelkit.tabloom", "orvelkit.base"]
# An allowlist entry that does not apply is an error of its own, so each pydantic major has its list.
ALLOWLISTS = [HERE / "stubtest_allowlist.txt"]
PYDANTIC1 = int(pydantic.VERSION.split(".")[0]) < 2
if PYDANTIC1:
    ALLOWLISTS.append(HERE / "stubtest_allowlist_pydantic1.txt")
if PYDANTIC1 and sys.version_info >= (3, 13):
    ALLOWLISTS.append(HERE / "stubtest_allowlist_py313.txt")


@pytest.fixture(scope="module")
def problems():
    """Each problem stubtest reports, for all three modules in one run (mypy reads pandas,
    langchain and llama_index once): an "error:" or "note:" line with the lines that follow it."""
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(HERE / "mypy.ini"),
         *[arg for path in ALLOWLISTS for arg in ("--allowlist", str(path))], *MODULES],
        capture_output=True, text=True, timeout=300)
    found = []
    for line in (result.stdout + result.stderr).splitlines():
        if re.match(r"(Found \d+ errors? |Success: )", line):
            continue
        if line.startswith(("error: ", "note: ")) or not found:
            found.append(line)
        else:
            found[-1] += "\n" + line
    found = [problem.strip() for problem in found if problem.strip()]
    if result.returncode != 0 and not found:
        found = [f"stubtest exited with {result.returncode} and reported nothing"]
    return found


def concerns(paragraph, module):
    """Whether a problem names `module`, one of its objects or its stub file; one that names no
    module at all concerns every module."""
    named = {m for m in MODULES
             if re.search(rf"\b{re.escape(m)}(\.|\b)", paragraph)
             or f"{m.replace('.', '/')}.pyi" in paragraph}
    return module in named or not named


@pytest.mark.parametrize("module", MODULES)
def test_stubs_match_the_module(problems, module):
    mine = [p for p in problems if concerns(p, module)]
    assert mine == [], "\n\n".join(mine)

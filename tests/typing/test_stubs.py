"""The type stubs agree with the installed extension modules (mypy's stubtest)."""

import subprocess
import sys
from pathlib import Path

import pydantic

HERE = Path(__file__).resolve().parent
# An allowlist entry that does not apply is an error of its own, so each pydantic major has its list.
ALLOWLISTS = [HERE / "stubtest_allowlist.txt"]
if int(pydantic.VERSION.split(".")[0]) < 2:
    ALLOWLISTS.append(HERE / "stubtest_allowlist_pydantic1.txt")
if sys.version_info >= (3, 13):
    ALLOWLISTS.append(HERE / "stubtest_allowlist_py313.txt")


def test_stubs_match_the_modules():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(HERE / "mypy.ini"),
         *[arg for path in ALLOWLISTS for arg in ("--allowlist", str(path))],
         "orvelkit.auspex", "orvelkit.tabloom", "orvelkit.base"],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr

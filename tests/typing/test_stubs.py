"""The type stubs agree with the installed extension modules (mypy's stubtest)."""

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def test_stubs_match_the_modules():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(HERE / "mypy.ini"),
         "--allowlist", str(HERE / "stubtest_allowlist.txt"),
         "orvelkit.auspex", "orvelkit.tabloom", "orvelkit.base"],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr

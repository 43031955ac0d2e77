"""Builds and runs the C++ checks of the frame's interpreter-free helpers."""

import shutil
import subprocess
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
SOURCE = Path(__file__).with_suffix(".cpp")


@pytest.mark.skipif(shutil.which("g++") is None, reason="g++ is not installed")
def test_pure_helpers_pass_their_checks(tmp_path):
    binary = tmp_path / "pure_helpers"
    build = subprocess.run(
        ["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror",
         f"-I{REPO_ROOT / 'orvelkit'}", str(SOURCE), "-o", str(binary)],
        capture_output=True, text=True, timeout=300)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(binary)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.strip() == "all checks passed"

"""Each library exports its PyInit_<name> and nothing else, so the frame's symbols, compiled into
all three, can never bind one module to another's copy."""

import importlib
import shutil
import subprocess

import pytest


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
@pytest.mark.parametrize("name", ["auspex", "tabloom", "base"])
def test_only_the_init_function_is_exported(name):
    path = importlib.import_module(f"orvelkit.{name}").__file__
    listing = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True,
                             text=True, check=True).stdout
    exported = [line.split()[-1] for line in listing.splitlines()
                if line.split() and line.split()[-2] in {"T", "D", "B", "R", "W", "V", "i", "u"}]
    assert exported == [f"PyInit_{name}"]

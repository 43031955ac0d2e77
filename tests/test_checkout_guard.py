"""A module's source folder in a checkout is not the module: where no built module is on the
path, Python started in the checkout's root gets the package's "not built" error for each
compiled module instead of an empty namespace package made of its source folder."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("module", ["auspex", "tabloom", "base"])
def test_a_source_folder_is_not_taken_for_the_module(module):
    env = {name: value for name, value in os.environ.items()
           if name not in ("PYTHONSAFEPATH", "PYTHONPATH")}
    # -S leaves site-packages, and the installed orvelkit with it, off the path; without
    # PYTHONPATH no other built copy (the sanitizer's) is on it either.
    done = subprocess.run(
        [sys.executable, "-S", "-c", f"import orvelkit.{module}"], cwd=REPO_ROOT, env=env,
        capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert (f"ModuleNotFoundError: No module named 'orvelkit.{module}': orvelkit's extension "
            "modules are not built") in done.stderr, done.stderr


def test_the_installed_module_is_found_from_the_checkout_too():
    env = {name: value for name, value in os.environ.items() if name != "PYTHONSAFEPATH"}
    done = subprocess.run(
        [sys.executable, "-c", "import orvelkit, orvelkit.base as b; print(b.__file__)"],
        cwd=REPO_ROOT, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert not done.stdout.strip().startswith(str(REPO_ROOT / "orvelkit")), done.stdout

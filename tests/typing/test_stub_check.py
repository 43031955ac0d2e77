"""The build refuses a module whose type stub lacks one of its functions or methods: the check
runs on a copy of the module's folder with one definition taken out of the stub."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2] / "orvelkit"
CHECK = Path(__file__).resolve().parents[2] / "cmake" / "check_stub.py"


def check(folder, stamp):
    return subprocess.run([sys.executable, str(CHECK), str(folder), str(stamp)],
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("module", ["auspex", "tabloom", "base"])
def test_every_stub_is_complete(tmp_path, module):
    done = check(SOURCE / module, tmp_path / "stamp")
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "stamp").exists()


@pytest.mark.parametrize("module, definition, qualname", [
    ("auspex", "def conv_date(", "conv_date"),
    ("auspex", "async def _arun(", "Auspex._arun"),
    ("tabloom", "def print_table_schemas(", "MySQLDatabaseTabloom.print_table_schemas"),
])
def test_a_missing_stub_definition_is_named(tmp_path, module, definition, qualname):
    folder = tmp_path / module
    shutil.copytree(SOURCE / module, folder)
    stub = folder / f"{module}.pyi"
    text = stub.read_text()
    renamed = re.sub(re.escape(definition), definition.replace("def ", "def gone_"), text, count=1)
    assert renamed != text
    stub.write_text(renamed)
    done = check(folder, tmp_path / "stamp")
    assert done.returncode == 1
    assert f"no stub for {qualname}," in done.stderr
    assert not (tmp_path / "stamp").exists()

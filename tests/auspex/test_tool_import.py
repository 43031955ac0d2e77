"""Where the tool's base class comes from: langchain.tools.base while it exists (langchain 0.2,
0.3), langchain_core.tools where that path is missing below an installed langchain (langchain 1),
and a missing langchain still failing the import at its line. Each case hides modules from the
import system in a child interpreter, as an environment without them would."""

import importlib
import json
import os
import subprocess
import sys

import langchain_core.tools
import pytest

import orvelkit.auspex as auspex

CHILD = r"""
import json, sys, traceback

class Hidden:
    # Answers for the named modules as the import system does for modules that are not there.
    def __init__(self, names):
        self.names = names
    def find_spec(self, name, path=None, target=None):
        if name in self.names:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

sys.meta_path.insert(0, Hidden(json.loads(sys.argv[1])))
out = {}
try:
    import orvelkit.auspex as auspex
except BaseException as error:
    out["error"] = [type(error).__name__, str(error), getattr(error, "name", None)]
    out["entries"] = [[f.name, f.lineno] for f in traceback.extract_tb(error.__traceback__)
                      if f.filename == "orvelkit\\auspex"]
    context = error.__context__
    out["context"] = None if context is None else [type(context).__name__, context.name]
else:
    import langchain_core.tools
    base, = auspex.Auspex.__bases__
    out["base"] = [base.__module__, base is langchain_core.tools.BaseTool]
    out["forecast"] = auspex.Auspex().invoke(
        "{'data_input': {'date': ['2024-01-01', '2024-01-02'], 'values': [1, 2]}, 'period': 1}"
    ).to_dict("list")
print(json.dumps(out))
"""


def imported_with_hidden(*names):
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps(names)], capture_output=True,
                          text=True, timeout=300, env=dict(os.environ, PYTHONSAFEPATH="1"))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def old_path_exists():
    try:
        importlib.import_module("langchain.tools.base")
    except ModuleNotFoundError as error:
        assert error.name == "langchain.tools.base"  # langchain 1 keeps langchain.tools itself
        return False
    return True


def test_base_of_the_installed_layout():
    (base,) = auspex.Auspex.__bases__
    assert base is langchain_core.tools.BaseTool
    if old_path_exists():
        # langchain.tools.base re-exports the same class; the old path is the one taken.
        assert importlib.import_module("langchain.tools.base").BaseTool is base


@pytest.mark.parametrize("hidden", [("langchain.tools.base",), ("langchain.tools",)])
def test_missing_old_path_falls_back_to_langchain_core(hidden):
    out = imported_with_hidden(*hidden)
    assert out == {"base": [langchain_core.tools.BaseTool.__module__, True],
                   "forecast": {"dates": ["2024-01-03"], "Forecasted_values": [3.0]}}


@pytest.mark.parametrize("hidden, error, context", [
    # No langchain at all: the import fails as it always did, at its own line.
    (("langchain",), ["ModuleNotFoundError", "No module named 'langchain'", "langchain"], None),
    # A module that the old path needs in turn is no reason to look elsewhere.
    (("langchain_core.tools",),
     ["ModuleNotFoundError", "No module named 'langchain_core.tools'", "langchain_core.tools"],
     None),
    # The fallback itself missing: its error, with the old path's as the context.
    # (langchain.tools itself imports langchain_core.tools, so it is hidden whole.)
    (("langchain.tools", "langchain_core.tools"),
     ["ModuleNotFoundError", "No module named 'langchain_core.tools'", "langchain_core.tools"],
     ["ModuleNotFoundError", "langchain.tools"]),
], ids=["no langchain", "dependency of the old path", "no fallback either"])
def test_import_fails_at_the_import_line(hidden, error, context):
    out = imported_with_hidden(*hidden)
    assert out == {"error": error, "entries": [["init orvelkit.auspex", 9]], "context": context}

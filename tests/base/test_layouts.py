"""Which llama_index layout the module binds, and how its import fails where a layout is not whole.

The installed layout is checked in this process. Every other arrangement runs in a child whose
sys.modules holds stand-in modules for the one being tried, so each combination checks both
layouts and every failure, whichever llama_index it has installed.
"""

from __future__ import annotations

import importlib.util
import json
import subprocess
import sys

import pytest

import orvelkit.base as base
from support import offline_llm as llama
from tests.robustness.helpers import child_environment

INIT = "init orvelkit.base"
NAMES = ("NLSQLTableQueryEngine", "SQLDatabase", "OpenAI", "ServiceContext")


def test_the_installed_layout_decides_and_a_core_subpackage_alone_does_not():
    bound = {name: getattr(base, name) for name in NAMES}
    assert bound == {name: getattr(llama, name) for name in NAMES}
    assert base.ServiceContext is llama.LLAMA_INDEX.ServiceContext
    # 0.9 ships a llama_index.core of its own (base classes only), so that it imports tells the
    # layouts apart nowhere; whether llama_index has `indices` does.
    assert importlib.util.find_spec("llama_index.core") is not None
    assert (importlib.util.find_spec("llama_index.indices") is None) is llama.CORE_LAYOUT


# Stand-ins for each layout: module -> the classes it holds. Every stand-in is a package with an
# empty path, so a submodule it does not list is not there.
LAYOUT_09 = {
    "llama_index": ["SQLDatabase", "ServiceContext"],
    "llama_index.core": [],
    "llama_index.indices": [],
    "llama_index.indices.struct_store": [],
    "llama_index.indices.struct_store.sql_query": ["NLSQLTableQueryEngine"],
    "llama_index.llms": ["OpenAI"],
}
LAYOUT_CORE = {
    "llama_index": [],
    "llama_index.core": ["SQLDatabase", "ServiceContext"],
    "llama_index.core.query_engine": ["NLSQLTableQueryEngine"],
    "llama_index.llms": [],
    "llama_index.llms.openai": ["OpenAI"],
}

CHILD = r"""
import json, sys, traceback, types

stand_ins, failing = json.loads(sys.argv[1])


class Failing:
    # Raises, for the modules it names, what the import system or a failing module would.
    @staticmethod
    def find_spec(fullname, path=None, target=None):
        if fullname in failing:
            kind, missing = failing[fullname]
            raise getattr(__builtins__, kind)(f"No module named {missing!r}", name=missing)
        return None


def refuse(self, *args, **kwargs):
    # Importing only binds the names: 0.14's ServiceContext, for one, raises when it is built.
    raise AssertionError("built while importing orvelkit.base")


sys.meta_path.insert(0, Failing)
for name, classes in stand_ins.items():
    module = types.ModuleType(name)
    module.__path__ = []
    for cls in classes:
        setattr(module, cls, type(cls, (), {"__module__": name, "__init__": refuse}))
    sys.modules[name] = module


def described(error):
    if error is None:
        return None
    return {"type": type(error).__name__, "name": getattr(error, "name", None),
            "text": str(error), "context": described(error.__context__),
            "entries": [[f.name, f.lineno] for f in traceback.extract_tb(error.__traceback__)
                        if f.filename == "orvelkit\\base"]}


try:
    import orvelkit.base as base
except Exception as error:
    print(json.dumps({"error": described(error)}))
else:
    names = ("NLSQLTableQueryEngine", "SQLDatabase", "OpenAI", "ServiceContext")
    print(json.dumps({"bound": {n: getattr(base, n).__module__ for n in names}}))
"""


def import_in_child(stand_ins, failing=None):
    done = subprocess.run([sys.executable, "-c", CHILD, json.dumps([stand_ins, failing or {}])],
                          capture_output=True, text=True, timeout=120, env=child_environment())
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def without(layout, module, cls=None):
    """The layout with one class, or one module and its submodules, taken away."""
    if cls is not None:
        return {**layout, module: [c for c in layout[module] if c != cls]}
    return {m: c for m, c in layout.items() if m != module and not m.startswith(module + ".")}


@pytest.mark.parametrize("stand_ins, modules", [
    (LAYOUT_09, {"NLSQLTableQueryEngine": "llama_index.indices.struct_store.sql_query",
                 "SQLDatabase": "llama_index", "OpenAI": "llama_index.llms",
                 "ServiceContext": "llama_index"}),
    (LAYOUT_CORE, {"NLSQLTableQueryEngine": "llama_index.core.query_engine",
                   "SQLDatabase": "llama_index.core", "OpenAI": "llama_index.llms.openai",
                   "ServiceContext": "llama_index.core"}),
], ids=["0.9", "0.10 and later"])
def test_each_layout_is_bound_from_its_own_modules(stand_ins, modules):
    assert import_in_child(stand_ins) == {"bound": modules}


def failure(kind, text, line, name=None, context=None):
    return {"type": kind, "name": name, "text": text, "entries": [[INIT, line]],
            "context": context}


def missing(module, line, context=None):
    return failure("ModuleNotFoundError", f"No module named '{module}'", line, module, context)


# What the first statement raises where llama_index holds no 0.9 layout: the cue for the other.
NO_INDICES = missing("llama_index.indices", 95)
WITHOUT_INDICES = without(LAYOUT_09, "llama_index.indices")


@pytest.mark.parametrize("stand_ins, failing, error", [
    # Not installed at all: the first statement fails as it always did, alone.
    ({}, {"llama_index": ["ModuleNotFoundError", "llama_index"]}, missing("llama_index", 95)),
    # A package of that name with neither layout: both places looked in are shown.
    ({"llama_index": []}, None, missing("llama_index.core", 95, NO_INDICES)),
    # Faults inside a 0.9 install are its own, never taken for the other layout.
    (without(LAYOUT_09, "llama_index.indices.struct_store"), None,
     missing("llama_index.indices.struct_store", 95)),
    (WITHOUT_INDICES, {"llama_index.indices": ["ModuleNotFoundError", "nltk"]},
     missing("nltk", 95)),
    (WITHOUT_INDICES, {"llama_index.indices": ["ImportError", "llama_index.indices"]},
     failure("ImportError", "No module named 'llama_index.indices'", 95, "llama_index.indices")),
    # A name either layout lacks fails at the line that imports it.
    (without(LAYOUT_09, "llama_index.indices.struct_store.sql_query", "NLSQLTableQueryEngine"),
     None, failure("ImportError", "cannot import name NLSQLTableQueryEngine", 95)),
    (without(LAYOUT_09, "llama_index", "SQLDatabase"), None,
     failure("ImportError", "cannot import name SQLDatabase", 96)),
    (without(LAYOUT_09, "llama_index.llms", "OpenAI"), None,
     failure("ImportError", "cannot import name OpenAI", 97)),
    (without(LAYOUT_09, "llama_index", "ServiceContext"), None,
     failure("ImportError", "cannot import name ServiceContext", 98)),
    (without(LAYOUT_CORE, "llama_index.core.query_engine", "NLSQLTableQueryEngine"), None,
     failure("ImportError", "cannot import name NLSQLTableQueryEngine", 95, context=NO_INDICES)),
    (without(LAYOUT_CORE, "llama_index.core", "SQLDatabase"), None,
     failure("ImportError", "cannot import name SQLDatabase", 96)),
    (without(LAYOUT_CORE, "llama_index.core", "ServiceContext"), None,
     failure("ImportError", "cannot import name ServiceContext", 98)),
    # OpenAI comes in its own distribution from 0.10 on, and may not be installed.
    (without(LAYOUT_CORE, "llama_index.llms.openai"), None, missing("llama_index.llms.openai", 97)),
], ids=["no llama_index", "neither layout", "0.9 without a submodule",
        "0.9 without a dependency", "0.9 failing to import", "0.9 without the query engine",
        "0.9 without SQLDatabase", "0.9 without OpenAI", "0.9 without ServiceContext",
        "core without the query engine", "core without SQLDatabase",
        "core without ServiceContext", "core without the OpenAI package"])
def test_an_incomplete_layout_fails_initialisation_at_its_line(stand_ins, failing, error):
    assert import_in_child(stand_ins, failing) == {"error": error}

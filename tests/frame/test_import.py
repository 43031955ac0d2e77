"""Creating and initialising orvelkit.auspex. Scenarios that need a process in a
particular import state run in a child interpreter, so this one keeps its copy."""

import builtins
import importlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

import orvelkit.auspex as auspex
from tests.records import module_functions

FILE = "orvelkit\\auspex"


def run_child(source):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, PYTHONSAFEPATH="1"))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def test_module_attributes():
    assert auspex.__doc__ is None
    assert auspex.__package__ == "orvelkit"
    assert auspex.__loader__ is auspex.__spec__.loader
    assert auspex.__file__ == auspex.__spec__.origin
    assert not hasattr(auspex, "__path__")
    assert auspex.__builtins__ is builtins
    assert auspex.__test__ == {} and type(auspex.__test__) is dict
    own = [name for name in vars(auspex) if not name.startswith("__") or name == "__test__"]
    # The imports and the two classes, then the module's functions in the order of their records'
    # lines, then the frame's own name.
    assert own == ["pd", "datetime", "timedelta", "parser", "LinearRegression", "re",
                   "BaseModel", "Field", "Dict", "json", "BaseTool", "ForecastInput", "Auspex",
                   *module_functions("auspex"), "__test__"]


def test_import_again_and_after_removal_runs_nothing_again():
    assert importlib.import_module("orvelkit.auspex") is auspex
    defined = (auspex.ts_forecast, auspex.Auspex, auspex.ForecastInput)
    saved_json, marker = auspex.json, object()
    auspex.json = marker  # a second run of the statements would bind json again
    removed = sys.modules.pop("orvelkit.auspex")
    try:
        assert importlib.import_module("orvelkit.auspex") is auspex
        assert auspex.json is marker
        assert (auspex.ts_forecast, auspex.Auspex, auspex.ForecastInput) == defined
    finally:
        auspex.json = saved_json
        sys.modules["orvelkit.auspex"] = removed


@pytest.fixture(scope="module")
def module_objects():
    return run_child("""
        import _imp, importlib.util, json, os, sys, tempfile
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters  # renamed in 3.13
        else:
            import _xxsubinterpreters as interpreters
        out = {}
        found = importlib.util.find_spec("orvelkit.auspex")

        first, second = _imp.create_dynamic(found), _imp.create_dynamic(found)
        out["distinct"] = first is not second
        _imp.exec_dynamic(first)
        out["registered"] = sys.modules.get("orvelkit.auspex") is first
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as error:
            out["reinit"] = str(error)
        out["create_again"] = _imp.create_dynamic(found) is first

        fd, path = tempfile.mkstemp()
        os.close(fd)
        # A sub-interpreter sharing the main one's GIL: 3.12 and later refuse an isolated one
        # themselves, before the module's own check could run.
        if sys.version_info >= (3, 13):
            iid = interpreters.create(interpreters.new_config("legacy"))
        elif sys.version_info >= (3, 12):
            iid = interpreters.create(isolated=False)
        else:
            iid = interpreters.create()
        interpreters.run_string(iid, f"import sys\\nsys.path[:] = {sys.path!r}\\n" +
            "try:\\n    import orvelkit.auspex\\n    result = 'imported'\\n"
            "except ImportError as error:\\n    result = str(error)\\n"
            f"open({path!r}, 'w').write(result)\\n")
        interpreters.destroy(iid)
        out["sub_interpreter"] = open(path).read()
        print(json.dumps(out))
    """)


def test_exec_of_a_second_module_object_is_refused(module_objects):
    assert module_objects["distinct"] and module_objects["registered"]
    assert module_objects["reinit"] == (
        "Module 'auspex' has already been imported. Re-initialisation is not supported.")
    assert module_objects["create_again"]


def test_import_in_a_sub_interpreter_is_refused(module_objects):
    assert module_objects["sub_interpreter"] == (
        "Interpreter change detected - this module can only be loaded into one interpreter "
        "per process.")


@pytest.fixture(scope="module")
def failures():
    return run_child("""
        import json, sys, traceback, types, warnings
        import asyncio, datetime, decimal, re, typing, gc, pandas, pydantic, dateutil.parser
        import sklearn.linear_model, collections.abc, importlib
        try:  # langchain 1 has no langchain.tools.base; the module then finds BaseTool elsewhere
            real_tools_base = importlib.import_module("langchain.tools.base")
        except ModuleNotFoundError:
            real_tools_base = None
        out = {}

        def attempt(name, warnings_filter="always"):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter(warnings_filter)
                try:
                    import orvelkit.auspex
                    out[name] = [None, None, True, []]
                except BaseException as error:
                    out[name] = [type(error).__name__, str(error),
                                 "orvelkit.auspex" in sys.modules,
                                 [[f.name, f.filename, f.lineno]
                                  for f in traceback.extract_tb(error.__traceback__)
                                  if f.filename == "orvelkit\\\\auspex"]]
            out[name].append([str(w.message) for w in caught])

        registry = types.ModuleType("_orvelkit_frame_types")
        registry.function_v2 = 42
        sys.modules["_orvelkit_frame_types"] = registry
        attempt("incompatible registered type")
        del registry.function_v2

        registered, unraisable = [], []
        sys.modules["backports_abc"] = types.ModuleType("backports_abc")
        sys.modules["backports_abc"].Coroutine = types.SimpleNamespace(register=registered.append)
        sys.unraisablehook = lambda report: unraisable.append(type(report.exc_value).__name__)
        real_abc, sys.modules["collections.abc"] = sys.modules["collections.abc"], None
        attempt("abc warning as error", "error")
        sys.modules["sklearn.linear_model"] = None
        attempt("missing package")
        out["backports"] = [t is registry.coroutine_v2 for t in registered]
        sys.modules["sklearn.linear_model"] = sklearn.linear_model
        sys.modules["collections.abc"] = real_abc
        sys.modules["langchain.tools.base"] = types.ModuleType("langchain.tools.base")
        attempt("missing name")
        if real_tools_base is None:
            del sys.modules["langchain.tools.base"]
        else:
            sys.modules["langchain.tools.base"] = real_tools_base
        # Each failure comes after the cached builtins were looked up again.
        cached = (NotImplementedError, sum, range)
        held = [sys.getrefcount(b) for b in cached]
        real_json, sys.modules["json"] = sys.modules["json"], None
        for _ in range(3):
            attempt("json blocked")
        sys.modules["json"] = real_json
        now = [sys.getrefcount(b) for b in cached]
        out["builtin references gained"] = [n - h for n, h in zip(now, held)]
        attempt("retry")

        import orvelkit.auspex as auspex
        out["unraisable"] = unraisable
        out["registry"] = sorted(k for k in vars(registry) if not k.startswith("__"))
        out["forecast"] = auspex.Auspex()._run(
            "{'data_input': {'date': ['2024-01-01', '2024-01-02'], 'values': [1, 2]},"
            " 'period': 1}").to_dict("list")
        print(json.dumps(out))
    """)


@pytest.mark.parametrize("attempt, error_type, message, entries", [
    # Shared types are obtained before the module's strings: no "init" entry yet.
    ("incompatible registered type", "TypeError", "function_v2", []),
    ("abc warning as error", "RuntimeWarning", "collections.abc", None),
    ("missing package", "ModuleNotFoundError", "sklearn.linear_model",
     [["init orvelkit.auspex", FILE, 4]]),
    ("missing name", "ImportError", "cannot import name BaseTool",
     [["init orvelkit.auspex", FILE, 9]]),
    ("json blocked", "ModuleNotFoundError", "import of json halted; None in sys.modules",
     [["init orvelkit.auspex", FILE, 8]]),
])
def test_failed_initialisation(failures, attempt, error_type, message, entries):
    got_type, got_message, left_in_sys_modules, got_entries, _ = failures[attempt]
    assert got_type == error_type and message in got_message
    if attempt in ("missing name", "json blocked"):
        assert got_message == message
    if entries is not None:
        assert got_entries == entries
    assert not left_in_sys_modules


def test_failed_initialisations_keep_no_reference_to_the_cached_builtins(failures):
    assert failures["builtin references gained"] == [0, 0, 0]


def test_import_after_failures_starts_afresh(failures):
    assert failures["retry"][0] is None
    assert failures["forecast"] == {"dates": ["2024-01-03"], "Forecasted_values": [3.0]}
    # 3.12 and later also share the one dict watcher there.
    watch = ["dict_watch_v2"] if sys.version_info >= (3, 12) else []
    assert failures["registry"] == sorted(["coroutine_v2", "coroutine_wrapper_v2", "function_v2",
                                           *watch])


def test_import_on_the_interpreter_built_for_does_not_warn_about_versions(failures):
    assert not [w for w in failures["retry"][-1] if "compile time Python version" in w]


def test_unavailable_collections_abc_only_warns(failures):
    (warned,) = [w for w in failures["missing package"][-1] if "collections.abc" in w]
    assert "register" in warned
    assert failures["unraisable"] == ["ModuleNotFoundError"] * 2
    # Once collections.abc was imported, later initialisations do not try again.
    assert not [w for w in failures["retry"][-1] if "collections.abc" in w]


def test_coroutine_type_is_registered_with_backports_abc_even_so(failures):
    assert failures["backports"] == [True]

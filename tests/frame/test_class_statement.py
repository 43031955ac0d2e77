"""Class statements run by the module: the classes made on the real pydantic and
LangChain bases (compared with the same statements written in Python), and, on
recording stand-in bases in a child interpreter, the calls and failures."""

import json
import os
import subprocess
import sys
from typing import Dict

import pandas as pd  # resolves the string annotations of the twin below
import pydantic
import pytest
# langchain.tools.base (gone in langchain 1) re-exported this very class.
from langchain_core.tools import BaseTool

from orvelkit.auspex import Auspex, ForecastInput

# Field objects and validation texts differ between pydantic 1 and 2; both are supported.
PYDANTIC_2 = int(pydantic.VERSION.split(".")[0]) >= 2
# langchain-core 0.3 and later build BaseTool on pydantic 2, 0.2 on pydantic 1 (or its v1 shim).
TOOL_ON_PYDANTIC_2 = isinstance(getattr(BaseTool, "model_config", None), dict)
# Entries that 3.13's compiler adds to every class statement it compiles; the module's classes do
# not come from compiled source.
COMPILER_ENTRIES = {"__firstlineno__", "__static_attributes__"}

DESCRIPTION = "\n    Use this tool for time series forecasting\n    "


class PyForecastInput(pydantic.BaseModel):
    """
    Inputs for the forecasting function.
    """
    df: "pd.DataFrame" = pydantic.Field(description="Input dataset as a DataFrame")
    period: "int" = pydantic.Field(description="The period to forecast")

    class Config:
        arbitrary_types_allowed = True


if TOOL_ON_PYDANTIC_2:
    class PyAuspex(BaseTool):
        """Tool for time series forecasting."""
        name: str = "forecast"
        description: str = DESCRIPTION

        def _run(self, input: str) -> Dict:
            pass

        async def _arun(self, data: str) -> str:
            pass
else:
    class PyAuspex(BaseTool):
        """Tool for time series forecasting."""
        name = "forecast"
        description = DESCRIPTION

        def _run(self, input: str) -> Dict:
            pass

        async def _arun(self, data: str) -> str:
            pass


def test_forecast_input():
    assert (ForecastInput.__module__, ForecastInput.__qualname__) == ("orvelkit.auspex",
                                                                      "ForecastInput")
    assert ForecastInput.__doc__ == "\n    Inputs for the forecasting function.\n    "
    assert list(ForecastInput.__annotations__.items()) == [("df", "pd.DataFrame"),
                                                           ("period", "int")]
    if PYDANTIC_2:
        fields = [(n, f.is_required(), f.annotation, f.description)
                  for n, f in ForecastInput.model_fields.items()]
    else:
        fields = [(n, f.required, f.outer_type_, f.field_info.description)
                  for n, f in ForecastInput.__fields__.items()]
    assert fields == [("df", True, pd.DataFrame, "Input dataset as a DataFrame"),
                      ("period", True, int, "The period to forecast")]
    assert set(vars(ForecastInput)) == set(vars(PyForecastInput)) - COMPILER_ENTRIES
    config = ForecastInput.Config
    assert (config.__qualname__, config.__module__, config.__doc__, config.__bases__) == (
        "ForecastInput.Config", "orvelkit.auspex", None, (object,))
    assert type(config) is type and config.arbitrary_types_allowed is True
    assert set(vars(config)) == set(vars(PyForecastInput.Config)) - COMPILER_ENTRIES


def test_forecast_input_validates_like_its_python_twin():
    table = pd.DataFrame({"timestamp": ["2024-01-01"], "values": [1]})
    made = ForecastInput(df=table, period=3)
    assert made.df is table and made.period == 3
    with pytest.raises(pydantic.ValidationError) as ours:
        ForecastInput(df=table)
    with pytest.raises(pydantic.ValidationError) as twin:
        PyForecastInput(df=table)
    assert ours.value.errors() == twin.value.errors()
    if PYDANTIC_2:
        expected = {"loc": ("period",), "msg": "Field required", "type": "missing"}
    else:
        expected = {"loc": ("period",), "msg": "field required", "type": "value_error.missing"}
    assert [{key: error[key] for key in expected} for error in ours.value.errors()] == [expected]


def test_tool_class():
    assert (Auspex.__module__, Auspex.__qualname__, Auspex.__doc__) == (
        "orvelkit.auspex", "Auspex", "Tool for time series forecasting.")
    assert Auspex.__bases__ == (BaseTool,) and "__orig_bases__" not in vars(Auspex)
    # Reading a class's __annotations__ stores an empty dict in it; newer langchain-core does that
    # on first use of a tool, so whether the entry exists depends on which tests ran before.
    assert set(vars(Auspex)) - {"__annotations__"} == \
        set(vars(PyAuspex)) - {"__annotations__"} - COMPILER_ENTRIES
    tool = Auspex()
    assert (tool.name, tool.description) == ("forecast", DESCRIPTION)
    # The schema stands apart: the framework derives the tool's arguments from _run.
    assert all(value is not ForecastInput for value in vars(Auspex).values())
    assert tool.args_schema is None
    assert tool.args == PyAuspex().args == {"input": {"title": "Input", "type": "string"}}


def test_tool_class_on_a_pydantic_2_base():
    # The methods stay the class's own, not private attributes that leave the base's abstract
    # methods to answer; the two fields are pydantic's, with their defaults.
    assert vars(Auspex)["_run"] is not None and "_run" not in Auspex.__private_attributes__
    assert Auspex._run.__qualname__ == "Auspex._run" and Auspex._arun.__qualname__ == "Auspex._arun"
    if TOOL_ON_PYDANTIC_2:
        assert vars(Auspex)["__annotations__"] == {"name": "str", "description": "str"}
        fields = Auspex.model_fields
        assert (fields["name"].default, fields["description"].default) == ("forecast", DESCRIPTION)
        ignored = Auspex.model_config["ignored_types"]
        assert ignored[-1] is type(Auspex._run) is type(Auspex._arun)
        assert ignored[:-1] == tuple(BaseTool.model_config.get("ignored_types", ()))
        assert {k: v for k, v in Auspex.model_config.items() if k != "ignored_types"} == \
            BaseTool.model_config
    else:
        assert "model_config" not in vars(Auspex)
        assert Auspex.__fields__["name"].default == "forecast"


RECORDING_CHILD = r"""
import json, sys, traceback, types
import pandas, datetime, dateutil.parser, sklearn.linear_model, re, typing, langchain
log = []

class Namespace(dict):
    def __setitem__(self, key, value):
        log.append(["set", self.owner, key])
        super().__setitem__(key, value)

class Meta(type):
    refuse = None
    @classmethod
    def __prepare__(mcs, name, bases, **kw):
        log.append(["prepare", name, [b.__name__ for b in bases], sorted(kw)])
        namespace = Namespace()
        namespace.owner = name
        return namespace
    def __new__(mcs, name, bases, namespace, **kw):
        log.append(["new", name, [b.__name__ for b in bases], type(namespace).__name__, sorted(kw)])
        if Meta.refuse == name:
            raise LookupError("refused " + name)
        return super().__new__(mcs, name, bases, dict(namespace))

ModelBase, ToolBase = Meta("ModelBase", (), {}), Meta("ToolBase", (), {})
Unrelated = type("OtherMeta", (type,), {})("Unrelated", (), {})

class StandIn:  # not a type: names the real bases through __mro_entries__
    def __init__(self, entries):
        self.entries = entries
    def __mro_entries__(self, bases):
        log.append(["mro_entries", len(bases)])
        return self.entries

sys.modules["pydantic"] = types.ModuleType("pydantic")
sys.modules["pydantic"].BaseModel, sys.modules["pydantic"].Field = ModelBase, dict
sys.modules["langchain.tools.base"] = tools = types.ModuleType("langchain.tools.base")
out = {}
for name, base, refuse in [("mro_entries list", StandIn([ToolBase]), None),
                           ("metaclass conflict", StandIn((ToolBase, Unrelated)), None),
                           ("metaclass refuses", ToolBase, "ForecastInput"),
                           ("base that is no class", 42, None),
                           ("success", StandIn((ToolBase,)), None)]:
    del log[:]
    tools.BaseTool, Meta.refuse = base, refuse
    try:
        import orvelkit.auspex as auspex
    except Exception as error:
        out[name] = [type(error).__name__, str(error),
                     [[f.name, f.lineno] for f in traceback.extract_tb(error.__traceback__)
                      if f.filename == "orvelkit\\auspex"]]
out.update(log=log, orig_bases=auspex.Auspex.__orig_bases__ == (base,),
           bases=[b.__name__ for b in auspex.Auspex.__bases__],
           df=vars(auspex.ForecastInput)["df"])
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def recorded():
    done = subprocess.run([sys.executable, "-c", RECORDING_CHILD], capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, PYTHONSAFEPATH="1"))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.mark.parametrize("attempt, error, message, line", [
    ("mro_entries list", "TypeError", "__mro_entries__ must return a tuple", 24),
    ("metaclass conflict", "TypeError", "metaclass conflict: the metaclass of a derived class "
     "must be a (non-strict) subclass of the metaclasses of all its bases", 24),
    ("metaclass refuses", "LookupError", "refused ForecastInput", 12),
    # int, the type of the base 42, is called as the metaclass and refuses.
    ("base that is no class", "TypeError", None, 24),
])
def test_failing_class_statement_fails_initialisation(recorded, attempt, error, message, line):
    got_error, got_message, entries = recorded[attempt]
    assert (got_error, entries) == (error, [["init orvelkit.auspex", line]])
    assert message is None or got_message == message
    assert "success" not in recorded


def test_prepare_namespace_and_metaclass_calls(recorded):
    log = recorded["log"]
    assert [e for e in log if e[0] in ("prepare", "new", "mro_entries")] == [
        ["prepare", "ForecastInput", ["ModelBase"], []],
        ["new", "ForecastInput", ["ModelBase"], "Namespace", []],
        ["mro_entries", 1],  # called once, with the bases as written
        ["prepare", "Auspex", ["ToolBase"], []],
        ["new", "Auspex", ["ToolBase"], "Namespace", []]]
    stores = {}
    for entry in log:
        if entry[0] == "set":
            stores.setdefault(entry[1], []).append(entry[2])
    # Config has no bases: type is its metaclass and a plain dict its namespace.
    assert stores == {
        "ForecastInput": ["__module__", "__qualname__", "__doc__", "__annotations__", "Config",
                          "df", "period"],
        "Auspex": ["__module__", "__qualname__", "__doc__", "__orig_bases__", "name",
                   "description", "_run", "_arun"]}
    assert recorded["orig_bases"] and recorded["bases"] == ["ToolBase"]
    assert recorded["df"] == {"description": "Input dataset as a DataFrame"}  # keyword only

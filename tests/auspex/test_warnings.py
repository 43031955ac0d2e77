"""No warning that the module's own definitions or its own way of calling pandas cause reaches the
caller, on any supported stack (pydantic 2 deprecates the inner Config, pandas 3.1 set_index's
inplace); what pandas says about the caller's data still does, and the caller's warnings filters
are as they were."""

import json
import os
import subprocess
import sys
import warnings

import pandas as pd
import pydantic
import pytest

from orvelkit.auspex import Auspex, ts_forecast

PYDANTIC_2 = int(pydantic.VERSION.split(".")[0]) >= 2
DATES = ["2024-01-01", "2024-01-02", "2024-01-03"]
REQUEST = json.dumps({"data_input": {"date": DATES, "values": [1, 2, 3]}, "period": 2})

CHILD = r"""
import json, sys, warnings, importlib
# What the packages themselves add to the filters on import is theirs.
import pandas, dateutil.parser, sklearn.linear_model, pydantic, langchain, langchain_core.tools
try:
    importlib.import_module("langchain.tools.base")
except ModuleNotFoundError:
    pass
before = list(warnings.filters)
import orvelkit.auspex as auspex
import pandas as pd, pydantic
out = {"filters unchanged": warnings.filters == before}
out["config"] = [auspex.ForecastInput.Config.arbitrary_types_allowed,
                 auspex.ForecastInput.Config.__qualname__]
table = pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-02", "2024-01-03"],
                      "values": [1, 2, 3]})
out["forecast"] = auspex.ts_forecast(table, 2).to_dict("list")
out["index"] = [table.index.name, list(table.columns)]
out["tool"] = auspex.Auspex().invoke(sys.argv[1]).to_dict("list")
out["filters unchanged after calls"] = warnings.filters == before
# The caller's own use of the deprecated Config still warns, as an error here.
try:
    class Model(pydantic.BaseModel):
        class Config:
            extra = "forbid"
    out["callers config"] = None
except Warning as warning:
    out["callers config"] = type(warning).__name__
print(json.dumps(out))
"""


def test_import_and_calls_under_warnings_as_errors():
    done = subprocess.run([sys.executable, "-W", "error", "-c", CHILD, REQUEST],
                          capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, PYTHONSAFEPATH="1"))
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout.splitlines()[-1])
    expected = {"dates": ["2024-01-04", "2024-01-05"], "Forecasted_values": [4.0, 5.0]}
    assert out == {
        "filters unchanged": True, "config": [True, "ForecastInput.Config"],
        "forecast": expected, "index": ["timestamp", ["values"]], "tool": expected,
        "filters unchanged after calls": True,
        "callers config": "PydanticDeprecatedSince20" if PYDANTIC_2 else None}


def plain_set_index_warnings():
    """What the caller's own set_index(..., inplace=True) says, as (category, text) pairs."""
    table = pd.DataFrame({"timestamp": DATES, "values": [1, 2, 3]})
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        table.set_index("timestamp", inplace=True)
    return [(w.category, str(w.message)) for w in caught]


def forecast_warnings(table, may_fail=False):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = ts_forecast(table, 2)
            assert list(result.columns) == ["dates", "Forecasted_values"]
        except ValueError:
            if not may_fail:
                raise
    return [(w.category.__name__, str(w.message)) for w in caught]


class NamedFrame(pd.DataFrame):
    """pandas names the table's own class in the deprecation."""

    @property
    def _constructor(self):
        return NamedFrame


class AddsFilter(pd.DataFrame):
    def set_index(self, *args, **kwargs):
        warnings.filterwarnings("ignore", message="added inside set_index")
        return super().set_index(*args, **kwargs)


class WarnsAboutData(pd.DataFrame):
    def set_index(self, *args, **kwargs):
        warnings.warn("about the caller's data", UserWarning)
        return super().set_index(*args, **kwargs)


@pytest.mark.parametrize("make", [pd.DataFrame, NamedFrame], ids=["DataFrame", "subclass"])
def test_forecast_warns_about_nothing_of_its_own(make):
    before = plain_set_index_warnings()
    filters, listed = warnings.filters, list(warnings.filters)
    table = make({"timestamp": DATES, "values": [1, 2, 3]})
    assert forecast_warnings(table) == []
    assert table.index.name == "timestamp" and list(table.columns) == ["values"]
    assert warnings.filters is filters and warnings.filters == listed
    # The caller's own call says what it said before.
    assert plain_set_index_warnings() == before


def test_warnings_about_the_callers_data_still_reach_the_caller():
    seen = forecast_warnings(WarnsAboutData({"timestamp": DATES, "values": [1, 2, 3]}))
    assert seen == [("UserWarning", "about the caller's data")]
    # Month names alone: pandas 3 reads them, pandas 2 refuses them, and both say first that
    # they parse each element alone.
    seen = forecast_warnings(pd.DataFrame({"timestamp": ["January", "February", "March"],
                                           "values": [1, 2, 3]}), may_fail=True)
    assert [text for _, text in seen if text.startswith("Could not infer format")]


def test_filters_added_during_the_call_stay():
    with warnings.catch_warnings():
        ts_forecast(AddsFilter({"timestamp": DATES, "values": [1, 2, 3]}), 2)
        added = [f for f in warnings.filters if f[1] is not None and
                 f[1].pattern == "added inside set_index"]
        assert len(added) == 1
        assert not [f for f in warnings.filters if f[1] is not None and "set_index is" in f[1].pattern]


def test_tool_returns_the_table_while_deprecations_are_errors(capsys):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = Auspex()._run(REQUEST)
    assert isinstance(result, pd.DataFrame), result
    assert capsys.readouterr().err == ""


def test_the_callers_own_warning_at_the_calling_line_is_still_shown():
    # The warnings module remembers per code line what it has shown; what was ignored inside the
    # call must not count as shown when the same line later warns for itself.
    expected = plain_set_index_warnings()
    if not expected:
        pytest.skip("this pandas does not deprecate set_index's inplace, so nothing is ignored")
    first, second = (pd.DataFrame({"timestamp": DATES, "values": [1, 2, 3]}) for _ in range(2))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("default")
        # Both calls on one line: pandas blames the line that called into it.
        calls = [lambda: ts_forecast(first, 2), lambda: second.set_index("timestamp", inplace=True)]
        for call in calls:
            call()
    assert [(w.category, str(w.message)) for w in caught] == expected

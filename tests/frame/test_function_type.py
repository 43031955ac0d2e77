"""The frame's function type as interpreter code sees it."""

import asyncio.coroutines
import copy
import inspect
import pickle
import sys
import warnings
import weakref

import pandas as pd
import pytest

import orvelkit.auspex as auspex
from orvelkit.auspex import Auspex, conv_date, ts_forecast

RUN, ARUN = Auspex.__dict__["_run"], Auspex.__dict__["_arun"]
FUNCTIONS, IDS = [ts_forecast, conv_date, RUN, ARUN], ["ts_forecast", "conv_date", "_run", "_arun"]
TS_FORECAST_DOC = (
    "\n    Perform time series forecasting on a DataFrame with two columns (date and values)."
    "\n\n    Args:\n        df (pd.DataFrame): The DataFrame containing time series data with "
    "two columns.\n        period (int): The number of periods into the future to forecast."
    "\n\n    Returns:\n        pd.DataFrame: A DataFrame with date and forecasted values.\n\n"
    "    Example Usage:\n    df = pd.read_csv('sales_data.csv')  # Load your data\n"
    "    forecasted_data = ts_forecast(df, 30)\n    ")
TS_FORECAST_LOCALS = ("df", "period", "dates", "values", "x", "model", "date_intervals",
                      "average_interval", "last_date", "forecast_dates", "forecast_x", "forecast",
                      "future_dates", "forecast_df", "date", "x", "i", "i", "date", "x", "date")
RUN_LOCALS = ("self", "input", "traceback", "data", "dates", "sequence", "seq", "val", "df",
              "period", "result", "e", "d")


@pytest.fixture
def restore():
    """Puts back what a test writes to ts_forecast."""
    saved = {n: getattr(ts_forecast, n) for n in ("__name__", "__qualname__", "__doc__",
                                                  "__module__", "__annotations__", "__dict__")}
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        ts_forecast.__defaults__ = ts_forecast.__kwdefaults__ = None
    for name, value in saved.items():
        setattr(ts_forecast, name, value)


@pytest.mark.parametrize("function, qualname, doc, annotations, varnames, line, flags", [
    (ts_forecast, "ts_forecast", TS_FORECAST_DOC,
     {"df": "pd.DataFrame", "period": "int", "return": "pd.DataFrame"}, TS_FORECAST_LOCALS, 73, 0),
    (conv_date, "conv_date", None, {}, ("dt", "parsed_date", "standardized_date"), 67, 0),
    (RUN, "Auspex._run", "Time series forecasting.", {"input": "str", "return": "Dict"},
     RUN_LOCALS, 32, 0),
    (ARUN, "Auspex._arun", None, {"data": "str", "return": "str"}, ("self", "data"), 63,
     inspect.CO_COROUTINE),
], ids=IDS)
def test_what_each_function_shows(function, qualname, doc, annotations, varnames, line, flags):
    name = qualname.split(".")[-1]
    assert function.__name__ == function.func_name == name
    assert function.__qualname__ == qualname
    assert function.__doc__ == function.func_doc == doc
    assert function.__module__ == "orvelkit.auspex"
    assert list(function.__annotations__.items()) == list(annotations.items())  # texts, in order
    assert function.__annotations__ is function.__annotations__
    assert function.__defaults__ is function.func_defaults is function.__kwdefaults__ is None
    assert function.__closure__ is function.func_closure is None
    assert function.__globals__ is function.func_globals is vars(auspex)
    assert function.__dict__ is function.func_dict
    code = function.__code__
    assert code is function.func_code
    assert (code.co_argcount, code.co_varnames, code.co_nlocals) == (
        1 if function is conv_date else 2, varnames, len(varnames))
    assert (code.co_filename, code.co_name, code.co_firstlineno) == ("orvelkit\\auspex", name, line)
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS | flags
    assert repr(function) == f"<orvelkit function {qualname} at {id(function):#x}>"


@pytest.mark.parametrize("attribute, value, message", [
    ("__name__", 1, "__name__ must be set to a string object"),
    ("func_name", None, "__name__ must be set to a string object"),
    ("__qualname__", b"x", "__qualname__ must be set to a string object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("func_dict", None, "setting function's dictionary to a non-dict"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (1,), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", (), "__annotations__ must be set to a dict object"),
])
def test_write_of_the_wrong_type_is_refused(attribute, value, message, restore):
    before = getattr(ts_forecast, attribute)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a refused write warns about nothing
        with pytest.raises(TypeError) as caught:
            setattr(ts_forecast, attribute, value)
    assert str(caught.value) == message
    assert getattr(ts_forecast, attribute) == before


def test_deletes_and_read_only_attributes():
    for attribute, message in [("__name__", "__name__ must be set to a string object"),
                               ("__qualname__", "__qualname__ must be set to a string object"),
                               ("__dict__", "function's dictionary may not be deleted")]:
        with pytest.raises(TypeError, match=f"^{message}$"):
            delattr(ts_forecast, attribute)
    for attribute in ["__globals__", "func_globals", "__closure__", "func_closure", "__code__",
                      "func_code", "_is_coroutine"]:
        with pytest.raises(AttributeError):
            setattr(ts_forecast, attribute, None)


def test_writable_attributes(restore):
    ts_forecast.__name__, ts_forecast.__qualname__ = "renamed", "Somewhere.renamed"
    assert ts_forecast.func_name == "renamed" and "Somewhere.renamed" in repr(ts_forecast)
    ts_forecast.__doc__, ts_forecast.__module__ = 42, None
    assert (ts_forecast.func_doc, ts_forecast.__module__) == (42, None)
    del ts_forecast.__doc__
    assert ts_forecast.__doc__ is None
    ts_forecast.note = "kept"
    assert ts_forecast.__dict__ == {"note": "kept"}
    replacement = {"other": 1}
    ts_forecast.__dict__ = replacement
    assert ts_forecast.__dict__ is replacement and not hasattr(ts_forecast, "note")
    ts_forecast.__annotations__ = replacement
    assert ts_forecast.__annotations__ is replacement
    ts_forecast.__annotations__ = None  # empties: a new empty dict, kept from then on
    assert ts_forecast.__annotations__ == {} and ts_forecast.__annotations__ is not replacement
    assert ts_forecast.__annotations__ is ts_forecast.__annotations__


@pytest.mark.parametrize("attribute, value", [
    ("__defaults__", (1, 2)), ("func_defaults", (5,)), ("__kwdefaults__", {"period": 1})])
def test_defaults_writes_warn_and_leave_calls_unchanged(attribute, value, restore):
    with pytest.warns(RuntimeWarning, match="defaults") as caught:
        setattr(ts_forecast, attribute, value)
    assert len(caught) == 1 and caught[0].filename == __file__
    assert getattr(ts_forecast, attribute) == value
    table = pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-02"], "values": [1, 2]})
    with pytest.raises(TypeError, match=r"takes exactly 2 positional arguments \(1 given\)"):
        ts_forecast(table)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            setattr(ts_forecast, attribute, None)
    assert getattr(ts_forecast, attribute) == value  # a write that failed changed nothing


def test_coroutine_marker_and_coroutine_function_tests():
    assert ARUN._is_coroutine is asyncio.coroutines._is_coroutine
    assert [f._is_coroutine for f in (ts_forecast, conv_date, RUN)] == [False] * 3
    assert asyncio.iscoroutinefunction(Auspex._arun) and asyncio.iscoroutinefunction(Auspex()._arun)
    assert inspect.iscoroutinefunction(Auspex._arun)
    assert not asyncio.iscoroutinefunction(Auspex._run)


def test_signatures():
    assert str(inspect.signature(ts_forecast)) == (
        "(df: 'pd.DataFrame', period: 'int') -> 'pd.DataFrame'")
    assert str(inspect.signature(conv_date)) == "(dt)"
    assert str(inspect.signature(Auspex._run)) == "(self, input: 'str') -> 'Dict'"
    assert str(inspect.signature(Auspex()._run)) == "(input: 'str') -> 'Dict'"
    assert str(inspect.signature(Auspex()._arun)) == "(data: 'str') -> 'str'"


def test_descriptor_binding():
    assert Auspex._run is RUN and RUN.__get__(None, Auspex) is RUN
    tool = Auspex()
    bound = tool._run
    assert type(bound) is type(tool.__init__)  # the interpreter's own method type
    assert bound.__func__ is RUN and bound.__self__ is tool


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("function", FUNCTIONS, ids=IDS)
def test_pickled_by_name(function, protocol):
    assert function.__reduce__() == function.__qualname__
    data = pickle.dumps(function, protocol)
    assert b"orvelkit.auspex" in data and b"<orvelkit" not in data
    assert pickle.loads(data) is function
    assert copy.copy(function) is function and copy.deepcopy([function])[0] is function


def test_weak_references_and_the_shared_type():
    assert weakref.ref(ts_forecast)() is ts_forecast
    function_type = sys.modules["_orvelkit_frame_types"].function_v2
    assert all(type(f) is function_type for f in FUNCTIONS)
    assert inspect.isroutine(ts_forecast) and not inspect.isfunction(ts_forecast)
    with pytest.raises(TypeError):
        function_type()

    class Derived(function_type):  # subclassable, but not instantiable from Python
        pass

    with pytest.raises(TypeError):
        Derived()

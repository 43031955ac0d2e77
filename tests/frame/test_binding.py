"""Argument binding and the exact-type checks: every message form, verbatim, and
the traceback entry each failure carries or does not carry."""

import functools
import traceback

import pandas as pd
import pytest

from orvelkit.auspex import Auspex, conv_date, ts_forecast

FILE = "orvelkit\\auspex"
TOOL = Auspex()
DF = pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-02"], "values": [1, 2]})
DEFINED_AT = {"ts_forecast": ("orvelkit.auspex.ts_forecast", 73),
              "conv_date": ("orvelkit.auspex.conv_date", 67),
              "_run": ("orvelkit.auspex.Auspex._run", 32),
              "_arun": ("orvelkit.auspex.Auspex._arun", 63)}


def own_entries(error):
    return [(f.name, f.lineno) for f in traceback.extract_tb(error.__traceback__)
            if f.filename == FILE]


def table():
    return DF.copy()


class Key(str):
    pass


BINDING_FAILURES = [
    (lambda: ts_forecast(DF), "ts_forecast() takes exactly 2 positional arguments (1 given)"),
    (lambda: ts_forecast(DF, 2, 3), "ts_forecast() takes exactly 2 positional arguments (3 given)"),
    (lambda: ts_forecast(df=DF), "ts_forecast() takes exactly 2 positional arguments (1 given)"),
    (lambda: ts_forecast(period=2), "ts_forecast() takes exactly 2 positional arguments (0 given)"),
    (lambda: ts_forecast(DF, **{}), "ts_forecast() takes exactly 2 positional arguments (1 given)"),
    # A missing required parameter is found before any bad keyword.
    (lambda: ts_forecast(DF, zzz=1),
     "ts_forecast() takes exactly 2 positional arguments (1 given)"),
    (lambda: ts_forecast(**{1: 2}), "ts_forecast() takes exactly 2 positional arguments (0 given)"),
    (lambda: conv_date(), "conv_date() takes exactly 1 positional argument (0 given)"),
    (lambda: conv_date("a", "b"), "conv_date() takes exactly 1 positional argument (2 given)"),
    (lambda: Auspex._run(), "_run() takes exactly 2 positional arguments (0 given)"),
    (lambda: TOOL._run(), "_run() takes exactly 2 positional arguments (1 given)"),
    (lambda: TOOL._run("{}", "{}"), "_run() takes exactly 2 positional arguments (3 given)"),
    (lambda: TOOL._arun(), "_arun() takes exactly 2 positional arguments (1 given)"),
    (lambda: ts_forecast(DF, 2, period=3),
     "ts_forecast() got multiple values for keyword argument 'period'"),
    (lambda: ts_forecast(DF, 2, df=DF),
     "ts_forecast() got multiple values for keyword argument 'df'"),
    (lambda: TOOL._run("{}", self=TOOL), "_run() got multiple values for keyword argument 'self'"),
    (lambda: ts_forecast(DF, 2, zzz=1), "ts_forecast() got an unexpected keyword argument 'zzz'"),
    (lambda: ts_forecast(DF, period=2, zzz=1),
     "ts_forecast() got an unexpected keyword argument 'zzz'"),
    (lambda: conv_date("a", when=1), "conv_date() got an unexpected keyword argument 'when'"),
    (lambda: ts_forecast(DF, 2, **{"".join(["peri", "od2"]): 1}),
     "ts_forecast() got an unexpected keyword argument 'period2'"),
    # Non-str keys reach the frame on direct calls, calls through the type and partials.
    (lambda: ts_forecast(DF, 2, **{1: 2}), "ts_forecast() keywords must be strings"),
    (lambda: type(ts_forecast).__call__(ts_forecast, DF, 2, **{1: 2}),
     "ts_forecast() keywords must be strings"),
    (lambda: functools.partial(ts_forecast, DF, 2)(**{1: 2}),
     "ts_forecast() keywords must be strings"),
    (lambda: Auspex._run(TOOL, "{}", **{1: 2}), "_run() keywords must be strings"),
    # The first offending key in the dict's order decides.
    (lambda: ts_forecast(DF, 2, **{"zzz": 1, 1: 2}),
     "ts_forecast() got an unexpected keyword argument 'zzz'"),
    (lambda: ts_forecast(DF, 2, **{1: 2, "zzz": 1}), "ts_forecast() keywords must be strings"),
    (lambda: ts_forecast(DF, 2, **{"period": 1, "zzz": 1}),
     "ts_forecast() got multiple values for keyword argument 'period'"),
    (lambda: ts_forecast(DF, 2, **{"zzz": 1, "period": 1}),
     "ts_forecast() got an unexpected keyword argument 'zzz'"),
]


@pytest.mark.parametrize("call, message", BINDING_FAILURES, ids=[m for _, m in BINDING_FAILURES])
def test_binding_failure(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    # One entry from the module: the function's own, at its definition.
    assert own_entries(caught.value) == [DEFINED_AT[message.split("(")[0]]]


def test_bound_method_with_non_str_key_is_refused_by_the_interpreter():
    with pytest.raises(TypeError) as caught:
        TOOL._run("{}", **{1: 2})
    assert str(caught.value) == "keywords must be strings"  # the method object's check
    assert own_entries(caught.value) == []


@pytest.mark.parametrize("keywords", [
    {"df": None, "period": 2}, {"period": 2, "df": None},
    {"".join(["d", "f"]): None, "".join(["peri", "od"]): 2},
    {Key("df"): None, Key("period"): 2},
], ids=["in order", "reversed", "equal but not identical", "str subclass keys"])
def test_keywords_bind_by_name(keywords):
    keywords = {key: table() if value is None else value for key, value in keywords.items()}
    pd.testing.assert_frame_equal(ts_forecast(**keywords), ts_forecast(table(), 2))
    assert conv_date(**{"".join(["d", "t"]): "Jan 5 2024"}) == "2024-01-05"


def test_key_whose_comparison_raises_ends_the_binding():
    class Hostile(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            raise LookupError("compared")

    with pytest.raises(LookupError, match="compared") as caught:
        ts_forecast(table(), **{Hostile("period"): 2})
    assert own_entries(caught.value) == [DEFINED_AT["ts_forecast"]]


def test_caller_keyword_dict_is_left_alone_and_messages_use_the_defined_name():
    keywords = {"period": 2}
    ts_forecast(table(), **keywords)
    with pytest.raises(TypeError):
        ts_forecast(table(), 2, **keywords)
    assert keywords == {"period": 2}
    ts_forecast.__name__ = "renamed"
    try:
        with pytest.raises(TypeError, match=r"^ts_forecast\(\) takes exactly 2"):
            ts_forecast()
    finally:
        ts_forecast.__name__ = "ts_forecast"


class MyInt(int):
    pass


class MyStr(str):
    pass


TYPE_REFUSALS = [
    (lambda: ts_forecast(DF, True), "period", "int", "bool"),
    (lambda: ts_forecast(DF, 2.0), "period", "int", "float"),
    (lambda: ts_forecast(DF, None), "period", "int", "NoneType"),
    (lambda: ts_forecast(DF, "2"), "period", "int", "str"),
    (lambda: ts_forecast(DF, MyInt(2)), "period", "int", "MyInt"),
    (lambda: ts_forecast(df=DF, period=False), "period", "int", "bool"),
    (lambda: TOOL._run(b"{}"), "input", "str", "bytes"),
    (lambda: TOOL._run(None), "input", "str", "NoneType"),
    (lambda: TOOL._run(MyStr("{}")), "input", "str", "MyStr"),
    (lambda: Auspex._run(TOOL, input=1.5), "input", "str", "float"),
    (lambda: TOOL._arun(5), "data", "str", "int"),
    (lambda: TOOL._arun(data=b"x"), "data", "str", "bytes"),
]


@pytest.mark.parametrize("call, parameter, expected, got", TYPE_REFUSALS,
                         ids=[f"{c[1]}-{c[3]}" for c in TYPE_REFUSALS])
def test_exact_type_refusal(call, parameter, expected, got, capsys):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == (
        f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})")
    assert own_entries(caught.value) == []  # no entry for the function
    assert capsys.readouterr().err == ""  # _run refuses before it could print anything


def test_count_is_checked_before_types_and_a_refusal_changes_nothing():
    with pytest.raises(TypeError, match=r"\(3 given\)$"):
        ts_forecast(DF, True, 3)
    frame = table()
    with pytest.raises(TypeError):
        ts_forecast(frame, 2.0)
    pd.testing.assert_frame_equal(frame, table())
    # df is annotated, but not with a checked type: any object gets into the body.
    with pytest.raises(TypeError, match="string indices"):
        ts_forecast("not a frame", 2)

"""Auspex._run: request forms that succeed, every kind of error result with the
traceback printed before it, and what passes through unconverted."""

import json
import sys
import traceback
from decimal import Decimal

import pandas as pd
import pytest
from dateutil import parser

import orvelkit.auspex as auspex
from orvelkit.auspex import Auspex

FILE = "orvelkit\\auspex"
RUN, FORECAST, CONV_DATE = ("orvelkit.auspex.Auspex._run", "orvelkit.auspex.ts_forecast",
                            "orvelkit.auspex.conv_date")
DAYS = ["2024-01-01", "2024-01-02", "2024-01-03"]
TOOL = Auspex()
FIRST_EXAMPLE = pd.DataFrame({"dates": ["2024-01-04", "2024-01-05"],
                              "Forecasted_values": [4.0, 5.0]})


def request(dates=DAYS, values=(1, 2, 3), period=2, **extra):
    return json.dumps({"data_input": {"date": list(dates), "values": list(values)},
                       "period": period, **extra})


def escaped(text):
    """Single quotes written as the JSON escape \\u0027: the only way they survive _run's
    quote replacement."""
    return text.replace("'", "\\u0027")


def error_text(call, *args):
    try:
        call(*args)
    except Exception as error:
        return str(error)
    raise AssertionError("no error")


@pytest.fixture
def handled(monkeypatch):
    """Module entries of each exception that _run prints, walked before it is printed."""
    seen, real_print_exc = [], traceback.print_exc

    def print_exc():
        seen.append([(f.name, f.lineno) for f in traceback.extract_tb(sys.exc_info()[2])
                     if f.filename == FILE])
        real_print_exc()

    monkeypatch.setattr(traceback, "print_exc", print_exc)
    return seen


@pytest.fixture
def forecast_inputs(monkeypatch):
    """Copies of the tables _run hands to ts_forecast."""
    seen, real = [], auspex.ts_forecast

    def recording(df, period):
        seen.append((df.copy(), period))
        return real(df, period)

    monkeypatch.setattr(auspex, "ts_forecast", recording)
    return seen


def test_single_quoted_request_with_mixed_date_forms(forecast_inputs, capsys):
    text = request(dates=["2024-01-01", "01/02/2024", "Jan 3 2024"], note="x").replace('"', "'")
    result = TOOL._run(text)
    pd.testing.assert_frame_equal(result, FIRST_EXAMPLE)
    (table, period), = forecast_inputs
    assert table.to_dict("list") == {"timestamp": DAYS, "values": [1, 2, 3]}
    assert list(table.index) == [0, 1, 2] and period == 2
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("values, expected", [
    (["Decimal('1.5')", 2, 2.5, "12.5", "Decimal('10')", None],
     [Decimal("1.5"), 2, 2.5, "12.5", Decimal("10"), None]),
    (["x Decimal('1')", "Decimal('١٢')", "Decimal('.5')", ["n"], True, False],
     ["x Decimal('1')", Decimal("12"), Decimal("0.5"), ["n"], True, False]),
], ids=["decimal forms and pass-through", "match at the start only"])
def test_values_are_cleaned_before_the_forecast(values, expected, forecast_inputs):
    dates = [f"2024-01-0{i + 1}" for i in range(len(values))]
    TOOL._run(escaped(request(dates=dates, values=values)))
    got = list(forecast_inputs[0][0]["values"])
    assert got == expected and [type(v) for v in got] == [type(v) for v in expected]


def test_values_given_as_one_text_are_taken_character_by_character(forecast_inputs):
    TOOL._run(request(values=[]).replace("[]", '"123"'))
    assert list(forecast_inputs[0][0]["values"]) == ["1", "2", "3"]


def test_framework_entries_return_the_same_results():
    pd.testing.assert_frame_equal(TOOL.run(request()), FIRST_EXAMPLE)
    pd.testing.assert_frame_equal(TOOL.invoke(request()), FIRST_EXAMPLE)
    assert TOOL.invoke("[]") == TOOL.run("[]") == TOOL._run("[]")


ERROR_CASES = [
    ("not JSON", "not json", error_text(json.loads, "not json"), [(RUN, 39)]),
    ("empty text", "", error_text(json.loads, ""), [(RUN, 39)]),
    ("JSON array", "[1, 2]", "list indices must be integers or slices, not str", [(RUN, 40)]),
    ("no data_input", '{"period": 2}', "'data_input'", [(RUN, 40)]),
    ("data_input an array", '{"data_input": [1]}',
     "list indices must be integers or slices, not str", [(RUN, 41)]),
    ("no date", '{"data_input": {"values": [1]}, "period": 2}', "'date'", [(RUN, 41)]),
    ("no values", '{"data_input": {"date": []}, "period": 2}', "'values'", [(RUN, 42)]),
    ("values null", request(values=[]).replace("[]", "null"), "'NoneType' object is not iterable",
     [(RUN, 44)]),
    ("values a number", request(values=[]).replace("[]", "5"), "'int' object is not iterable",
     [(RUN, 44)]),
    ("values true", request(values=[]).replace("[]", "true"), "'bool' object is not iterable",
     [(RUN, 44)]),
    ("unreadable date", request(dates=["2024-01-01", "someday", "2024-01-03"]),
     error_text(parser.parse, "someday"), [(RUN, 51), (CONV_DATE, 68)]),
    ("date not a text", request(dates=["2024-01-01", 20240102, "2024-01-03"]),
     error_text(parser.parse, 20240102), [(RUN, 51), (CONV_DATE, 68)]),
    ("different lengths", request(values=[1, 2]), "All arrays must be of the same length",
     [(RUN, 52)]),
    ("no period", json.dumps({"data_input": {"date": DAYS, "values": [1, 2, 3]}}), "'period'",
     [(RUN, 53)]),
    ("period a text", request(period="2"),
     "Argument 'period' has incorrect type (expected int, got str)", [(RUN, 54)]),
    ("period a fraction", request(period=2.5),
     "Argument 'period' has incorrect type (expected int, got float)", [(RUN, 54)]),
    ("period true", request(period=True),
     "Argument 'period' has incorrect type (expected int, got bool)", [(RUN, 54)]),
    ("period zero", request(period=0), "Expected 2D array", [(RUN, 54), (FORECAST, 107)]),
    ("one observation", request(dates=DAYS[:1], values=[1]), "division by zero",
     [(RUN, 54), (FORECAST, 102)]),
    ("values not numbers", request(values=["a", "b", "c"]), "could not convert string to float",
     [(RUN, 54), (FORECAST, 98)]),
    # Every single quote becomes a double quote, an apostrophe in a text too.
    ("apostrophe in a date", request(dates=["Jan 1 '24"] + DAYS[1:]),
     error_text(json.loads, request(dates=['Jan 1 "24'] + DAYS[1:]).replace('\\"', '"')),
     [(RUN, 39)]),
    ("decimal form in plain quotes", request(values=["Decimal('1.5')", 2, 3]),
     error_text(json.loads, request(values=['Decimal("1.5")', 2, 3]).replace('\\"', '"')),
     [(RUN, 39)]),
    ("decimal form with two points", escaped(request(values=["Decimal('1..5')", 2, 3])),
     error_text(Decimal, "1..5"), [(RUN, 46)]),
]


def assert_error_result(result, expected, handled_entries, entries, printed):
    assert type(result) is dict and list(result) == ["error"]
    assert result["error"].startswith(expected)
    assert handled_entries == [entries]
    lines = printed.splitlines()
    assert lines[0] == "Traceback (most recent call last):"
    assert result["error"].splitlines()[-1] in lines[-1]
    for name, line in entries:
        assert f'  File "{FILE}", line {line}, in {name}' in lines


@pytest.mark.parametrize("case, text, expected, entries", ERROR_CASES,
                         ids=[c[0] for c in ERROR_CASES])
def test_error_result_after_the_printed_traceback(handled, capsys, case, text, expected, entries):
    assert_error_result(TOOL._run(text), expected, handled, entries, capsys.readouterr().err)


@pytest.mark.parametrize("value", ["Decimal('1.5')x", "Decimal('1.5') ", "Decimal('1.5')')",
                                   "Decimal('1')2", "Decimal('7.25')+1"])
def test_decimal_form_followed_by_more_is_refused(handled, capsys, forecast_inputs, value):
    result = TOOL._run(escaped(request(values=[value, 2, 3])))
    assert "not a valid decimal" in result["error"] and value in result["error"]
    assert_error_result(result, "", handled, [(RUN, 46)], capsys.readouterr().err)
    assert forecast_inputs == []  # refused, never converted from its leading part


@pytest.mark.parametrize("replacement, expected, entries", [
    (lambda df, period: pd.DataFrame(), {"error": "Forecasting produced an empty DataFrame."}, []),
    (lambda df, period: type("R", (), {"empty": property(lambda self: 1 / 0)})(),
     {"error": "division by zero"}, [[(RUN, 55)]]),
], ids=["empty table", "unreadable result"])
def test_replaced_forecast_global_is_used(monkeypatch, handled, replacement, expected, entries):
    monkeypatch.setattr(auspex, "ts_forecast", replacement)
    assert TOOL._run(request()) == expected
    assert handled == entries
    table = pd.DataFrame({"x": [1]})
    monkeypatch.setattr(auspex, "ts_forecast", lambda df, period: table)
    assert TOOL._run(request()) is table


def test_error_whose_text_cannot_be_made_escapes_from_the_handler(monkeypatch, capsys):
    class Unprintable(Exception):
        def __str__(self):
            raise LookupError("no text")

    def failing(df, period):
        raise Unprintable()

    monkeypatch.setattr(auspex, "ts_forecast", failing)
    with pytest.raises(LookupError) as caught:
        TOOL._run(request())
    assert [(f.name, f.lineno) for f in traceback.extract_tb(caught.value.__traceback__)
            if f.filename == FILE] == [(RUN, 61)]
    assert type(caught.value.__context__) is Unprintable
    assert "Traceback" in capsys.readouterr().err


@pytest.mark.parametrize("error_type", [KeyboardInterrupt, SystemExit])
def test_exceptions_outside_exception_pass_through(monkeypatch, capsys, error_type):
    def interrupted(dt):
        raise error_type()

    monkeypatch.setattr(auspex, "conv_date", interrupted)
    with pytest.raises(error_type) as caught:
        TOOL._run(request())
    assert [(f.name, f.lineno) for f in traceback.extract_tb(caught.value.__traceback__)
            if f.filename == FILE] == [(RUN, 51)]
    assert capsys.readouterr().err == ""


def test_callers_handled_exception_is_restored(capsys):
    try:
        raise KeyError("outer")
    except KeyError:
        assert TOOL._run("{}") == {"error": "'data_input'"}
        assert sys.exc_info()[1].args == ("outer",)
    assert "During handling of the above exception" in capsys.readouterr().err


def test_cached_builtins_ignore_module_globals_of_their_names(monkeypatch):
    monkeypatch.setattr(auspex, "sum", lambda items: 0, raising=False)
    monkeypatch.setattr(auspex, "range", lambda *args: [], raising=False)
    monkeypatch.setattr(auspex, "NotImplementedError", KeyError, raising=False)
    pd.testing.assert_frame_equal(TOOL._run(request()), FIRST_EXAMPLE)
    with pytest.raises(NotImplementedError):
        TOOL._arun("x").send(None)

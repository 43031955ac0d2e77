"""Argument binding and the exact-type checks: every message form, verbatim, and
the traceback entry each failure carries or does not carry."""

import ctypes
import functools
import json
import re

import pandas as pd
import pytest

from orvelkit.auspex import Auspex, conv_date, ts_forecast

from tests.entries import module_entries

TOOL = Auspex()
DF = pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-02"], "values": [1, 2]})
DEFINED_AT = {"ts_forecast": ("orvelkit.auspex.ts_forecast", 73),
              "conv_date": ("orvelkit.auspex.conv_date", 67),
              "_run": ("orvelkit.auspex.Auspex._run", 32),
              "_arun": ("orvelkit.auspex.Auspex._arun", 63)}


def own_entries(error):
    return module_entries(error, "auspex")


def table():
    return DF.copy()


class Key(str):
    pass


class MyInt(int):
    pass


class MyStr(str):
    pass


def interpreter_message(keywords):
    """What the interpreter itself says when it unpacks these keywords for a call."""
    def probe(*args, **kwargs):
        pass
    try:
        probe(**keywords)
    except TypeError as error:
        return str(error)
    raise AssertionError("the interpreter accepted the keywords")


# Each case runs twice: as an ordinary call (vectorcall, through a bound method where the case
# names the instance) and through the type's tp_call with a tuple and a dict. Both must refuse
# alike; only keys that are not str are refused by the interpreter first on the ordinary path.
F, C, R, A = ts_forecast, conv_date, Auspex._run, Auspex._arun
REFUSALS = [
    (F, None, (DF,), {}, "ts_forecast() takes exactly 2 positional arguments (1 given)"),
    (F, None, (DF, 2, 3), {}, "ts_forecast() takes exactly 2 positional arguments (3 given)"),
    (F, None, (), {"df": DF}, "ts_forecast() takes exactly 2 positional arguments (1 given)"),
    (F, None, (), {"period": 2}, "ts_forecast() takes exactly 2 positional arguments (0 given)"),
    # A missing required parameter is found before any bad keyword.
    (F, None, (DF,), {"zzz": 1}, "ts_forecast() takes exactly 2 positional arguments (1 given)"),
    (F, None, (), {1: 2}, "ts_forecast() takes exactly 2 positional arguments (0 given)"),
    (C, None, (), {}, "conv_date() takes exactly 1 positional argument (0 given)"),
    (C, None, ("a", "b"), {}, "conv_date() takes exactly 1 positional argument (2 given)"),
    (R, None, (), {}, "_run() takes exactly 2 positional arguments (0 given)"),
    (R, TOOL, (), {}, "_run() takes exactly 2 positional arguments (1 given)"),
    (R, TOOL, ("{}", "{}"), {}, "_run() takes exactly 2 positional arguments (3 given)"),
    (A, TOOL, (), {}, "_arun() takes exactly 2 positional arguments (1 given)"),
    (F, None, (DF, 2), {"period": 3},
     "ts_forecast() got multiple values for keyword argument 'period'"),
    (F, None, (DF, 2), {"df": DF}, "ts_forecast() got multiple values for keyword argument 'df'"),
    (R, TOOL, ("{}",), {"self": TOOL}, "_run() got multiple values for keyword argument 'self'"),
    (F, None, (DF, 2), {"zzz": 1}, "ts_forecast() got an unexpected keyword argument 'zzz'"),
    (F, None, (DF,), {"period": 2, "zzz": 1},
     "ts_forecast() got an unexpected keyword argument 'zzz'"),
    (C, None, ("a",), {"when": 1}, "conv_date() got an unexpected keyword argument 'when'"),
    (F, None, (DF, 2), {"".join(["peri", "od2"]): 1},
     "ts_forecast() got an unexpected keyword argument 'period2'"),
    (F, None, (DF, 2), {1: 2}, "ts_forecast() keywords must be strings"),
    (R, None, (TOOL, "{}"), {1: 2}, "_run() keywords must be strings"),
    (R, TOOL, ("{}",), {1: 2}, "_run() keywords must be strings"),
    # The first offending key in the keywords' order decides.
    (F, None, (DF, 2), {"zzz": 1, 1: 2}, "ts_forecast() got an unexpected keyword argument 'zzz'"),
    (F, None, (DF, 2), {1: 2, "zzz": 1}, "ts_forecast() keywords must be strings"),
    (F, None, (DF, 2), {"period": 1, "zzz": 1},
     "ts_forecast() got multiple values for keyword argument 'period'"),
    (F, None, (DF, 2), {"zzz": 1, "period": 1},
     "ts_forecast() got an unexpected keyword argument 'zzz'"),
    (F, None, (DF, 2), {Key("zzz"): 1}, "ts_forecast() got an unexpected keyword argument 'zzz'"),
    # Exact-type refusals: no entry for the function, and the count is checked first.
    (F, None, (DF, True), {}, "Argument 'period' has incorrect type (expected int, got bool)"),
    (F, None, (DF, 2.0), {}, "Argument 'period' has incorrect type (expected int, got float)"),
    (F, None, (DF, None), {},
     "Argument 'period' has incorrect type (expected int, got NoneType)"),
    (F, None, (DF, "2"), {}, "Argument 'period' has incorrect type (expected int, got str)"),
    (F, None, (DF, MyInt(2)), {}, "Argument 'period' has incorrect type (expected int, got MyInt)"),
    (F, None, (), {"df": DF, "period": False},
     "Argument 'period' has incorrect type (expected int, got bool)"),
    (F, None, (DF, True, 3), {}, "ts_forecast() takes exactly 2 positional arguments (3 given)"),
    (R, TOOL, (b"{}",), {}, "Argument 'input' has incorrect type (expected str, got bytes)"),
    (R, TOOL, (None,), {}, "Argument 'input' has incorrect type (expected str, got NoneType)"),
    (R, TOOL, (MyStr("{}"),), {}, "Argument 'input' has incorrect type (expected str, got MyStr)"),
    (R, None, (TOOL,), {"input": 1.5},
     "Argument 'input' has incorrect type (expected str, got float)"),
    (A, TOOL, (5,), {}, "Argument 'data' has incorrect type (expected str, got int)"),
    (A, TOOL, (), {"data": b"x"}, "Argument 'data' has incorrect type (expected str, got bytes)"),
]

PATHS = ["call", "tp_call"]


def through(path, function, instance, args, kwargs):
    """Calls `function` by the named path; `instance` makes it a method call on that object."""
    if path == "call":
        target = function if instance is None else getattr(instance, function.__name__)
        return target(*args, **kwargs)
    bound = () if instance is None else (instance,)
    return type(function).__call__(function, *bound, *args, **kwargs)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("function, instance, args, kwargs, message", REFUSALS,
                         ids=[f"{case[0].__name__}-{case[4]}" for case in REFUSALS])
def test_refused_call(path, function, instance, args, kwargs, message, capsys):
    with pytest.raises(TypeError) as caught:
        through(path, function, instance, args, kwargs)
    if path == "call" and any(not isinstance(key, str) for key in kwargs):
        # The one difference: the interpreter unpacks the keywords before the function runs.
        assert str(caught.value) == interpreter_message(kwargs)
        assert own_entries(caught.value) == []
        return
    assert str(caught.value) == message
    if message.startswith("Argument"):
        assert own_entries(caught.value) == []
    else:  # one entry from the module: the function's own, at its definition
        assert own_entries(caught.value) == [DEFINED_AT[message.split("(")[0]]]
    assert capsys.readouterr().err == ""  # _run refuses before it could print anything


def test_partial_unpacks_keywords_itself():
    with pytest.raises(TypeError) as caught:
        functools.partial(ts_forecast, DF, 2)(**{1: 2})
    assert str(caught.value) == interpreter_message({1: 2})


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("keywords", [
    {"df": None, "period": 2}, {"period": 2, "df": None},
    {"".join(["d", "f"]): None, "".join(["peri", "od"]): 2},
    {Key("df"): None, Key("period"): 2},
    {**json.loads('{"df": null, "period": 2}')},
], ids=["in order", "reversed", "equal but not identical", "str subclass keys", "from json"])
def test_keywords_bind_by_name(path, keywords):
    keywords = {key: table() if value is None else value for key, value in keywords.items()}
    pd.testing.assert_frame_equal(through(path, ts_forecast, None, (), keywords),
                                  ts_forecast(table(), 2))
    assert through(path, conv_date, None, (), {"".join(["d", "t"]): "Jan 5 2024"}) == "2024-01-05"
    assert through(path, Auspex._run, TOOL, (), {"".join(["in", "put"]): "{}"}) is not None


@pytest.mark.parametrize("path", PATHS)
def test_key_whose_comparison_raises_ends_the_binding(path):
    class Hostile(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            raise LookupError("compared")

    with pytest.raises(LookupError, match="compared") as caught:
        through(path, ts_forecast, None, (table(),), {Hostile("period"): 2})
    assert own_entries(caught.value) == [DEFINED_AT["ts_forecast"]]


@pytest.mark.parametrize("path", PATHS)
def test_caller_keyword_dict_is_left_alone_and_messages_use_the_defined_name(path):
    keywords = {"period": 2}
    through(path, ts_forecast, None, (table(),), keywords)
    with pytest.raises(TypeError):
        through(path, ts_forecast, None, (table(), 2), keywords)
    assert keywords == {"period": 2}
    ts_forecast.__name__ = "renamed"
    try:
        with pytest.raises(TypeError, match=r"^ts_forecast\(\) takes exactly 2"):
            through(path, ts_forecast, None, (), {})
    finally:
        ts_forecast.__name__ = "ts_forecast"


def formatted(template, *pieces):
    """The interpreter's own formatting of byte-string arguments, for the messages built here by
    hand."""
    fmt = ctypes.pythonapi.PyUnicode_FromFormat
    fmt.restype = ctypes.py_object
    return fmt(template, *[ctypes.c_char_p(p) for p in pieces])


@pytest.mark.parametrize("type_name", [
    "Plain", "x" * 199, "x" * 200, "x" * 260, "é" * 150, "a" + "é" * 150, "日本" * 80,
], ids=["plain", "199", "200", "260", "two-byte", "cut through a character", "three-byte"])
def test_wrong_type_message_matches_the_formatted_one(type_name):
    value = type(type_name, (), {})()
    with pytest.raises(TypeError) as caught:
        ts_forecast(DF, value)
    expected = formatted(b"Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         b"period", b"int", type_name.encode())
    assert str(caught.value) == expected


def test_a_refusal_changes_nothing():
    frame = table()
    with pytest.raises(TypeError):
        ts_forecast(frame, 2.0)
    pd.testing.assert_frame_equal(frame, table())
    # df is annotated, but not with a checked type: any object gets into the body.
    with pytest.raises(TypeError, match="string indices"):
        ts_forecast("not a frame", 2)


class OwnHash(str):
    """A str key that a lookup by the plain name cannot find: its hash is its own."""

    def __hash__(self):
        return 12345


class OtherHash(OwnHash):
    def __hash__(self):
        return 54321


def python_connector(db_user=None, db_password=None, db_host=None, db_name=None):
    return {"db_user": db_user, "db_password": db_password, "db_host": db_host,
            "db_name": db_name}


def by_tp_call(cls, **kwargs):
    """cls(**kwargs), with __init__ entered through the type's tp_call and the caller's dict."""
    instance = cls.__new__(cls)
    type(cls.__init__).__call__(cls.__init__, instance, **kwargs)
    return instance


CALL_FORMS = {
    "call": lambda cls: cls,
    "tp_call": lambda cls: functools.partial(by_tp_call, cls),
    "partial": lambda cls: functools.partial(cls, db_user="u"),
}


@pytest.mark.parametrize("form", CALL_FORMS)
@pytest.mark.parametrize("keywords", [
    {OwnHash("db_name"): "x"},
    {OwnHash("db_name"): "x", "db_host": "h"},
    {"db_host": "h", OwnHash("db_name"): "x", OtherHash("db_password"): "p"},
], ids=["alone", "before a plain key", "among plain keys"])
def test_str_key_with_its_own_hash_binds_an_optional_parameter(form, keywords):
    from orvelkit.base import MySQLDatabaseConnector

    made = CALL_FORMS[form](MySQLDatabaseConnector)(**keywords)
    python = functools.partial(python_connector, db_user="u") if form == "partial" \
        else python_connector
    expected = python(**keywords)
    assert {name: getattr(made, name) for name in expected} == expected


@pytest.mark.parametrize("keywords, message", [
    ({"db_name": "a", OwnHash("db_name"): "b"},
     "__init__() got multiple values for keyword argument 'db_name'"),
    ({OwnHash("db_name"): "a", OtherHash("db_name"): "b"},
     "__init__() got multiple values for keyword argument 'db_name'"),
    ({OwnHash("db_nam"): "a"}, "__init__() got an unexpected keyword argument 'db_nam'"),
], ids=["plain and own-hash key", "two own-hash keys", "names nothing"])
def test_str_key_with_its_own_hash_is_refused_only_where_python_refuses_it(keywords, message):
    from orvelkit.base import MySQLDatabaseConnector

    with pytest.raises(TypeError) as python_error:
        python_connector(**keywords)
    assert "keywords must be strings" not in str(python_error.value)
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        MySQLDatabaseConnector(**keywords)

"""Traceback entries that module functions add: name, file and line of the
failing statement, the frames under them, and the reuse of their code objects."""

import json
import os
import subprocess
import sys
import textwrap
import traceback
import types

import pandas as pd
import pytest

import orvelkit.auspex as auspex
from orvelkit.auspex import Auspex, conv_date, ts_forecast

from tests.entries import module_entries

FILE = "orvelkit\\auspex"
DAYS = ["2024-01-01", "2024-01-02", "2024-01-03"]


def below_caller(error):
    """(name, file, line) of every entry under this test's own frame."""
    entries = module_entries(error, fields=("name", "filename", "lineno"))
    assert entries[0][1] == __file__
    return entries[1:]


def own_traceback(error):
    (tb,) = [tb for tb in traceback.walk_tb(error.__traceback__)
             if tb[0].f_code.co_filename == FILE]
    return tb[0]


def frame(timestamps, values):
    return pd.DataFrame({"timestamp": timestamps, "values": values})


def test_parser_failure_is_reported_at_the_parse_line():
    with pytest.raises(ValueError) as caught:
        conv_date("no date in here")
    below = below_caller(caught.value)
    assert below[0] == ("orvelkit.auspex.conv_date", FILE, 68)
    assert below[1:] and all("dateutil" in filename for _, filename, _ in below[1:])


@pytest.mark.parametrize("patch, error, line", [
    (lambda m: m.setattr(auspex, "parser", types.SimpleNamespace(parse=lambda dt: object())),
     AttributeError, 69),
    (lambda m: m.delattr(auspex, "parser"), NameError, 68),
], ids=["strftime fails", "global missing"])
def test_failure_raised_by_the_module_itself_ends_with_its_entry(monkeypatch, patch, error, line):
    patch(monkeypatch)
    with pytest.raises(error) as caught:
        conv_date("2024-01-01")
    assert below_caller(caught.value) == [("orvelkit.auspex.conv_date", FILE, line)]
    if error is NameError:
        assert str(caught.value) == "name 'parser' is not defined"


FORECAST_FAILURES = [
    ("no timestamp column", lambda: pd.DataFrame({"values": [1, 2, 3]}), 2, KeyError, 89),
    ("no values column", lambda: pd.DataFrame({"timestamp": DAYS}), 2, KeyError, 91),
    ("unreadable date", lambda: frame(["2024-01-01", "nonsense", "2024-01-03"], [1, 2, 3]), 2,
     ValueError, 89),
    ("dates with a time zone", lambda: frame([d + "T00:00+02:00" for d in DAYS], [1, 2, 3]), 2,
     TypeError, 94),
    ("no rows", lambda: frame([], []), 2, ValueError, 98),
    ("values not numbers", lambda: frame(DAYS, ["a", "b", "c"]), 2, ValueError, 98),
    ("one row", lambda: frame(["2024-01-01"], [1]), 2, ZeroDivisionError, 102),
    ("period zero", lambda: frame(DAYS, [1, 2, 3]), 0, ValueError, 107),
    ("negative period", lambda: frame(DAYS, [1, 2, 3]), -3, ValueError, 107),
]


@pytest.mark.parametrize("case, make, period, error, line", FORECAST_FAILURES,
                         ids=[c[0] for c in FORECAST_FAILURES])
def test_forecast_failure_is_reported_at_the_failing_line(case, make, period, error, line):
    with pytest.raises(error) as caught:
        ts_forecast(make(), period)
    below = below_caller(caught.value)
    assert below[0] == ("orvelkit.auspex.ts_forecast", FILE, line)
    assert [entry for entry in below if entry[1] == FILE] == [below[0]]
    if error is ZeroDivisionError:  # raised by the module itself: nothing below its entry
        assert below == [below[0]] and str(caught.value) == "division by zero"


def test_handler_sees_the_entries_of_the_failing_call(monkeypatch, capsys):
    seen = []
    real_print_exc = traceback.print_exc

    def print_exc():
        seen.append([(f.name, f.lineno) for f in traceback.extract_tb(sys.exc_info()[2])])
        real_print_exc()

    monkeypatch.setattr(traceback, "print_exc", print_exc)
    request = '{"data_input": {"date": ["2024-01-01"], "values": [1]}, "period": 2}'
    assert Auspex()._run(request) == {"error": "division by zero"}
    assert seen == [[("orvelkit.auspex.Auspex._run", 54), ("orvelkit.auspex.ts_forecast", 102)]]
    assert capsys.readouterr().err.splitlines() == [
        "Traceback (most recent call last):",
        '  File "orvelkit\\auspex", line 54, in orvelkit.auspex.Auspex._run',
        '  File "orvelkit\\auspex", line 102, in orvelkit.auspex.ts_forecast',
        "ZeroDivisionError: division by zero"]


def test_entry_frame_and_position_switch():
    with pytest.raises(ValueError) as caught:
        conv_date("")
    entry = own_traceback(caught.value)
    assert entry.f_globals is vars(auspex)
    assert (entry.f_code.co_name, entry.f_code.co_filename, entry.f_code.co_firstlineno) == (
        "orvelkit.auspex.conv_date", FILE, 68)
    assert entry.f_code is not conv_date.__code__
    assert sys.modules["_orvelkit_frame_runtime"].show_native_positions is False


def test_code_objects_are_reused_per_name_and_line():
    def code_of(call):
        with pytest.raises(Exception) as caught:
            call()
        return own_traceback(caught.value).f_code

    parse_line = [code_of(lambda: conv_date("")) for _ in range(3)]
    assert parse_line[0] is parse_line[1] is parse_line[2]
    definition = code_of(lambda: conv_date())
    assert definition is not parse_line[0] and definition.co_firstlineno == 67
    assert code_of(lambda: conv_date()) is definition
    other = code_of(lambda: ts_forecast(frame(["2024-01-01"], [1]), 2))
    assert other.co_name == "orvelkit.auspex.ts_forecast"


# A collection can start while a failure is making its traceback frame; a collector callback that
# makes other calls of ours fail then adds entries to the table meanwhile. Each entry must still
# get its own function and line. Runs in a new process, so that every one of these entries is new.
COLLECTION_DURING_FAILURE = """
    import gc, json, traceback
    from orvelkit.auspex import Auspex, conv_date, ts_forecast

    def last_entry(call):
        try:
            call()
        except TypeError as error:
            last = traceback.extract_tb(error.__traceback__)[-1]
            return [last.name, last.lineno]

    tool = Auspex()
    # Lines 32, 63 and 67: each goes in front of ts_forecast's (73) while that one is being made.
    inner = [lambda: tool._run(), lambda: tool._arun(), lambda: conv_date()]
    pending = list(inner)

    def fail_meanwhile(phase, info):
        if phase == "start" and pending:
            last_entry(pending.pop(0))

    gc.callbacks.append(fail_meanwhile)
    gc.set_threshold(1)
    outer = last_entry(lambda: ts_forecast())
    gc.set_threshold(700)
    gc.callbacks.remove(fail_meanwhile)
    print(json.dumps({"outer": outer, "pending": len(pending),
                      "after": [last_entry(call) for call in inner + [lambda: ts_forecast()]]}))
"""


def test_entries_added_by_a_collection_during_a_failure_keep_their_own_place():
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(COLLECTION_DURING_FAILURE)],
                          capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONSAFEPATH="1"))
    assert done.returncode == 0, done.stderr
    got = json.loads(done.stdout.splitlines()[-1])
    assert got["pending"] == 0  # the callback did run its failures
    assert got["outer"] == ["orvelkit.auspex.ts_forecast", 73]
    assert got["after"] == [["orvelkit.auspex.Auspex._run", 32],
                            ["orvelkit.auspex.Auspex._arun", 63],
                            ["orvelkit.auspex.conv_date", 67],
                            ["orvelkit.auspex.ts_forecast", 73]]

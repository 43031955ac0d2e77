"""ts_forecast with a period whose last future date cannot be represented: the error is the one the
loop of future dates reaches, without the loop first making every date before it. pandas 3
represents dates up to the year 294,000, where pandas 2 stopped at 2262, so there a huge period
would make dates until memory ran out."""

import json
import os
import subprocess
import sys
import traceback
from datetime import timedelta

import numpy as np
import pandas as pd
import pytest

import orvelkit.auspex as auspex

from support import reference

# (dates, step): the rows' dates, and the step in days between future dates. Every loop below meets
# the end of pandas' range within some 120,000 dates, on pandas 2 and 3.
TABLES = {
    "texts, 3000-day step": ["2000-01-01", "2008-03-19"],
    "texts, 2.5-day step": ["2024-01-01", "2024-01-03 12:00"],
    "texts, descending": ["2008-03-19", "2000-01-01"],
    "nanoseconds, daily": np.array(["2024-01-01", "2024-01-02"], dtype="M8[ns]"),
    "seconds, 3000-day step": np.array(["2000-01-01", "2008-03-19"], dtype="M8[s]"),
}
LOOP_REACHES = 120_000
HUGE = [2**63, 10**30, 10**400]  # the last makes even i * step overflow a float


def table(name):
    return pd.DataFrame({"timestamp": TABLES[name], "values": [1.0, 2.0]})


def error_of(call):
    try:
        call()
    except Exception as error:
        return [type(error).__name__, str(error)]
    raise AssertionError("no error")


@pytest.fixture(scope="module")
def huge_period_errors():
    """What ts_forecast raises for each huge period, in a child that must finish in time: the
    loop as written would not."""
    script = f"""
import json, sys
import numpy as np, pandas as pd
from orvelkit.auspex import ts_forecast
tables = {{"texts, 3000-day step": ["2000-01-01", "2008-03-19"],
          "texts, 2.5-day step": ["2024-01-01", "2024-01-03 12:00"],
          "texts, descending": ["2008-03-19", "2000-01-01"],
          "nanoseconds, daily": np.array(["2024-01-01", "2024-01-02"], dtype="M8[ns]"),
          "seconds, 3000-day step": np.array(["2000-01-01", "2008-03-19"], dtype="M8[s]"),
          "texts, daily": ["2024-01-01", "2024-01-02"]}}
out = {{}}
for name, dates in tables.items():
    for period in {HUGE!r}:
        try:
            ts_forecast(pd.DataFrame({{"timestamp": dates, "values": [1.0, 2.0]}}), period)
            out[f"{{name}} {{period}}"] = None
        except Exception as error:
            out[f"{{name}} {{period}}"] = [type(error).__name__, str(error)]
print(json.dumps(out))
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ, PYTHONSAFEPATH="1"))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.mark.parametrize("period", HUGE, ids=["2**63", "10**30", "10**400"])
@pytest.mark.parametrize("name", list(TABLES))
def test_huge_period_raises_what_the_loop_reaches(huge_period_errors, name, period):
    loop = error_of(lambda: reference.ts_forecast(table(name), LOOP_REACHES))
    assert huge_period_errors[f"{name} {period}"] == loop
    assert error_of(lambda: auspex.ts_forecast(table(name), LOOP_REACHES)) == loop


@pytest.mark.parametrize("period", HUGE, ids=["2**63", "10**30", "10**400"])
def test_huge_period_with_a_daily_step_fails_at_once(huge_period_errors, period):
    # On pandas 3 the loop would make about 107 million dates before this one; the error it
    # would reach is that of the first day past the last count of the dates' unit.
    last = pd.to_datetime(pd.Series(["2024-01-02"]))[0]
    latest = pd.Timestamp(np.datetime64(2**63 - 1, last.unit))
    first = (latest - last).days + 1
    assert last + timedelta(days=(first - 1) * 1.0) <= latest
    expected = error_of(lambda: last + timedelta(days=first * 1.0))
    assert huge_period_errors[f"texts, daily {period}"] == expected


def test_failure_keeps_the_traceback_and_the_callers_table():
    ours, theirs = table("texts, 3000-day step"), table("texts, 3000-day step")
    with pytest.raises(Exception) as raised:
        auspex.ts_forecast(ours, 2**63)
    entries = [(f.name, f.lineno) for f in traceback.extract_tb(raised.value.__traceback__)
               if f.filename == "orvelkit\\auspex"]
    assert entries == [("orvelkit.auspex.ts_forecast", 104)]
    with pytest.raises(type(raised.value)):
        reference.ts_forecast(theirs, LOOP_REACHES)
    pd.testing.assert_frame_equal(ours, theirs)


def first_unrepresentable(name):
    """The i of the first future date that pandas cannot make, by making them in order."""
    dates = pd.to_datetime(table(name)["timestamp"])
    step = (dates[1] - dates[0]).days
    for i in range(1, LOOP_REACHES):
        try:
            dates.max() + timedelta(days=i * step)
        except Exception:
            return i
    raise AssertionError("every date fits")


def outcome(forecast, period):
    try:
        return forecast(table("texts, 3000-day step"), period)
    except Exception as error:
        return [type(error).__name__, str(error)]


def test_period_up_to_the_last_representable_date_is_unchanged():
    # pandas 2 returns these rows; pandas 3, whose range goes past the year 9999, then fails
    # writing them as text, like the loop as written.
    last = first_unrepresentable("texts, 3000-day step") - 1
    ours, theirs = outcome(auspex.ts_forecast, last), outcome(reference.ts_forecast, last)
    if isinstance(theirs, pd.DataFrame):
        pd.testing.assert_frame_equal(ours, theirs)
        assert len(ours) == last
    else:
        assert ours == theirs and theirs[0] == "NotImplementedError"


def test_replaced_timedelta_sees_the_loop_as_written(monkeypatch):
    # Nothing but the loop may call a module global that the caller replaced: no dates are
    # tried out of order.
    spans = []

    def recording(days):
        spans.append(days)
        return timedelta(days=days)

    monkeypatch.setattr(auspex, "timedelta", recording)
    loop = error_of(lambda: reference.ts_forecast(table("texts, 3000-day step"), LOOP_REACHES))
    assert error_of(lambda: auspex.ts_forecast(table("texts, 3000-day step"), 2**63)) == loop
    first = first_unrepresentable("texts, 3000-day step")
    assert spans == [i * 3000.0 for i in range(1, first + 1)]

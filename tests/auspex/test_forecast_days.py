"""ts_forecast's day numbers and intervals: the arithmetic on the raw datetime64 values must give
exactly what the row-by-row Timestamp arithmetic gives, in each of pandas' four units (pandas 2
parses date texts to nanoseconds, pandas 3 to microseconds), and must step aside whenever
something it relies on is not as it was at import.

Which path ran is read from outside: the row-by-row path iterates the Series, so it enters
Series.__iter__ (a Python function that a profile hook sees), which the other path never does."""

import subprocess
import sys
import textwrap
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from sklearn.linear_model import LinearRegression

import orvelkit.auspex as auspex

from tests.entries import module_entries

DAY = 86_400 * 10**9
NS_MIN, NS_MAX = -(2**63) + 1, 2**63 - 1  # the int64 counts of any unit; -2**63 is NaT
UNITS = ["s", "ms", "us", "ns"]
PER_DAY = {"s": 86_400, "ms": 86_400 * 10**3, "us": 86_400 * 10**6, "ns": DAY}
SERIES_ITER = pd.Series.__iter__.__code__


def series_iterations(fn):
    """fn() with the number of times Series.__iter__ was entered while it ran."""
    entered = 0

    def profile(frame, event, arg):
        nonlocal entered
        if event == "call" and frame.f_code is SERIES_ITER:
            entered += 1

    sys.setprofile(profile)
    try:
        return fn(), entered
    finally:
        sys.setprofile(None)


class PandasProxy(types.ModuleType):
    """Stands in for `pd`: every attribute is pandas' own, but it is not the module bound at
    import, so only the row-by-row path may run."""

    def __getattr__(self, name):
        return getattr(pd, name)


class RecordingRegression:
    """Records what the forecast hands to the model, with each element's exact type."""

    def __init__(self, log):
        self.log, self.model = log, LinearRegression()
        log.append(("init",))

    def fit(self, X, y):
        # tolist, not list(): iterating the Series here would count as the row-by-row path.
        self.log.append(("fit", typed(X), y.index.tolist(), y.tolist()))
        self.model.fit(X, y)
        return self

    def predict(self, X):
        self.log.append(("predict", typed(X)))
        return self.model.predict(X)


def typed(matrix):
    return [[(type(v), v) for v in row] for row in matrix]


def outcome(monkeypatch, table, period, general):
    """Everything a caller can see of one call: result or error with its traceback, the calls on
    the model, the caller's table afterwards, and whether Series.__iter__ ran."""
    log = []
    with monkeypatch.context() as m:
        m.setattr(auspex, "LinearRegression", lambda: RecordingRegression(log))
        if general:
            m.setattr(auspex, "pd", PandasProxy("pandas"))
        try:
            result, iterations = series_iterations(lambda: auspex.ts_forecast(table, period))
            seen = ("result", result)
        except Exception as error:  # compared below, type, text and traceback
            iterations = None
            seen = ("error", type(error), str(error),
                    module_entries(error, fields=("filename", "name", "lineno")))
    return seen, log, table, iterations


def assert_same(fast, general):
    (seen_a, log_a, table_a, _), (seen_b, log_b, table_b, _) = fast, general
    assert seen_a[0] == seen_b[0], (seen_a, seen_b)
    if seen_a[0] == "result":
        pd.testing.assert_frame_equal(seen_a[1], seen_b[1], check_exact=True)
    else:
        assert seen_a == seen_b
    assert log_a == log_b
    pd.testing.assert_frame_equal(table_a, table_b, check_exact=True)


def unit_table(stamps, values, unit="ns"):
    return pd.DataFrame({"timestamp": np.array(stamps, dtype=np.int64).view(f"M8[{unit}]"),
                         "values": values})


def clustered(base, spread):
    return st.lists(st.integers(-spread, spread), min_size=0, max_size=12).map(
        lambda offsets: [base + o for o in offsets])


def stamp_lists(day):
    return st.one_of(
        st.lists(st.integers(NS_MIN, NS_MAX), max_size=12),  # centuries apart, some too far
        st.lists(st.integers(-200 * 365 * day, 0), max_size=12),  # before 1970
        # pandas 3 subtracts its microsecond epoch: seconds and milliseconds past that range
        st.lists(st.integers(-(2**63) // 1000, 2**63 // 1000), max_size=6),
        st.integers(-10**18 // (DAY // day), 10**18 // (DAY // day)).flatmap(
            lambda base: clustered(base, 2 * day)),  # under a day apart
        st.lists(st.sampled_from([-day - 1, -1, 0, 1, day, 19_723 * day]), max_size=12),
        st.lists(st.integers(0, 60).map(lambda d: (19_000 + d) * day), max_size=12),  # dates
    )


@st.composite
def forecast_inputs(draw, unit):
    stamps = draw(stamp_lists(PER_DAY[unit]))
    values = draw(st.lists(st.floats(-1e6, 1e6), min_size=len(stamps), max_size=len(stamps)))
    return stamps, values, draw(st.integers(0, 3))


@pytest.mark.parametrize("unit", UNITS)
@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                     HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_day_arithmetic_matches_row_by_row_path(monkeypatch, unit, data):
    stamps, values, period = data.draw(forecast_inputs(unit))
    check_unit_case(monkeypatch, unit, stamps, values, period)


EDGES = [
    ("int64 extremes", lambda day: [NS_MIN, NS_MAX], 1),  # an interval no Timedelta holds
    ("floors around the epoch", lambda day: [-day, -1, 0, day - 1], 2),
    ("unsorted and repeated", lambda day: [5 * day, day, 3 * day, day], 2),
    ("one row", lambda day: [7 * day], 1),  # no intervals
]


@pytest.mark.parametrize("unit", UNITS)
@pytest.mark.parametrize("stamps, period", [e[1:] for e in EDGES], ids=[e[0] for e in EDGES])
def test_day_arithmetic_edges_match_row_by_row_path(monkeypatch, unit, stamps, period):
    stamps = stamps(PER_DAY[unit])
    check_unit_case(monkeypatch, unit, stamps, [float(v) for v in range(len(stamps))], period)


def check_unit_case(monkeypatch, unit, stamps, values, period):
    table = unit_table(stamps, values, unit)
    assert str(table["timestamp"].dtype) == f"datetime64[{unit}]"
    fast = outcome(monkeypatch, table.copy(), period, general=False)
    general = outcome(monkeypatch, table.copy(), period, general=True)
    assert_same(fast, general)
    if fast[3] is not None:
        assert fast[3] == 0, f"the shortcut did not run on plain datetime64[{unit}] dates"
    if general[3] is not None:
        assert general[3] == 1


class FrameWithSeriesSubclass(pd.DataFrame):
    @property
    def _constructor(self):
        return FrameWithSeriesSubclass

    @property
    def _constructor_sliced(self):
        return SeriesSubclass


class SeriesSubclass(pd.Series):
    @property
    def _constructor(self):
        return SeriesSubclass

    @property
    def _constructor_expanddim(self):
        return FrameWithSeriesSubclass


DATES = ["2024-01-01", "2024-01-03", "2024-01-06"]


def shifted_index():
    return pd.DataFrame({"timestamp": DATES, "values": [1, 2, 3]}, index=[1, 2, 0])


def range_from_one():
    return pd.DataFrame({"timestamp": DATES, "values": [1, 2, 3]}, index=pd.RangeIndex(1, 4))


def with_nat():
    return pd.DataFrame({"timestamp": DATES + [None], "values": [1, 2, 3, 4]})


def zoned():
    return pd.DataFrame({"timestamp": pd.to_datetime(DATES).tz_localize("Europe/Paris"),
                         "values": [1, 2, 3]})


def subclass_frame():
    return FrameWithSeriesSubclass({"timestamp": DATES, "values": [1, 2, 3]})


def plain():
    return pd.DataFrame({"timestamp": DATES, "values": [1, 2, 3]})


def replace_pd(m):
    m.setattr(auspex, "pd", PandasProxy("pandas"))


def replace_timestamp(m):
    class Stamp(pd.Timestamp):
        pass
    m.setattr(pd, "Timestamp", Stamp)


@pytest.mark.parametrize("make, patch", [
    (shifted_index, None),
    (range_from_one, None),
    (with_nat, None),
    (zoned, None),
    (subclass_frame, None),
    (plain, replace_pd),
    (plain, replace_timestamp),
], ids=["index not 0..n-1", "RangeIndex from 1", "NaT", "time zone", "Series subclass",
        "pd replaced", "pd.Timestamp replaced"])
def test_row_by_row_path_runs_when_a_condition_fails(monkeypatch, make, patch):
    with monkeypatch.context() as m:
        if patch:
            patch(m)
        result = series_iterations(lambda: _attempt(make(), 2))
    assert result[1] == 1
    # And the control: a plain table in the same process takes the shortcut.
    assert series_iterations(lambda: _attempt(plain(), 2))[1] == 0


@pytest.mark.parametrize("unit", UNITS)
def test_shortcut_runs_in_every_unit(unit):
    table = pd.DataFrame({"timestamp": pd.to_datetime(DATES).values.astype(f"M8[{unit}]"),
                          "values": [1, 2, 3]})
    result, iterations = series_iterations(lambda: auspex.ts_forecast(table, 2))
    assert iterations == 0
    assert list(result["dates"]) == ["2024-01-08", "2024-01-11"]


def _attempt(table, period):
    try:
        return auspex.ts_forecast(table, period)
    except Exception as error:  # the path taken is what is under test here
        return error


# A patched type gets a new version tag for the rest of the process, so these run in a fresh
# interpreter each; the script prints how often Series.__iter__ ran before and after the patch.
PATCH_SCRIPT = textwrap.dedent("""
    import sys
    import pandas as pd
    import orvelkit.auspex as auspex

    def iterations():
        entered = 0
        code = pd.Series.__iter__.__code__
        def profile(frame, event, arg):
            nonlocal entered
            if event == "call" and frame.f_code is code:
                entered += 1
        table = pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-03"], "values": [1, 2]})
        sys.setprofile(profile)
        try:
            result = auspex.ts_forecast(table, 1)
        finally:
            sys.setprofile(None)
        return entered, list(result["dates"])

    before = iterations()
    owner = {"Series": pd.Series, "Timestamp": pd.Timestamp,
             "NDFrame": pd.core.generic.NDFrame, "Timedelta": pd.Timedelta,
             "DatetimeArray": pd.arrays.DatetimeArray}[sys.argv[1]]
    original = getattr(owner, sys.argv[2])
    setattr(owner, sys.argv[2], lambda self, *a, **k: original(self, *a, **k))
    print(before, iterations())
""")


@pytest.mark.parametrize("owner, method", [
    ("Series", "__getitem__"),
    ("Timestamp", "__sub__"),
    ("Timedelta", "days"),
    ("NDFrame", "__len__"),  # a base class of Series
    ("DatetimeArray", "__iter__"),  # what boxes each row
], ids=["Series method", "Timestamp method", "Timedelta attribute", "base class of Series",
        "array that boxes the rows"])
def test_row_by_row_path_runs_after_a_type_is_patched(owner, method):
    if method == "days":
        script = PATCH_SCRIPT.replace("lambda self, *a, **k: original(self, *a, **k)",
                                      "property(original.__get__)")
    else:
        script = PATCH_SCRIPT
    done = subprocess.run([sys.executable, "-c", script, owner, method], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "(0, ['2024-01-05']) (1, ['2024-01-05'])"

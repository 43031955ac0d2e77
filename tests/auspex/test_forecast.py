"""ts_forecast: worked examples, effects on the caller's table, and a seeded
differential check against the Python reference and an independent fit."""

import random
import warnings
from datetime import datetime, timedelta
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest

from orvelkit.auspex import ts_forecast

from support import reference


def frame(timestamps, values, **extra):
    return pd.DataFrame({"timestamp": timestamps, "values": values, **extra})


def day_numbers(stamps):
    """Whole days since 1970-01-01, a time of day dropped."""
    return pd.to_datetime(pd.Series(stamps)).values.astype("datetime64[D]").astype(np.int64)


def fitted_line(table, result):
    """The least-squares line through the observations, evaluated at the result's dates."""
    slope, intercept = np.polyfit(day_numbers(table["timestamp"]),
                                  np.asarray(table["values"], dtype=float), 1)
    return slope * day_numbers(result["dates"]) + intercept


@pytest.mark.parametrize("stamps, values, period, dates, predicted", [
    (["2024-01-01", "2024-01-02", "2024-01-03"], [1, 2, 3], 2,
     ["2024-01-04", "2024-01-05"], [4.0, 5.0]),
    (["2024-01-01", "2024-01-06"], [10, 20], 3,
     ["2024-01-11", "2024-01-16", "2024-01-21"], [30.0, 40.0, 50.0]),
    # A step of 2.5 days: 2024-01-08 12:00 and 2024-01-11; days 19730 and 19733 predict.
    (["2024-01-01", "2024-01-03", "2024-01-06"], [5.0, 1.0, 7.0], 2,
     ["2024-01-08", "2024-01-11"], None),
    # Rows in descending order: a negative step from the latest date.
    (["2024-01-03", "2024-01-02", "2024-01-01"], [3, 2, 1], 2,
     ["2024-01-02", "2024-01-01"], [2.0, 1.0]),
    ([datetime(2024, 1, 1), datetime(2024, 1, 2), datetime(2024, 1, 3)],
     [Decimal("1.5"), 2.5, 3.5], 1, ["2024-01-04"], [4.5]),
    (["2024-03-01", "2024-03-02"], [0, 0], 1, ["2024-03-03"], [0.0]),
], ids=["consecutive days", "five-day step", "fractional step", "descending", "datetimes",
        "flat"])
def test_worked_examples(stamps, values, period, dates, predicted):
    table = frame(stamps, values, note=["ignored"] * len(stamps))
    result = ts_forecast(table.copy(), period)
    assert list(result.columns) == ["dates", "Forecasted_values"]
    assert list(result.index) == list(range(period))
    assert list(result["dates"]) == dates and all(type(d) is str for d in result["dates"])
    assert result["Forecasted_values"].dtype == np.float64
    np.testing.assert_allclose(result["Forecasted_values"], fitted_line(table, result), rtol=1e-9)
    if predicted is not None:
        np.testing.assert_allclose(result["Forecasted_values"], predicted, rtol=1e-9)
    else:
        assert list(day_numbers(result["dates"])) == [19730, 19733]


@pytest.mark.parametrize("stamps, values, period", [
    (["2024-01-01", "2024-01-02"], [1, 2], 1),
    (["2024-01-01"], [1], 2),  # fails dividing by zero intervals
    (["2024-01-01", "2024-01-05"], [1, 2], 0),  # fails predicting nothing
], ids=["success", "one row", "period zero"])
def test_callers_table_is_converted_and_reindexed(stamps, values, period):
    table = frame(stamps, values)
    try:
        ts_forecast(table, period)
    except (ZeroDivisionError, ValueError):
        pass
    assert list(table.columns) == ["values"] and list(table["values"]) == values
    assert isinstance(table.index, pd.DatetimeIndex) and table.index.name == "timestamp"
    assert list(table.index) == list(pd.to_datetime(stamps))


def test_callers_table_is_only_converted_when_values_are_missing():
    table = pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-02"], "other": [1, 2]})
    with pytest.raises(KeyError):
        ts_forecast(table, 1)
    assert list(table.columns) == ["timestamp", "other"]
    assert pd.api.types.is_datetime64_any_dtype(table["timestamp"])


CALL_SHAPES = [
    ("positional", lambda make: ts_forecast(make(), 2)),
    ("keywords", lambda make: ts_forecast(df=make(), period=2)),
    ("positional table, keyword dict", lambda make: ts_forecast(make(), **{"period": 2})),
    ("unpacked", lambda make: ts_forecast(*[make()], **{"period": 2})),
]


@pytest.mark.parametrize("copy_on_write", [False, True], ids=["default", "copy on write"])
@pytest.mark.parametrize("shape, call", CALL_SHAPES, ids=[c[0] for c in CALL_SHAPES])
def test_table_held_only_by_the_call_raises_no_pandas_warning(shape, call, copy_on_write):
    # pandas guesses chained assignment from the table's reference count: a table passed
    # straight into the call must not look like a temporary copy to it.
    def make():
        return frame(["2024-01-01", "2024-01-02", "2024-01-03"], [1, 2, 3])

    with pd.option_context("mode.copy_on_write", copy_on_write), \
            warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call(make)
    assert [f"{w.category.__name__}: {str(w.message)[:60]}" for w in caught] == []
    assert list(result["dates"]) == ["2024-01-04", "2024-01-05"]


def random_case(rng, kind):
    n = rng.randint(2, 25)
    start = datetime(2000, 1, 1) + timedelta(days=rng.randint(0, 11000))
    stamps = [start + timedelta(days=o) for o in sorted(rng.sample(range(40 * n), n))]
    if kind == "unsorted":
        rng.shuffle(stamps)
    if kind == "times of day":
        texts = [(s + timedelta(minutes=rng.randrange(1440))).strftime("%Y-%m-%d %H:%M")
                 for s in stamps]
    else:
        texts = [s.strftime("%Y-%m-%d") for s in stamps]
    values = ([rng.randint(-500, 500) for _ in range(n)] if kind == "integer values"
              else [rng.uniform(-1000.0, 1000.0) for _ in range(n)])
    return texts, values, rng.randint(1, 15)


@pytest.mark.parametrize("kind", ["sorted", "unsorted", "times of day", "integer values"])
def test_agrees_with_reference_and_least_squares(kind):
    rng = random.Random(f"orvelkit-{kind}")
    for case in range(75):
        texts, values, period = random_case(rng, kind)
        context = f"{kind} case {case}: {texts} {values} {period}"
        ours_table, their_table = frame(texts, values), frame(texts, values)
        ours = ts_forecast(ours_table, period)
        pd.testing.assert_frame_equal(ours, reference.ts_forecast(their_table, period), obj=context)
        pd.testing.assert_frame_equal(ours_table, their_table, obj=context)
        scale = 1.0 + max(abs(v) for v in values)
        np.testing.assert_allclose(ours["Forecasted_values"],
                                   fitted_line(frame(texts, values), ours),
                                   rtol=1e-7, atol=1e-7 * scale, err_msg=context)
        if kind in ("sorted", "integer values"):
            # Without times of day the step is the whole span over the number of gaps.
            first, last = pd.Timestamp(texts[0]), pd.Timestamp(texts[-1])
            step = (last - first).days / (len(texts) - 1)
            assert list(ours["dates"]) == [(last + timedelta(days=i * step)).strftime("%Y-%m-%d")
                                           for i in range(1, period + 1)], context

"""The forecasting tool's three operations written directly in Python.

This is what a user would write instead of installing orvelkit: the same
pandas, scikit-learn and dateutil calls in the same order, with the same
effects on the caller's table.  Benchmarks time it against the extension, and
the test suite compares its results with the extension's.
"""

import json
import re
import traceback
from datetime import datetime, timedelta
from decimal import Decimal

import pandas as pd
from dateutil import parser
from sklearn.linear_model import LinearRegression

DECIMAL_FORM = r"Decimal\('[\d.]+'\)"
EPOCH_TEXT = "1970-01-01"


def conv_date(dt):
    """Any date text dateutil understands, as YYYY-MM-DD (time and zone dropped)."""
    return parser.parse(dt).strftime("%Y-%m-%d")


def ts_forecast(df, period):
    """Straight-line forecast of df["values"] against whole days since 1970.

    Changes ``df`` in place, as the extension does: "timestamp" is converted
    and then becomes the index.
    """
    if type(period) is not int:
        raise TypeError("Argument 'period' has incorrect type "
                        f"(expected int, got {type(period).__name__})")
    df["timestamp"] = pd.to_datetime(df["timestamp"])
    dates = df["timestamp"]
    values = df["values"]
    df.set_index("timestamp", inplace=True)

    day_numbers = [(stamp - pd.Timestamp(EPOCH_TEXT)).days for stamp in dates]
    model = LinearRegression()
    model.fit([[day] for day in day_numbers], values)

    # Rows are taken in the order given, so an unsorted table gives a step
    # that need not be positive; the forecast still starts at the latest date.
    gaps = [(dates[k + 1] - dates[k]).days for k in range(len(dates) - 1)]
    step = sum(gaps) / len(gaps)
    latest = dates.max()

    future = [latest + timedelta(days=k * step) for k in range(1, period + 1)]
    epoch = datetime(1970, 1, 1)
    future_days = [(stamp - epoch).days for stamp in future]
    predictions = model.predict([[day] for day in future_days])
    labels = [stamp.strftime("%Y-%m-%d") for stamp in future]
    return pd.DataFrame({"dates": labels, "Forecasted_values": predictions})


def _decimal_value(text):
    # Only the exact form Decimal('digits') is taken; trailing characters
    # after it would otherwise be silently thrown away.
    if not text.endswith("')") or text.index("')", len("Decimal('")) != len(text) - 2:
        raise ValueError(f"{text!r} is not a valid decimal: it must end right after "
                         "Decimal('...')")
    return Decimal(text[len("Decimal('"):-2])


def run(input):
    """The tool's request handling: a forecast table, or {"error": text}."""
    if type(input) is not str:
        raise TypeError("Argument 'input' has incorrect type "
                        f"(expected str, got {type(input).__name__})")
    if "'" in input:
        input = input.replace("'", '"')
    try:
        request = json.loads(input)
        observations = request["data_input"]
        dates = observations["date"]
        cleaned = []
        for value in observations["values"]:
            if type(value) is str and re.match(DECIMAL_FORM, value):
                cleaned.append(_decimal_value(value))
            else:
                cleaned.append(value)
        dates = [conv_date(text) for text in dates]
        table = pd.DataFrame({"timestamp": dates, "values": cleaned})
        result = ts_forecast(table, request["period"])
        if result.empty:
            return {"error": "Forecasting produced an empty DataFrame."}
        return result
    except Exception as error:
        traceback.print_exc()
        return {"error": str(error)}

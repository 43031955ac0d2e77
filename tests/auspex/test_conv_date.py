"""conv_date against dateutil itself: the same dates and the same failures."""

import datetime

import pytest
from dateutil import parser

from orvelkit.auspex import conv_date


@pytest.mark.parametrize("text, expected", [
    ("2024-01-31", "2024-01-31"),
    ("2024-01-31T15:45:00+02:00", "2024-01-31"),  # time and offset dropped, not converted
    ("2024-01-31T23:30:00-05:00", "2024-01-31"),
    ("01/02/2024", "2024-01-02"),  # month first
    ("Jan 5 2024", "2024-01-05"),
    ("Friday, 5 January 2024 10:00", "2024-01-05"),
    ("20240131", "2024-01-31"),
    ("  2024-01-31  ", "2024-01-31"),
])
def test_fixed_forms(text, expected):
    assert conv_date(text) == expected == parser.parse(text).strftime("%Y-%m-%d")


@pytest.mark.parametrize("value", [
    "March 7", "7th", "12:30",  # missing fields come from today
    b"2024-02-29", "Sat Mar  2 11:22:33 UTC 2024", "0099-12-31",
])
def test_forms_that_follow_dateutil_defaults(value):
    result = conv_date(value)
    # isoformat, not strftime: this interpreter's strftime drops the zeros of a year before 1000.
    assert type(result) is str and result == parser.parse(value).date().isoformat()


@pytest.mark.parametrize("value", [
    20240131, None, 3.5, datetime.datetime(2024, 1, 31), ["2024-01-31"],
    "", "   ", "not a date", "2024-13-45", "2024-02-30",
])
def test_failures_are_dateutils(value):
    with pytest.raises(Exception) as expected:
        parser.parse(value)
    with pytest.raises(Exception) as ours:
        conv_date(value)
    assert (type(ours.value), ours.value.args) == (type(expected.value), expected.value.args)
    if value in (20240131, ""):
        assert isinstance(ours.value, TypeError if value else ValueError)

"""Properties over generated inputs: the forecast tool's answers, date normalisation, and the
argument binding of every function of the three modules."""

from __future__ import annotations

import contextlib
import datetime as dt
import io
import json
import re

import pandas as pd
import pytest
from dateutil import parser
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from sqlalchemy.engine import make_url

from orvelkit.auspex import Auspex, conv_date
from orvelkit.tabloom import MySQLDatabaseTabloom

from support.ports import free_loopback_port
from tests.robustness.helpers import HERE, run_python

SETTINGS = settings(max_examples=200, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])
DATE_TEXT = re.compile(r"\d{4}-\d{2}-\d{2}")
TOOL = Auspex()


def run_quietly(text):
    with contextlib.redirect_stderr(io.StringIO()):
        return TOOL._run(text)


def check_answer(result):
    """A forecast table with its two columns, or exactly {"error": text}."""
    if isinstance(result, pd.DataFrame):
        assert list(result.columns) == ["dates", "Forecasted_values"]
        assert len(result) >= 1 and list(result.index) == list(range(len(result)))
        assert all(type(d) is str and DATE_TEXT.fullmatch(d) for d in result["dates"])
        return "table"
    assert type(result) is dict and list(result) == ["error"], result
    assert type(result["error"]) is str
    return "error"


# ---- the forecast tool's request handling --------------------------------------------------

@SETTINGS
@given(st.text())
@example("")
@example("'")
@example('{"data_input": {"date": [], "values": []}, "period": 1}')
def test_any_text_gets_a_table_or_an_error_dict(text):
    check_answer(run_quietly(text))


def date_forms(day):
    y, m, d = f"{day.year:04d}", f"{day.month:02d}", f"{day.day:02d}"
    return st.sampled_from([f"{y}-{m}-{d}", f"{m}/{d}/{y}", f"{day:%b} {day.day} {y}",
                            f"{y}-{m}-{d}T{day.day % 24:02d}:30:00+02:00"])


dates = st.one_of(
    st.dates(min_value=dt.date(1990, 1, 1), max_value=dt.date(2100, 12, 31)).flatmap(date_forms),
    st.dates().flatmap(date_forms),
    st.text(max_size=8), st.integers(), st.none(),
)
decimal_texts = st.decimals(min_value=0, max_value=10 ** 6, places=3).map(
    lambda d: f"Decimal('{d}')")
broken_decimal_texts = st.sampled_from(["Decimal('1..2')", "Decimal('5')x", "Decimal('7') ",
                                        "Decimal('.')", "Decimal('')"])
values = st.one_of(st.integers(-10 ** 6, 10 ** 6), st.floats(), decimal_texts,
                   broken_decimal_texts, st.text(max_size=5), st.none(), st.booleans())
periods = st.one_of(st.integers(-3, 40), st.floats(-2, 5), st.text(max_size=3), st.booleans(),
                    st.none())


good_dates = st.dates(min_value=dt.date(1990, 1, 1),
                      max_value=dt.date(2100, 12, 31)).flatmap(date_forms)
good_values = st.one_of(st.integers(-10 ** 6, 10 ** 6), st.floats(-1e6, 1e6), decimal_texts)


@st.composite
def requests(draw):
    size = draw(st.integers(0, 6))
    # Each part is well formed or anything, so that tables come back as well as errors.
    good = [draw(st.integers(0, 4)) > 0 for _ in range(3)]
    body = {"data_input": {
        "date": draw(st.lists(good_dates if good[0] else dates, min_size=size, max_size=size)),
        "values": draw(st.lists(good_values if good[1] else values,
                                min_size=size, max_size=size))},
        "period": draw(st.integers(1, 40) if good[2] else periods)}
    if draw(st.integers(0, 9)) == 0:  # now and then lengths that differ
        body["data_input"]["values"].append(1)
    for member in draw(st.lists(st.sampled_from(["period", "date", "values", "data_input"]),
                                max_size=1)):
        (body if member in body else body.get("data_input", {})).pop(member, None)
    text = json.dumps(body)
    form = draw(st.sampled_from(["escaped", "plain", "single-quoted"]))
    if form == "escaped":  # the only way a decimal form survives the quote replacement
        text = text.replace("'", "\\u0027")
    elif form == "single-quoted":
        text = text.replace('"', "'")
    return text


@SETTINGS
@given(requests())
def test_requests_get_a_table_only_when_the_request_allows_one(text):
    result = run_quietly(text)
    if check_answer(result) == "error":
        return
    # What the tool reads: every single quote as a double quote.
    body = json.loads(text.replace("'", '"'))
    observations = body["data_input"]
    period = body["period"]
    assert type(period) is int and period >= 1 and len(result) == period
    assert len(observations["date"]) == len(observations["values"]) >= 2


# ---- date normalisation --------------------------------------------------------------------

def parser_outcome(value):
    try:
        return "value", parser.parse(value)
    except Exception as error:
        return "raised", error


anything = st.one_of(
    st.text(), st.binary(max_size=12), st.integers(), st.floats(), st.none(), st.booleans(),
    st.datetimes(), st.dates(), st.lists(st.text(max_size=3), max_size=3),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=2), st.decimals(),
    st.builds(object), st.dates().flatmap(date_forms),
    st.from_regex(r"\d{1,5}[-/. ]\d{1,3}[-/. ]\d{1,5}", fullmatch=True),
)


@SETTINGS
@given(anything)
@example("99999999999999999999")
@example(b"2024-01-31")
def test_conv_date_gives_the_parsers_date_or_the_parsers_error(value):
    kind, expected = parser_outcome(value)
    try:
        result = conv_date(value)
    except Exception as error:
        assert isinstance(error, (TypeError, ValueError, OverflowError)), repr(error)
        assert kind == "raised", f"the parser read {value!r}, yet conv_date raised {error!r}"
        assert (type(error), str(error)) == (type(expected), str(expected))
        return
    assert kind == "value", f"the parser refused {value!r} ({expected!r}); conv_date did not"
    assert type(result) is str
    year, month, day = re.fullmatch(r"(\d+)-(\d\d)-(\d\d)", result).groups()
    assert (int(year), int(month), int(day)) == (expected.year, expected.month, expected.day)


@pytest.mark.parametrize("text, expected", [
    ("0001-01-01", "0001-01-01"),
    ("0005-06-07", "0005-06-07"),
    ("0999-12-31", "0999-12-31"),
    ("1000-01-01", "1000-01-01"),
    ("12/31/0999", "0999-12-31"),
])
def test_conv_date_writes_the_year_with_four_digits(text, expected):
    # The result is documented as YYYY-MM-DD; the C library's %Y does not pad early years.
    assert conv_date(text) == expected


# ---- connection URLs that are not read back ------------------------------------------------

PLAIN_NAME = r"[A-Za-z0-9._-]+"


@SETTINGS
@given(user=st.text(st.characters(blacklist_categories=("Cs",)), min_size=1),
       password=st.text(st.characters(max_codepoint=0xFF), min_size=1),
       host=st.from_regex(rf"{PLAIN_NAME}(:[1-9][0-9]{{0,4}})?", fullmatch=True),
       database=st.from_regex(PLAIN_NAME, fullmatch=True))
@example(user=":@/", password="%40?#", host="localhost:99999", database="-")
def test_a_url_accepted_without_reading_it_back_reads_back_exactly(user, password, host,
                                                                   database):
    # Such a host and database are taken without asking SQLAlchemy; the installed SQLAlchemy must
    # still read the URL as exactly what was given.
    tool = MySQLDatabaseTabloom(user, password, host, database)
    parsed = make_url(tool.connection_string)
    name, _, port = host.partition(":")
    assert (parsed.username, parsed.password, parsed.host, parsed.port, parsed.database) == (
        user, password, name, int(port) if port else None, database)
    assert dict(parsed.query) == {}


# ---- argument binding of every function, in a child interpreter ----------------------------

@pytest.mark.parametrize("module", ["orvelkit.auspex", "orvelkit.tabloom", "orvelkit.base"])
def test_random_calls_bind_or_fail_with_the_binding_message(module, tmp_path):
    # A child, so that a crash of the interpreter shows as an exit code, not a lost run.
    done = run_python(str(HERE / "binding_fuzz.py"), module, "150", str(free_loopback_port()),
                      cwd=tmp_path, timeout=120)
    assert done.returncode == 0 and done.stdout.rstrip().endswith("ALL DONE"), (
        f"exit code {done.returncode}\n--- stdout\n{done.stdout[-3000:]}\n"
        f"--- stderr\n{done.stderr[-6000:]}")

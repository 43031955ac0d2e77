"""Repeated calls leave the interpreter's allocated blocks and references flat."""

import sys

import pandas as pd
import pytest

from orvelkit.auspex import Auspex, conv_date, ts_forecast
from support import leaks
from support.leaks import ignoring as failing

pytestmark = pytest.mark.slow
SLACK = 200  # blocks: room for caches that the interpreter and libraries fill on their own
DAYS = ["2024-01-01", "2024-01-02", "2024-01-03"]
TOOL = Auspex()


def growth(action, repeat, warm_up=200):
    """Blocks gained over repeat // 2 calls, the smaller of two rounds."""
    return leaks.growth(action, repeat, warm_up, rounds=2).blocks


def awaited_once():
    try:
        TOOL._arun("x").send(None)
    except NotImplementedError:
        pass


@pytest.mark.parametrize("action, repeat", [
    (lambda: conv_date("2024-01-31"), 100_000),
    (failing(lambda: ts_forecast(None)), 100_000),
    (failing(lambda: ts_forecast(None, 2, zzz=1)), 100_000),
    (failing(lambda: ts_forecast(None, period=2.5)), 100_000),
    (failing(lambda: conv_date("")), 10_000),
    (awaited_once, 20_000),
], ids=["conv_date", "count", "unexpected keyword", "incorrect type", "parser failure",
        "coroutine"])
def test_repeated_calls_do_not_leak(action, repeat):
    assert growth(action, repeat) < SLACK


def test_run_with_an_error_request_does_not_leak(capsys):
    request = '{"data_input": {"date": ["2024-01-01"], "values": [1]}}'
    extra = growth(lambda: TOOL._run(request), 2000)
    capsys.readouterr()
    assert extra < SLACK


def test_forecast_does_not_leak():
    def action():
        ts_forecast(pd.DataFrame({"timestamp": DAYS, "values": [1, 2, 3]}), 2)
    assert growth(action, 1000, warm_up=300) < SLACK


def test_forecast_past_the_last_representable_date_does_not_leak():
    # The dates tried to find the first one that fails, and the warnings filter entry, all go.
    def action():
        ts_forecast(pd.DataFrame({"timestamp": ["2000-01-01", "2008-03-19"], "values": [1, 2]}),
                    2**63)
    assert growth(failing(action), 1000, warm_up=300) < SLACK


def test_references_to_arguments_and_shared_types_are_balanced():
    table, text = pd.DataFrame({"timestamp": DAYS, "values": [1, 2, 3]}), "2024-01-31"
    probe = TOOL._arun("x")
    shared = [type(ts_forecast), type(probe), type(probe.__await__())]
    probe.close()
    before = [sys.getrefcount(o) for o in [table, text, *shared]]
    for _ in range(1000):
        conv_date(text)
        failing(lambda: ts_forecast(table, 2.0))()
        failing(lambda: ts_forecast(table, 2, zzz=1))()
        TOOL._arun(text).__await__().close()
    assert [sys.getrefcount(o) for o in [table, text, *shared]] == before

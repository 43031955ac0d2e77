"""Simultaneous callers: processes and threads sharing one cache file, threads sharing auspex."""

from __future__ import annotations

import contextlib
import io
import json
import logging
import pickle
import sys
import threading
import time

import pandas as pd
import pytest

import orvelkit.tabloom as tabloom
from orvelkit.auspex import Auspex, conv_date, ts_forecast

CALLERS = 4
ROUNDS = 3
# name -> (columns, rows); enough rows that the callers' reads and writes overlap.
TABLES = {
    "alpha": (["alpha_id", "alpha_text"], 6000),
    "beta": (["beta_id", "beta_value"], 3000),
    "empty_one": (["empty_id"], 0),
    "gamma": (["gamma_id", "gamma_text", "gamma_when"], 4000),
}
GARBAGE = b"\x80\x04not a pickle at all"


def load_error(content):
    try:
        pickle.load(io.BytesIO(content))
    except Exception as error:
        return "Error loading cache: " + str(error)
    raise AssertionError("loadable")


GARBAGE_LOAD_ERROR = load_error(GARBAGE)


FILL = {  # table -> (columns filled, values of the first row); the others copy it
    "alpha": ("alpha_text", "REPEAT('a', 70)"),
    "beta": ("beta_value", "1.25"),
    "gamma": ("gamma_text, gamma_when", "REPEAT('g', 200), '2024-02-29 12:00:00'"),
}


def seed(database):
    database.execute([
        "CREATE TABLE alpha (alpha_id INT AUTO_INCREMENT PRIMARY KEY, alpha_text VARCHAR(80))",
        "CREATE TABLE beta (beta_id INT AUTO_INCREMENT PRIMARY KEY, beta_value DOUBLE)",
        "CREATE TABLE empty_one (empty_id INT)",
        "CREATE TABLE gamma (gamma_id INT AUTO_INCREMENT PRIMARY KEY, gamma_text TEXT, "
        "gamma_when DATETIME)",
    ])
    for table, (columns, values) in FILL.items():
        rows, have = TABLES[table][1], 1
        database.execute(f"INSERT INTO {table} ({columns}) VALUES ({values})")
        while have < rows:
            more = min(have, rows - have)
            database.execute(f"INSERT INTO {table} ({columns}) SELECT {columns} FROM {table} "
                             f"LIMIT {more}")
            have += more


def expected_tables():
    return [[name, rows, columns] for name, (columns, rows) in TABLES.items()]


def check_file(path):
    """The file left behind is one plain pickle of every table, and nothing else is left."""
    with open(path, "rb") as file:
        stored = pickle.load(file)
    assert isinstance(stored, list) and all(isinstance(t, pd.DataFrame) for t in stored)
    assert [[len(t), [str(c) for c in t.columns]] for t in stored] == \
        [[rows, columns] for _, rows, columns in expected_tables()]
    assert [p.name for p in path.parent.iterdir()] == [path.name], "a stray file was left"


def describe(tables):
    return [[getattr(t, "name", None), len(t), [str(c) for c in t.columns]] for t in tables]


def prepare_in_processes(workers):
    for worker in workers:  # all are waiting on their stdin: they start within microseconds
        worker.send(op="prepare")
    return [worker.receive() for worker in workers]


def prepare_in_threads(tools):
    barrier = threading.Barrier(len(tools))
    replies = [None] * len(tools)

    def run(i):
        barrier.wait()
        replies[i] = {"began": time.time()}
        try:
            replies[i]["tables"] = describe(tools[i].prepare_data())
        except Exception as error:
            replies[i]["error"] = [type(error).__name__, getattr(error, "errno", None),
                                   str(error)]
        replies[i]["ended"] = time.time()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(tools))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(t.is_alive() for t in threads), "a caller hung"
    return replies


@pytest.fixture(scope="module")
def pool(worker_pool):
    return worker_pool(CALLERS)


@pytest.mark.parametrize("start", ["no-file", "refused-file", "valid-file"])
@pytest.mark.parametrize("callers", ["processes", "threads"])
def test_simultaneous_callers_on_one_cache_file_all_get_every_table(
        callers, start, database, account, tmp_path, pool, caplog):
    seed(database)
    cache_dir = tmp_path / "cache"
    cache_dir.mkdir()
    cache = cache_dir / "db_cache.pkl"
    args = [*account, database.host, database.name]
    if callers == "processes":
        workers = pool
        for worker in workers:
            reply = worker.ask(op="tool", args=args, cache_path=str(cache_dir))
            assert "error" not in reply, reply
        prepare = lambda: prepare_in_processes(workers)  # noqa: E731
    else:
        tools = [tabloom.MySQLDatabaseTabloom(*args, cache_path=str(cache_dir))
                 for _ in range(CALLERS)]
        for tool in tools:
            tool.connect()
        prepare = lambda: prepare_in_threads(tools)  # noqa: E731

    overlapped = 0
    for round_ in range(ROUNDS):
        for path in cache_dir.iterdir():
            path.unlink()
        if start == "refused-file":
            cache.write_bytes(GARBAGE)
        elif start == "valid-file":
            maker = tabloom.MySQLDatabaseTabloom(*args, cache_path=str(cache_dir))
            maker.connect()
            maker.prepare_data()
        caplog.clear()
        replies = prepare()
        for reply in replies:
            assert reply.get("tables") == expected_tables(), (round_, reply)
        check_file(cache)
        # A caller may find no file, or a whole one: never one that another is still writing.
        messages = [m for reply in replies for level, m in reply.get("records", [])
                    if level == "ERROR"]
        messages += [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR]
        assert set(messages) <= ({GARBAGE_LOAD_ERROR} if start == "refused-file" else set()), \
            (round_, messages)
        overlapped += max(r["began"] for r in replies) < min(r["ended"] for r in replies)
    if start != "valid-file":  # reading the database takes long enough to overlap
        assert overlapped, "the callers never ran at the same time: the test proved nothing"


# ---- auspex under threads ---------------------------------------------------------------

DAYS = ["2024-01-01", "2024-01-03", "2024-01-06", "2024-01-07"]


def request(**change):
    body = {"data_input": {"date": DAYS, "values": [1.5, 2, 4.25, 3]}, "period": 5}
    body.update(change)
    return json.dumps(body)


RUN_REQUESTS = [
    request(),
    request(period=1).replace('"', "'"),
    request(data_input={"date": ["Jan 5 2024", "01/09/2024", "2024-01-20"],
                        "values": ["Decimal('0.5')", 7, 2.5]}).replace("'", "\\u0027"),
    request(period=0),
    request(period=True),
    request(data_input={"date": ["2024-01-01"], "values": [1]}),
    request(data_input={"date": ["not a date", "2024-01-02"], "values": [1, 2]}),
    request(data_input={"date": DAYS, "values": [1, 2]}),
    '{"data_input": ',
    "[]",
]
FORECASTS = [
    (DAYS, [1, 2, 3, 5], 3),
    (["2023-12-31", "2024-03-01", "2024-02-01"], [10.0, -2.0, 4.0], 2),
    (["2024-01-01 06:00", "2024-01-02 18:00"], [0, 1], 4),
    (["2024-01-01"], [1], 1),
    (DAYS, [1, 2, 3, 5], 0),
]
DATES = ["2024-01-31T15:45:00+02:00", "Jan 5 2024", "01/02/2024", "", "31.12.1999"]


def outcome(call):
    """What a call gives, in a form that compares by value: frame, error dict, or exception."""
    try:
        return ("value", call())
    except Exception as error:
        return ("raised", type(error), str(error))


def same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "raised":
        return a == b
    x, y = a[1], b[1]
    if isinstance(x, pd.DataFrame) or isinstance(y, pd.DataFrame):
        return type(x) is type(y) and x.equals(y) and list(x.columns) == list(y.columns)
    return x == y


def calls():
    tool = Auspex()
    made = [lambda text=text: tool._run(text) for text in RUN_REQUESTS]
    made += [lambda f=f: ts_forecast(pd.DataFrame({"timestamp": list(f[0]), "values": list(f[1])}),
                                     f[2]) for f in FORECASTS]
    made += [lambda d=d: conv_date(d) for d in DATES]
    return made


def test_threads_sharing_auspex_get_the_single_threaded_results():
    work = calls()
    with contextlib.redirect_stderr(io.StringIO()):
        expected = [outcome(call) for call in work]
    assert sum(isinstance(e[1], pd.DataFrame) for e in expected if e[0] == "value") >= 5
    assert sum(isinstance(e[1], dict) for e in expected if e[0] == "value") >= 5
    assert isinstance(expected[2][1], pd.DataFrame), "the decimal request must succeed"

    threads_count, per_thread, budget = 8, 200, 20.0
    barrier = threading.Barrier(threads_count)
    mismatches, done = [], [0] * threads_count
    deadline = time.monotonic() + budget

    def run(index):
        barrier.wait()
        for n in range(per_thread):
            if time.monotonic() > deadline:
                return
            i = (index * 7 + n) % len(work)  # each thread walks the calls in its own phase
            got = outcome(work[i])
            if not same(got, expected[i]):
                mismatches.append((index, n, i, got, expected[i]))
            done[index] += 1

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as possible, mid-call
    try:
        with contextlib.redirect_stderr(io.StringIO()):
            threads = [threading.Thread(target=run, args=(i,)) for i in range(threads_count)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join(timeout=budget + 10)
    finally:
        sys.setswitchinterval(old_interval)
    assert not any(t.is_alive() for t in threads)
    assert mismatches == []
    assert sum(done) >= threads_count * 50, done

"""Many calls in a row: no server connections, file descriptors or cache files pile up."""

from __future__ import annotations

import gc
import os
import time

import pytest

import orvelkit.tabloom as tabloom
from orvelkit.base import MySQLDatabaseConnector

FD_SLACK = 8  # the interpreter and libraries may open a few descriptors of their own


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def server_sessions(database, user, at_most, wait=3.0):
    """The account's sessions on the server, once they have dropped to at_most (or time ran out).

    A connection closed by the client leaves the server's list a moment later.
    """
    deadline = time.monotonic() + wait
    while True:
        gc.collect()
        count = database.server.execute(
            "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = %s",
            params=(user,))[0][0]
        if count <= at_most or time.monotonic() > deadline:
            return count
        time.sleep(0.05)


@pytest.fixture
def small_tables(database):
    database.execute("CREATE TABLE t1 (a INT); INSERT INTO t1 VALUES (1), (2);"
                     "CREATE TABLE t2 (b VARCHAR(5)); INSERT INTO t2 VALUES ('x')")
    return database


def test_repeated_tabloom_calls_release_connections_and_files(small_tables, account, tmp_path):
    tool = tabloom.MySQLDatabaseTabloom(*account, small_tables.host, small_tables.name,
                                        cache_path=str(tmp_path))
    tool.connect()
    tool.prepare_data()
    (tmp_path / "db_cache.pkl").unlink()
    gc.collect()
    before = open_descriptors()
    for i in range(150):
        tool.connect()  # each makes a new engine and probes it
        if i % 10 == 0:  # and now and then a full read and rewrite of the cache
            (tmp_path / "db_cache.pkl").unlink(missing_ok=True)
        assert [len(t) for t in tool.prepare_data()] == [2, 1]
    assert server_sessions(small_tables, account[0], at_most=2) <= 2
    assert open_descriptors() <= before + FD_SLACK
    assert [p.name for p in tmp_path.iterdir()] == ["db_cache.pkl"]


def test_repeated_connector_calls_release_connections(small_tables):
    user, password = "rbc_" + small_tables.name[-6:], "pw@load/" + small_tables.name[-4:]
    small_tables.server.create_user(user, password, small_tables.name)
    try:
        connector = MySQLDatabaseConnector(user, password, small_tables.host, small_tables.name)
        connector.connect()
        gc.collect()
        before = open_descriptors()
        for _ in range(60):
            assert connector.connect()["connected"] is True
            assert connector.getdbinstance() is connector.db
        assert server_sessions(small_tables, user, at_most=2) <= 2
        assert open_descriptors() <= before + FD_SLACK
    finally:
        small_tables.server.drop_user(user)

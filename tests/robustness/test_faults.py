"""Faults from outside: the server dying mid-read, no room for the cache, a blocked cache path."""

from __future__ import annotations

import errno
import logging
import pickle
import threading
import time

import pandas as pd
import pytest
import sqlalchemy

import orvelkit.tabloom as tabloom
from orvelkit.base import MySQLDatabaseConnector
from support.offline_llm import SQLDatabase

FETCH = "Error fetching tables: "
LOAD = "Error loading cache: "
EARLIER = b"an earlier cache file that no unpickler accepts\n"
BIG_ROWS_LOG2 = 16  # 65536 rows of ~370 bytes: far more than the socket buffers hold
BIG_WIDTH = 360


def seed_with_big_table(database):
    database.execute([
        "CREATE TABLE a_small (id INT PRIMARY KEY, word VARCHAR(10))",
        "INSERT INTO a_small VALUES (1, 'one'), (2, 'two')",
        f"CREATE TABLE big (id INT AUTO_INCREMENT PRIMARY KEY, label VARCHAR({BIG_WIDTH}), "
        "amount DOUBLE)",
        f"INSERT INTO big (label, amount) VALUES (REPEAT('x', {BIG_WIDTH}), 1.5)",
        *["INSERT INTO big (label, amount) SELECT label, amount + id FROM big"] * BIG_ROWS_LOG2,
        "CREATE TABLE z_after (id INT)",
        "INSERT INTO z_after VALUES (7)",
    ])
    return {"a_small": 2, "big": 2 ** BIG_ROWS_LOG2, "z_after": 1}


def kill_once_the_select_runs(server, table, timeout=5.0):
    """Kill the server as soon as it runs the SELECT; True if it was seen running."""
    deadline = time.monotonic() + timeout
    seen = False
    while not seen and time.monotonic() < deadline:
        seen = server.execute(
            "SELECT COUNT(*) FROM information_schema.PROCESSLIST "
            "WHERE ID <> CONNECTION_ID() AND INFO LIKE %s", params=(f"%FROM {table}%",))[0][0] > 0
        if not seen:
            time.sleep(0.005)
    server.kill()
    return seen


class PandasThatKillsTheServer:
    """The pandas module, except that reading one table kills the server half-way."""

    def __init__(self, server, table):
        self.server, self.table = server, table
        self.raised = None
        self.read = []
        self.killed_while_selecting = None

    def __getattr__(self, name):
        return getattr(pd, name)

    def read_sql_table(self, table_name, connection):
        self.read.append(table_name)
        if table_name != self.table:
            return pd.read_sql_table(table_name, connection)

        def kill():
            self.killed_while_selecting = kill_once_the_select_runs(self.server, table_name)
        killer = threading.Thread(target=kill)
        killer.start()
        try:
            return pd.read_sql_table(table_name, connection)
        except BaseException as error:
            self.raised = error
            raise
        finally:
            killer.join()


def fetch_records(caplog):
    return [r for r in caplog.records if r.getMessage().startswith(FETCH)]


def test_server_killed_mid_read_keeps_the_earlier_file_and_recovers(
        database, account, tmp_path, monkeypatch, caplog):
    if database.server.external:
        pytest.skip("an external server cannot be killed")
    counts = seed_with_big_table(database)
    caplog.set_level(logging.INFO)
    cache = tmp_path / "db_cache.pkl"
    cache.write_bytes(EARLIER)
    cache.chmod(0o600)
    tool = tabloom.MySQLDatabaseTabloom(*account, database.host, database.name,
                                        cache_path=str(tmp_path))
    tool.connect()
    fake = PandasThatKillsTheServer(database.server, "big")
    try:
        with monkeypatch.context() as patch:
            patch.setattr(tabloom, "pd", fake)
            with pytest.raises(sqlalchemy.exc.SQLAlchemyError) as info:
                tool.prepare_data()
        assert not database.server.is_running
    finally:
        database.server.restart()

    assert fake.read == ["a_small", "big"], "the read must stop at the table that failed"
    assert fake.killed_while_selecting, "the kill did not land while the rows were being read"
    # pandas reports the lost connection as the failure to close its transaction (and drops
    # the original); whatever it raised must reach the caller unchanged.
    assert info.value is fake.raised
    [record] = fetch_records(caplog)
    assert (record.levelno, record.getMessage()) == (logging.ERROR, FETCH + str(info.value))
    assert [p.name for p in tmp_path.iterdir()] == ["db_cache.pkl"]
    assert cache.read_bytes() == EARLIER

    # The same tool, whose pool held the dead connection, must work once the server is back.
    caplog.clear()
    tables = tool.prepare_data()
    assert {t.name: len(t) for t in tables} == counts
    assert fetch_records(caplog) == []
    with open(cache, "rb") as file:
        stored = pickle.load(file)
    assert [len(t) for t in stored] == list(counts.values())
    pd.testing.assert_frame_equal(stored[1], tables[1])
    assert [p.name for p in tmp_path.iterdir()] == ["db_cache.pkl"]


@pytest.mark.parametrize("earlier", [EARLIER, None], ids=["earlier-file", "no-file"])
def test_cache_write_refused_for_size_leaves_the_directory_as_it_was(
        earlier, database, account, tmp_path, tabloom_worker):
    database.execute(["CREATE TABLE notes (id INT AUTO_INCREMENT PRIMARY KEY, body VARCHAR(60))",
                      "INSERT INTO notes (body) VALUES (REPEAT('n', 50))",
                      *["INSERT INTO notes (body) SELECT body FROM notes"] * 11])
    cache_dir = tmp_path / "cache"
    cache_dir.mkdir()
    if earlier is not None:
        (cache_dir / "db_cache.pkl").write_bytes(earlier)
        (cache_dir / "db_cache.pkl").chmod(0o600)
    [worker] = tabloom_worker()
    reply = worker.ask(op="tool", args=[*account, database.host, database.name],
                       cache_path=str(cache_dir))
    assert "error" not in reply, reply
    # 8 KiB is far below the ~130 KiB that the 2048 rows pickle to.
    assert worker.ask(op="limit_file_size", bytes=8192) == {"records": []}
    reply = worker.ask(op="prepare")

    assert "tables" not in reply, "a cache that could not be written must not pass for success"
    kind, code, text = reply["error"]
    assert (kind, code) == ("OSError", errno.EFBIG), reply
    messages = [message for level, message in reply["records"] if level == "ERROR"]
    assert messages[-1] == FETCH + text
    assert [m for m in messages if m.startswith(FETCH)] == [FETCH + text]
    if earlier is None:
        assert list(cache_dir.iterdir()) == []
    else:
        assert [p.name for p in cache_dir.iterdir()] == ["db_cache.pkl"]
        assert (cache_dir / "db_cache.pkl").read_bytes() == earlier


def test_cache_path_taken_by_a_directory_is_left_alone(database, account, tmp_path, caplog):
    database.execute("CREATE TABLE t (a INT); INSERT INTO t VALUES (1), (2)")
    blocker = tmp_path / "db_cache.pkl"
    blocker.mkdir()
    (blocker / "keep.txt").write_text("mine")
    caplog.set_level(logging.INFO)
    tool = tabloom.MySQLDatabaseTabloom(*account, database.host, database.name,
                                        cache_path=str(tmp_path))
    tool.connect()
    with pytest.raises(OSError) as info:
        tool.prepare_data()
    errors = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
    assert len(errors) == 2 and errors[0].startswith(LOAD)
    assert errors[1] == FETCH + str(info.value)
    assert [p.name for p in tmp_path.iterdir()] == ["db_cache.pkl"]
    assert [p.name for p in blocker.iterdir()] == ["keep.txt"]


def test_connector_reports_a_dead_server_and_recovers_after_restart(database):
    if database.server.external:
        pytest.skip("an external server cannot be killed")
    connector = MySQLDatabaseConnector(database.user, database.password, database.host,
                                       database.name)
    status = connector.connect()
    first = connector.db
    assert status == {"connected": True, "message": "Connection successful"}
    database.server.kill()
    try:
        assert connector.connect() is status
        assert status["connected"] is False
        assert "Can't connect to MySQL server" in status["message"]
        assert connector.db is first
        assert connector.getdbinstance() is first
    finally:
        database.server.restart()
    assert connector.connect() == {"connected": True, "message": "Connection successful"}
    assert isinstance(connector.db, SQLDatabase) and connector.db is not first
    assert connector.db.run_sql("SELECT 41 + 1")[1]["result"][0][0] == 42

"""MySQLDatabaseConnector: construction, connect and its status dict, against a real MariaDB."""

from __future__ import annotations

import sys
from urllib.parse import quote

import pytest
import sqlalchemy

import orvelkit.base as base
from orvelkit.base import MySQLDatabaseConnector as Connector
from support.offline_llm import SQLDatabase
from tests.base.helpers import MISSING, credentials, module_entries


def failure_text(url):
    """What SQLAlchemy and llama_index themselves raise for `url`: the oracle for messages."""
    with pytest.raises(Exception) as raised:
        SQLDatabase(sqlalchemy.create_engine(url))
    return str(raised.value)


@pytest.mark.parametrize("missing", [None, 0, 1, 2, 3])
def test_missing_credential_is_reported_and_nothing_is_built(engine_calls, closed_host, missing):
    if missing is None:
        connector = Connector()
    else:
        given = ["user", "secret", closed_host, "shop"]
        given[missing] = None
        connector = Connector(*given)
    status = connector.connection_status
    assert connector.connect() is status
    assert status == {"connected": False, "message": MISSING}
    assert connector.getdbinstance() is status
    assert engine_calls == [] and connector.db is None


@pytest.mark.parametrize("user, password, given", [
    ("at", "p@ss/w:rd%41", "p@ss/w:rd%41"),
    ("u@x:y/%z", "plain", "plain"),
    ("empty", "", ""),
    ("digits", "12345", 12345),
])
def test_credentials_reach_a_real_account_intact(database, engine_calls, user, password, given):
    user = f"{user}_{database.name[-6:]}"
    database.server.create_user(user, password, database.name)
    try:
        connector = Connector(db_user=user, db_password=given, db_host=database.host,
                              db_name=database.name)
        assert connector.connect() == {"connected": True, "message": "Connection successful"}
        url = (f"mysql+pymysql://{quote(user, safe='')}:{quote(password, safe='')}"
               f"@{database.host}/{database.name}")
        assert engine_calls == [((url,), {})]
        rows = connector.db.run_sql("SELECT CURRENT_USER(), DATABASE()")[1]["result"]
        assert [tuple(r) for r in rows] == [(f"{user}@%", database.name)]
    finally:
        database.server.drop_user(user)


def test_integer_database_name_is_formatted_into_the_url(database, engine_calls):
    connector = Connector(database.user, database.password, database.host, 5)
    url = f"mysql+pymysql://{quote(database.user, safe='')}:{quote(database.password, safe='')}" \
          f"@{database.host}/5"
    assert connector.connect() == {"connected": False, "message": failure_text(url)}
    assert engine_calls == [((url,), {})]
    assert "Unknown database '5'" in connector.connection_status["message"]


def test_unreachable_server_reports_the_error_and_retries(engine_calls, closed_host):
    connector = Connector("root", "", closed_host, "shop")
    expected = failure_text(f"mysql+pymysql://root:@{closed_host}/shop")
    assert connector.connect() == {"connected": False, "message": expected}
    assert connector.db is None
    connector.connection_status["message"] = None
    assert connector.getdbinstance() is None
    assert connector.getdbinstance() is None
    assert len(engine_calls) == 3
    assert connector.connection_status == {"connected": False, "message": expected}


def test_latest_attempt_decides_connected_while_db_keeps_its_object(database):
    connector = Connector(*credentials(database))
    status = connector.connect()
    first = connector.db
    assert status == {"connected": True, "message": "Connection successful"}
    assert isinstance(first, SQLDatabase)

    connector.db_password = "not-" + database.password
    wrong = failure_text(f"mysql+pymysql://{quote(database.user, safe='')}:"
                         f"{quote(connector.db_password, safe='')}@{database.host}/{database.name}")
    assert connector.connect() is status
    assert status == {"connected": False, "message": wrong}
    assert connector.db is first
    assert connector.getdbinstance() is first

    connector.db_password = database.password
    assert connector.connect() == {"connected": True, "message": "Connection successful"}
    assert connector.db is not first

    connector.db_name = None
    assert connector.getdbinstance() is status  # refused even with an object at hand
    assert status == {"connected": True, "message": MISSING}  # getdbinstance never writes it
    assert connector.connect() is status
    assert status == {"connected": False, "message": MISSING}


class Recorded:
    """A credential that logs each equality test it answers."""

    def __init__(self, log, text, equal=False):
        self.log, self.text, self.equal = log, text, equal

    def __eq__(self, other):
        self.log.append((self.text, other))
        return self.equal

    __hash__ = object.__hash__

    def __format__(self, spec):
        return self.text


@pytest.mark.parametrize("missing_at", [1, None])
def test_credentials_are_compared_with_none_in_order_up_to_the_first_missing(
        engine_calls, closed_host, missing_at):
    log = []
    texts = ["user", "secret", closed_host, "shop"]
    values = [Recorded(log, t, equal=(i == missing_at)) for i, t in enumerate(texts)]
    connector = Connector(*values)
    connector.connect()
    if missing_at is None:
        assert log == [(t, None) for t in texts]
        assert engine_calls == [((f"mysql+pymysql://user:secret@{closed_host}/shop",), {})]
    else:
        assert log == [("user", None), ("secret", None)]
        assert engine_calls == []


def interrupt(url):
    raise KeyboardInterrupt


@pytest.mark.parametrize("method, line", [("connect", 116), ("getdbinstance", 133)])
def test_interrupt_passes_through_with_status_untouched(monkeypatch, method, line):
    monkeypatch.setattr(base, "create_engine", interrupt)
    connector = Connector("user", "secret", "db.invalid", "shop")
    connector.connection_status["message"] = "before"
    with pytest.raises(KeyboardInterrupt) as raised:
        getattr(connector, method)()
    assert connector.connection_status == {"connected": False, "message": "before"}
    qualified = f"orvelkit.base.MySQLDatabaseConnector.{method}"
    assert module_entries(raised.value) == [(qualified, line)]


class Unprintable(Exception):
    def __str__(self):
        raise LookupError("no text")


def test_failure_to_describe_the_error_propagates_with_it_as_context(monkeypatch):
    def fail(url):
        raise Unprintable

    monkeypatch.setattr(base, "create_engine", fail)
    connector = Connector("user", "secret", "db.invalid", "shop")
    with pytest.raises(LookupError) as raised:
        connector.connect()
    assert isinstance(raised.value.__context__, Unprintable)
    assert module_entries(raised.value.__context__) == [
        ("orvelkit.base.MySQLDatabaseConnector.connect", 116)]
    assert module_entries(raised.value) == [("orvelkit.base.MySQLDatabaseConnector.connect", 121)]


def test_message_is_made_by_the_str_global_of_the_moment(monkeypatch, closed_host):
    monkeypatch.setattr(base, "str", lambda error: type(error).__name__, raising=False)
    connector = Connector("user", "secret", closed_host, "shop")
    assert connector.connect() == {"connected": False, "message": "OperationalError"}
    connector.connection_status["message"] = None
    assert connector.getdbinstance() is None
    assert connector.connection_status["message"] == "OperationalError"

def test_repeated_calls_keep_reference_counts(monkeypatch):
    def refuse(url):
        raise ValueError("refused")

    monkeypatch.setattr(base, "create_engine", refuse)
    values = ["".join([text, "x"]) for text in ("user", "pass", "host", "name")]
    refused = Connector(*values)
    missing = Connector(*values[:3])
    watched = [*values, refused, missing, refused.connection_status, missing.connection_status]
    before = [sys.getrefcount(v) for v in watched]
    for _ in range(1000):
        refused.connect()
        refused.getdbinstance()
        missing.connect()
        missing.getdbinstance()
    assert [sys.getrefcount(v) for v in watched] == before


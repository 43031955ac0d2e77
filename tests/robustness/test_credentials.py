"""Passwords never show in what the modules say: log records, status messages, exceptions,
tracebacks and printed output, whatever URL syntax the password holds and however the
connection fails."""

from __future__ import annotations

import logging
import traceback
import uuid
from urllib.parse import quote, quote_plus

import pytest

from sqlalchemy.engine import make_url

import orvelkit.base as base
import orvelkit.tabloom as tabloom
from orvelkit.base import MySQLDatabaseConnector
from support.throwaway_mariadb import sql_identifier

TEMPLATES = [
    "p@ss/w:rd#?%20 x",
    "a@b.c:3306/other",
    "%41%40:@@//?x=1&y=2",
    "q'uo\"te;\\ *** end",
]
SCENARIOS = ["wrong-password", "closed-port", "missing-database", "database-dropped", "success"]
CASES = [(scenario, template) for scenario in SCENARIOS for template in TEMPLATES]


def make_secret(template):
    # Markers at both ends make a leaked fragment recognisable, not only the whole password.
    return f"Zq{uuid.uuid4().hex[:6]}{template}Qz{uuid.uuid4().hex[:6]}"


def leak_forms(secret):
    """Every way a password could surface: as given, percent-encoded, escaped, or in part."""
    return {secret, quote(secret, safe=""), quote(secret), quote_plus(secret),
            secret.encode("unicode_escape").decode("ascii"), repr(secret)[1:-1],
            str(secret.encode("utf-8"))[2:-1], secret[:8], secret[-8:]}


def exception_texts(error):
    """The printed traceback (chained errors included) and the text of each error in it.

    Not repr(): a library's UnicodeEncodeError keeps the whole text it could not encode,
    and the modules never show an error's repr.
    """
    texts = ["".join(traceback.format_exception(error))]
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        texts.append(str(error))
        error = error.__cause__ or error.__context__
    return texts


def record_texts(caplog):
    formatter = logging.Formatter("%(name)s %(levelname)s %(message)s")
    return [formatter.format(r) for r in caplog.records]


def assert_nothing_leaks(secret, said):
    """`said` maps where a text came from to the texts; none may hold the password."""
    leaks = [(where, form, text) for where, texts in said.items() for text in texts
             for form in leak_forms(secret) if form in text]
    assert leaks == [], f"the password surfaced: {leaks[:3]}"


@pytest.fixture
def scenario_target(database, closed_host):
    """Builds (user, host, database name, drop or None) for a scenario, given the password.

    drop, where given, removes the database the account was made for.
    """
    server = database.server
    made, databases = [], []

    def build(scenario, secret):
        user = "rb_" + uuid.uuid4().hex[:8]
        if scenario == "closed-port":
            return user, closed_host, database.name, None
        if scenario == "wrong-password":
            server.create_user(user, "the-right-one", database.name)
            made.append(user)
            return user, database.host, database.name, None
        if scenario == "missing-database":
            server.create_user(user, secret, database.name)
            made.append(user)
            return user, database.host, "missing_" + uuid.uuid4().hex[:8], None
        name = database.name
        if scenario == "database-dropped":
            name = "rbd_" + uuid.uuid4().hex[:8]
            server.create_database(name)
            databases.append(name)
        server.create_user(user, secret, name)
        made.append(user)
        server.execute(f"CREATE TABLE {sql_identifier(name)}.t (a INT)")
        drop = (lambda: server.drop_database(name)) if scenario == "database-dropped" else None
        return user, database.host, name, drop

    yield build
    for user in made:
        server.drop_user(user)
    for name in databases:
        server.drop_database(name)


@pytest.mark.parametrize("scenario, template", CASES)
def test_tabloom_never_tells_the_password(scenario, template, scenario_target, tmp_path,
                                          caplog, capfd):
    secret = make_secret(template)
    user, host, name, drop = scenario_target(scenario, secret)
    caplog.set_level(logging.DEBUG)
    tool = tabloom.MySQLDatabaseTabloom(user, secret, host, name, cache_path=str(tmp_path))
    raised = []
    # After a failed connect the engine is kept, so the other methods fail (and log) too.
    for method in (tool.connect, drop, tool.prepare_data, tool.print_table_schemas):
        try:
            if method is not None:
                method()
        except Exception as error:
            raised.append(error)
    expected_failures = {"success": 0, "database-dropped": 2}.get(scenario, 3)
    assert len(raised) == expected_failures, raised
    out, err = capfd.readouterr()
    assert_nothing_leaks(secret, {
        "log records": record_texts(caplog),
        "exceptions": [t for e in raised for t in exception_texts(e)],
        "printed": [out, err],
        "cache files": [p.read_bytes().decode("utf-8", "replace") for p in tmp_path.iterdir()],
    })
    assert [p.name for p in tmp_path.iterdir()] == (["db_cache.pkl"] if scenario == "success"
                                                    else [])


@pytest.mark.parametrize("scenario, template", CASES)
def test_connector_never_tells_the_password(scenario, template, scenario_target, caplog,
                                            capfd):
    secret = make_secret(template)
    user, host, name, drop = scenario_target(scenario, secret)
    if drop is not None:
        drop()  # the connector's own failure is connecting to a database that went away
    caplog.set_level(logging.DEBUG)
    connector = MySQLDatabaseConnector(user, secret, host, name)
    messages, raised = [], []
    for method in (connector.connect, connector.getdbinstance, connector.connect):
        try:
            method()
        except Exception as error:  # the connector should not raise at all; if it does,
            raised.append(error)    # its text must still keep the secret
        messages.append(str(connector.connection_status["message"]))
    assert connector.connection_status["connected"] is (scenario == "success")
    out, err = capfd.readouterr()
    assert_nothing_leaks(secret, {
        "status messages": messages,
        "log records": record_texts(caplog),
        "exceptions": [t for e in raised for t in exception_texts(e)],
        "printed": [out, err],
    })
    assert raised == []


# PyMySQL sends passwords as latin-1: the driver's own error would quote a character and its
# position; a lone surrogate would fail even earlier, in percent-encoding.
UNSENDABLE_MESSAGE = ("The password cannot be sent: the MySQL driver sends passwords as latin-1, "
                      "and this one holds characters outside it.")
HOST_MESSAGE = ("The host cannot be used: the connection URL would read it as something else. "
                "Give a host name or address, optionally followed by ':' and a port number (an "
                "IPv6 address in brackets).")
DATABASE_MESSAGE = ("The database name cannot be used: the connection URL would read it as "
                    "something else ('?' starts connection options, and SQLAlchemy 2.1 decodes '%' "
                    "escapes).")


def refusal(module, user, password, host, name, monkeypatch):
    """What each module says when it refuses these names, having checked it built nothing."""
    if module == "tabloom":
        with pytest.raises(ValueError) as info:
            tabloom.MySQLDatabaseTabloom(user, password, host, name)
        assert info.value.__context__ is None and info.value.__cause__ is None
        return str(info.value)
    monkeypatch.setattr(base, "create_engine", lambda *a: pytest.fail("create_engine called"))
    connector = MySQLDatabaseConnector(user, password, host, name)
    assert connector.getdbinstance() is None
    status = connector.connect()
    assert status["connected"] is False and connector.db is None
    return status["message"]


@pytest.mark.parametrize("module", ["tabloom", "base"])
@pytest.mark.parametrize("password", ["pässwörd€ 🙂 @/:", "p\udcffw"])
def test_a_password_the_driver_cannot_send_is_refused_in_words_that_quote_none_of_it(
        module, password, database, monkeypatch):
    message = refusal(module, database.user, password, database.host, database.name, monkeypatch)
    assert message == UNSENDABLE_MESSAGE


@pytest.mark.parametrize("module", ["tabloom", "base"])
@pytest.mark.parametrize("host, name, message", [
    ("{host}", "{db}?init_command=CREATE TABLE {db}.injected (i INT)", DATABASE_MESSAGE),
    ("{host}", "{db}?unix_socket=/run/another/server.sock", DATABASE_MESSAGE),
    ("{host}", "{db}?read_default_file=/etc/shadow", DATABASE_MESSAGE),
    ("{host}", "{db}?", DATABASE_MESSAGE),
    ("{host}/{db}?init_command=CREATE TABLE {db}.injected (i INT)", "{db}", HOST_MESSAGE),
    ("{host}?init_command=CREATE TABLE {db}.injected (i INT)", "{db}", HOST_MESSAGE),
    ("127.0.0.1:not-a-port", "{db}", HOST_MESSAGE),
    ("127.0.0.1:03306", "{db}", HOST_MESSAGE),
])
def test_a_host_or_database_the_url_would_misread_is_refused_before_connecting(
        module, host, name, message, database, account, monkeypatch):
    secret = account[1]
    fill = {"host": database.host, "db": database.name}
    said = refusal(module, account[0], secret, host.format(**fill), name.format(**fill),
                   monkeypatch)
    assert said == message and secret not in said
    assert database.execute("SHOW TABLES") == []


@pytest.mark.parametrize("module", ["tabloom", "base"])
@pytest.mark.parametrize("host, expected_host, port, name", [
    ("db.example.com", "db.example.com", None, "sales"),
    ("127.0.0.1:3307", "127.0.0.1", 3307, "Verkäufe_東京"),
    ("[::1]:3306", "::1", 3306, "a/b#c d%zz"),
])
def test_ordinary_names_read_back_exactly_as_given(module, host, expected_host, port, name,
                                                   monkeypatch):
    user, password = "o'@:x/y", "p@ss/w:rd%40#?x=1 'q\""
    if module == "tabloom":
        url = tabloom.MySQLDatabaseTabloom(user, password, host, name).connection_string
    else:
        urls = []
        monkeypatch.setattr(base, "create_engine", lambda url: urls.append(url) or 1 / 0)
        MySQLDatabaseConnector(user, password, host, name).connect()
        [url] = urls
    parsed = make_url(url)
    assert (parsed.username, parsed.password, parsed.host, parsed.port, parsed.database) == (
        user, password, expected_host, port, name)
    assert dict(parsed.query) == {}

"""The test harness itself, against a real MariaDB server."""

from __future__ import annotations

import os
import re
from urllib.parse import quote

import pytest
import sqlalchemy as sa

from support.throwaway_mariadb import MariaDBStartError, ThrowawayMariaDB, sql_string_literal

_names_seen: list = []


def _process_exists(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


@pytest.mark.parametrize("round_", [1, 2])
def test_each_test_gets_a_fresh_database_the_others_cannot_see(database, round_):
    assert re.fullmatch(r"t_[0-9a-f]{12}", database.name)
    assert database.execute("SHOW TABLES") == []

    existing = set(database.server.list_databases())
    assert database.name in existing
    assert not existing & set(_names_seen), "a previous test's database survived"

    database.execute("CREATE TABLE leftover (id INT PRIMARY KEY); INSERT INTO leftover VALUES (1)")
    _names_seen.append(database.name)


def test_url_built_from_host_text_reaches_the_test_database(database):
    # The modules under test build exactly this shape, port inside the host.
    user, password = quote(database.user, safe=""), quote(database.password, safe="")
    url = f"mysql+pymysql://{user}:{password}@{database.host}/{database.name}"
    engine = sa.create_engine(url)
    try:
        with engine.begin() as conn:
            conn.execute(sa.text("CREATE TABLE t (s VARCHAR(20))"))
            conn.execute(sa.text("INSERT INTO t VALUES (:s)"), {"s": "€ 😀 ü"})
        with engine.connect() as conn:
            assert conn.execute(sa.text("SELECT DATABASE()")).scalar() == database.name
            assert conn.execute(sa.text("SELECT s FROM t")).scalar() == "€ 😀 ü"
    finally:
        engine.dispose()


@pytest.mark.parametrize("password", [
    "p@ss/w:rd",
    "%41%%25#?&=+",
    " sp ace 'single' \"double\" back\\slash\\",
    "\\'; DROP DATABASE mysql; --",
])
def test_user_with_url_syntax_password_logs_in_through_url(database, password):
    server = database.server
    user = "u_" + database.name[2:]
    neighbour = database.name.replace("_", "x", 1)  # what an unescaped `_` in GRANT would match
    try:
        server.create_database(neighbour)
        server.create_user(user, password, database.name)
        engine = sa.create_engine(server.url(database.name, user, password))
        try:
            with engine.connect() as conn:
                who = conn.execute(sa.text("SELECT CURRENT_USER(), DATABASE()")).one()
                assert who == (f"{user}@%", database.name)
                with pytest.raises(sa.exc.DBAPIError, match="1044"):
                    conn.execute(sa.text(f"USE `{neighbour}`"))
        finally:
            engine.dispose()
    finally:
        server.drop_user(user)
        server.drop_database(neighbour)


@pytest.mark.parametrize("text", [
    "it's", "back\\slash\\", "\\'; DROP DATABASE mysql; --", "nul\0byte", "ctrl-z\x1a",
    "line\nbreak\r", "% _ wildcards", "€ 😀",
])
def test_string_literal_reaches_the_server_unchanged(database, text):
    assert database.execute(f"SELECT {sql_string_literal(text)}") == [(text,)]


@pytest.mark.parametrize("crash", [True, False], ids=["after-kill", "clean"])
def test_committed_rows_survive_restart(database, crash):
    server = database.server
    if server.external:
        pytest.skip("an external server cannot be killed or restarted")
    database.execute("CREATE TABLE t (id INT PRIMARY KEY); INSERT INTO t VALUES (1), (2)")
    port, old_pid = server.port, server.pid
    if crash:
        server.kill()
        assert not server.is_running
    server.restart()
    assert (server.port, server.is_running) == (port, True)
    assert not _process_exists(old_pid)
    assert database.execute("SELECT COUNT(*) FROM t") == [(2,)]


def test_leaving_the_with_block_stops_the_server_and_removes_its_files(tmp_path):
    with ThrowawayMariaDB(base_dir=str(tmp_path)) as server:
        pid, directory = server.pid, server.directory
        assert server.execute("SELECT 1") == [(1,)]
    assert not _process_exists(pid)
    assert not directory.exists()


def test_failed_start_reports_the_server_log_and_leaves_nothing_behind(tmp_path):
    server = ThrowawayMariaDB(extra_args=["--no-such-option-orvelkit=1"], base_dir=str(tmp_path))
    with pytest.raises(MariaDBStartError, match="no-such-option-orvelkit"):
        server.start()
    assert not server.is_running
    assert list(tmp_path.iterdir()) == []

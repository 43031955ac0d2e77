"""Shared fixtures: one MariaDB server per test session, one database per test.

The server is a throwaway one started on first use, or the existing server
named by ORVELKIT_TEST_MYSQL_HOST / _PORT / _USER / _PASSWORD.  Importing this
file starts nothing; only tests that ask for ``mariadb`` or ``database`` do.
"""

from __future__ import annotations

import os
import sys
import uuid
from dataclasses import dataclass, field
from pathlib import Path
from typing import List

import pytest

# Tests run with --import-mode=importlib and PYTHONSAFEPATH=1, so the
# repository root is not importable unless we say so.
_REPO_ROOT = str(Path(__file__).resolve().parent.parent)
if _REPO_ROOT not in sys.path:
    # Appended, not prepended: the source folder orvelkit/ must never shadow the installed build.
    sys.path.append(_REPO_ROOT)

from support.ports import free_loopback_port  # noqa: E402
from support.throwaway_mariadb import from_environment_or_throwaway  # noqa: E402

# Code under test may build language-model clients; none of them may reach
# the network or a tracing service from a test.
for _name in ("LANGCHAIN_TRACING_V2", "LANGCHAIN_API_KEY", "LANGSMITH_TRACING",
              "LANGSMITH_API_KEY", "OPENAI_API_KEY"):
    os.environ.pop(_name, None)


@dataclass
class TestDatabase:
    """A database that exists only for the duration of one test."""

    __test__ = False  # not a test class, despite the name

    name: str
    host: str  # "127.0.0.1:PORT": the modules put the port inside the host text
    user: str
    password: str
    server: object = field(repr=False)

    @property
    def url(self) -> str:
        return self.server.url(self.name, self.user, self.password)

    def execute(self, sql, params=None) -> List[tuple]:
        """Run SQL (one statement, several ``;``-separated, or a list) here."""
        return self.server.execute(sql, database=self.name, params=params,
                                   user=self.user, password=self.password)


def new_database_name(prefix: str = "t_") -> str:
    return prefix + uuid.uuid4().hex[:12]


@pytest.fixture(scope="session")
def mariadb():
    server = from_environment_or_throwaway()
    server.start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def database(mariadb) -> TestDatabase:
    name = new_database_name()
    mariadb.create_database(name)
    try:
        yield TestDatabase(name=name, host=mariadb.host_port, user=mariadb.user,
                           password=mariadb.password or "", server=mariadb)
    finally:
        # A test that killed the server leaves it down; bring it back so
        # the cleanup (and the next test) still has a server.
        if not mariadb.external and not mariadb.is_running:
            mariadb.restart()
        mariadb.drop_database(name)


@pytest.fixture
def closed_host() -> str:
    """host:port on the loopback interface where nothing listens: refused at once."""
    return f"127.0.0.1:{free_loopback_port()}"


@pytest.fixture
def account(database):
    """A user with a password (the throwaway root has none) and every privilege on the test's
    database; dropped afterwards."""
    name, password = "acct_" + uuid.uuid4().hex[:8], "pw-" + uuid.uuid4().hex[:10]
    database.server.create_user(name, password, database.name)
    yield name, password
    database.server.drop_user(name)

"""The module's namespace, the connector class, and how its failures are reported."""

from __future__ import annotations

import importlib.util
import os

import pytest
import sqlalchemy

import orvelkit.base as base
from orvelkit.base import MySQLDatabaseConnector as Connector
from support import offline_llm as llama
from tests.base.helpers import module_entries


def test_namespace_binds_the_installed_layouts_objects_and_the_class():
    assert base.create_engine is sqlalchemy.create_engine
    assert base.os is os
    assert base.NLSQLTableQueryEngine is llama.NLSQLTableQueryEngine
    assert base.SQLDatabase is llama.SQLDatabase is llama.LLAMA_INDEX.SQLDatabase
    assert base.OpenAI is llama.OpenAI
    assert base.ServiceContext is llama.ServiceContext
    public = {name for name in vars(base) if not name.startswith("__")}
    assert public == {"create_engine", "os", "NLSQLTableQueryEngine", "SQLDatabase", "OpenAI",
                      "ServiceContext", "MySQLDatabaseConnector"}
    assert Connector.__bases__ == (object,) and type(Connector) is type
    assert Connector.__module__ == "orvelkit.base" and Connector.__doc__ is None


@pytest.mark.parametrize("name, varnames, line, defaults", [
    ("__init__", ("self", "db_user", "db_password", "db_host", "db_name"), 101, (None,) * 4),
    ("connect", ("self", "uri", "db_engine", "e"), 109, None),
    ("getdbinstance", ("self", "uri", "db_engine", "e"), 125, None),
])
def test_methods_describe_themselves(name, varnames, line, defaults):
    function = vars(Connector)[name]
    code = function.__code__
    assert function.__qualname__ == f"MySQLDatabaseConnector.{name}"
    assert function.__defaults__ == defaults and function.__doc__ is None
    assert (code.co_name, code.co_varnames, code.co_firstlineno, code.co_filename) == \
        (name, varnames, line, "orvelkit\\base")
    assert code.co_argcount == (5 if name == "__init__" else 1)


def test_construction_keeps_arguments_unchanged():
    password = object()
    connector = Connector("user", password, db_name=0)
    assert vars(connector) == {"db_user": "user", "db_password": password, "db_host": None,
                               "db_name": 0, "db": None,
                               "connection_status": {"connected": False, "message": None}}
    assert list(connector.connection_status) == ["connected", "message"]
    assert Connector().connection_status is not Connector().connection_status
    Connector().getdbinstance()  # writes "All database credentials ..." into its own status
    assert Connector().connection_status == {"connected": False, "message": None}


class RaisingEquality:
    def __eq__(self, other):
        raise ArithmeticError("cannot compare")


def without(name, *values):
    connector = Connector(*values)
    delattr(connector, name)
    return connector


@pytest.mark.parametrize("act, error, message, method, line", [
    (lambda: Connector(1, 2, 3, 4, 5), TypeError,
     "__init__() takes at most 5 positional arguments (6 given)", "__init__", 101),
    (lambda: Connector().connect(1), TypeError,
     "connect() takes exactly 1 positional argument (2 given)", "connect", 109),
    (lambda: Connector().getdbinstance(1), TypeError,
     "getdbinstance() takes exactly 1 positional argument (2 given)", "getdbinstance", 125),
    (lambda: without("db_host", 1, 2, 3, 4).connect(), AttributeError,
     "'MySQLDatabaseConnector' object has no attribute 'db_host'", "connect", 110),
    (lambda: Connector(1, RaisingEquality(), 3, 4).getdbinstance(), ArithmeticError,
     "cannot compare", "getdbinstance", 126),
    (lambda: without("connection_status").connect(), AttributeError,
     "'MySQLDatabaseConnector' object has no attribute 'connection_status'", "connect", 111),
])
def test_failures_outside_the_guarded_block_raise_with_one_entry(act, error, message, method,
                                                                 line):
    with pytest.raises(error) as raised:
        act()
    assert str(raised.value) == message
    qualified = f"orvelkit.base.MySQLDatabaseConnector.{method}"
    assert module_entries(raised.value) == [(qualified, line)]


def test_deleted_db_is_reported_then_raised(closed_host):
    connector = without("db", "user", "secret", closed_host, "shop")
    with pytest.raises(AttributeError) as raised:
        connector.getdbinstance()
    text = "'MySQLDatabaseConnector' object has no attribute 'db'"
    assert str(raised.value) == text
    assert connector.connection_status["message"] == text
    assert module_entries(raised.value) == [
        ("orvelkit.base.MySQLDatabaseConnector.getdbinstance", 138)]

"""Fixtures for the MySQL connector: a create_engine spy, a closed port, a seeded database."""

from __future__ import annotations

import socket

import pytest

import orvelkit.base


@pytest.fixture
def engine_calls(monkeypatch):
    """Every call the module makes to create_engine, passed on to SQLAlchemy's own."""
    calls = []
    real = orvelkit.base.create_engine

    def spy(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(orvelkit.base, "create_engine", spy)
    return calls


@pytest.fixture
def closed_host():
    """host:port on the loopback interface where nothing listens: refused at once."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return f"127.0.0.1:{port}"


@pytest.fixture
def sales(database):
    database.execute([
        "CREATE TABLE sales (city VARCHAR(20) PRIMARY KEY, total INT NOT NULL)",
        "CREATE TABLE regions (name VARCHAR(20) PRIMARY KEY)",
        "INSERT INTO sales VALUES ('Bergen', 80), ('Oslo', 120)",
    ])
    return database


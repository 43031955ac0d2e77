"""Fixtures for the MySQL connector: a create_engine spy, a closed port, a seeded database."""

from __future__ import annotations


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
def sales(database):
    database.execute([
        "CREATE TABLE sales (city VARCHAR(20) PRIMARY KEY, total INT NOT NULL)",
        "CREATE TABLE regions (name VARCHAR(20) PRIMARY KEY)",
        "INSERT INTO sales VALUES ('Bergen', 80), ('Oslo', 120)",
    ])
    return database


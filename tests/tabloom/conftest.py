"""Fixtures for the table-cache tool: a real account on the test's database and a tool factory."""

import logging
import traceback

import pytest

import orvelkit.tabloom as tabloom

# Realistic column types, NULLs, an empty table, and columns named like DataFrame attributes.
SCHEMA = """
CREATE TABLE customers (id INT PRIMARY KEY, name VARCHAR(40) NOT NULL, email VARCHAR(80),
  balance DECIMAL(10,2), score DOUBLE, ratio FLOAT, joined DATE, last_seen DATETIME, notes TEXT,
  big BIGINT NOT NULL);
INSERT INTO customers VALUES
  (1, 'Ada', 'ada@example.com', 1234.50, 0.25, 1.5, '2024-01-31', '2024-02-01 13:45:10', 'first',
   9007199254740993),
  (2, 'Bob', NULL, NULL, NULL, NULL, NULL, NULL, NULL, -5);
CREATE TABLE empty_table (id INT, label VARCHAR(10));
CREATE TABLE attrs_like (name VARCHAR(10), `index` INT, `columns` INT, `values` INT, shape INT,
  T INT, attrs INT);
INSERT INTO attrs_like VALUES ('row1', 1, 2, 3, 4, 5, 6), ('row2', 7, 8, 9, 10, 11, 12);
"""


@pytest.fixture
def seeded(database):
    """The database filled with SCHEMA; the table names in the inspector's order."""
    database.execute(SCHEMA)
    return ["attrs_like", "customers", "empty_table"]



@pytest.fixture
def make_tool(database, account, tmp_path):
    def make(user=None, password=None, **kwargs):
        kwargs.setdefault("cache_path", str(tmp_path))
        return tabloom.MySQLDatabaseTabloom(user or account[0], password or account[1],
                                            database.host, database.name, **kwargs)
    return make


@pytest.fixture
def records(caplog):
    """(level name, message) of every record the tool logs (to the root logger) in the test."""
    caplog.set_level(logging.INFO)
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "root"]


@pytest.fixture
def entries():
    """Lines of the tool's traceback entries for one method, outermost first; checks the file."""
    def walk(exc, function):
        frames = [f for f in traceback.extract_tb(exc.__traceback__)
                  if f.name == "orvelkit.tabloom.MySQLDatabaseTabloom." + function]
        assert {f.filename for f in frames} <= {"orvelkit\\tabloom"}
        return [f.lineno for f in frames]
    return walk

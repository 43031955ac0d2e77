"""getdbinstance: the llama_index SQLDatabase a connector hands out, used for real."""

from __future__ import annotations

import pytest

import orvelkit.base as base
from orvelkit.base import MySQLDatabaseConnector as Connector
from support.offline_llm import FixedSQLLLM, SQLDatabase, offline_models
from tests.base.helpers import credentials


def test_builds_once_on_demand_and_leaves_the_status_alone(sales, engine_calls):
    connector = Connector(*credentials(sales))
    db = connector.getdbinstance()
    assert isinstance(db, SQLDatabase) and connector.db is db
    assert connector.getdbinstance() is db
    assert len(engine_calls) == 1
    assert connector.connection_status == {"connected": False, "message": None}
    assert sorted(db.get_usable_table_names()) == ["regions", "sales"]


def test_hands_out_the_connected_database_for_real_queries(sales, engine_calls):
    connector = Connector(*credentials(sales))
    connector.connect()
    db = connector.getdbinstance()
    assert db is connector.db and connector.getdbinstance() is db
    assert len(engine_calls) == 1
    assert sorted(db.get_usable_table_names()) == ["regions", "sales"]
    text, meta = db.run_sql("SELECT city, total FROM sales ORDER BY total")
    assert [tuple(row) for row in meta["result"]] == [("Bergen", 80), ("Oslo", 120)]
    db.run_sql("INSERT INTO regions VALUES ('West')")
    assert sales.execute("SELECT name FROM regions") == [("West",)]


class NeverAsked:
    def __bool__(self):
        raise AssertionError("a present database object must not be tested for truth")


@pytest.mark.parametrize("present", [0, "", [], NeverAsked()])
def test_present_object_is_returned_as_is_even_when_false(engine_calls, closed_host, present):
    connector = Connector("user", "secret", closed_host, "shop")
    connector.db = present
    assert connector.getdbinstance() is present
    assert engine_calls == []
    assert connector.connection_status == {"connected": False, "message": None}


def property_db(reads):
    class PropertyDb(Connector):
        @property
        def db(self):
            reads.append(object())
            return reads[-1]

        @db.setter
        def db(self, value):
            pass

    return PropertyDb


def hooked_db(reads):
    class HookedDb(Connector):
        def __getattribute__(self, name):
            if name != "db":
                return super().__getattribute__(name)
            reads.append(object())
            return reads[-1]

    return HookedDb


@pytest.mark.parametrize("subclass", [property_db, hooked_db])
def test_db_is_read_again_on_return_when_a_read_can_run_code(closed_host, subclass):
    # Lines 131 and 138 each read self.db; a class that answers each read anew must be asked twice
    # and its second answer handed out.
    reads = []
    connector = subclass(reads)("user", "secret", closed_host, "shop")
    assert connector.getdbinstance() is reads[-1]
    assert len(reads) == 2


def test_query_engine_answers_with_rows_from_the_database(sales):
    connector = Connector(*credentials(sales))
    assert connector.connect()["connected"] is True
    llm = FixedSQLLLM(sql="SELECT city, total FROM sales ORDER BY total DESC",
                      answer="Oslo sells the most.")
    engine = base.NLSQLTableQueryEngine(sql_database=connector.getdbinstance(),
                                        tables=["sales"], **offline_models(llm))
    response = engine.query("Which city sells the most?")
    assert str(response) == "Oslo sells the most."
    assert [tuple(row) for row in response.metadata["result"]] == [("Oslo", 120), ("Bergen", 80)]

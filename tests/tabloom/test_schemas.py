"""The schema listing on standard output, against the real server."""

import types

import pytest

import orvelkit.tabloom as tabloom


def test_every_table_and_column_is_printed_in_order(seeded, make_tool, tmp_path, capsys, records):
    tool = make_tool()
    tool.connect()
    assert tool.print_table_schemas() is None
    assert capsys.readouterr().out.splitlines() == [
        "Table: attrs_like", "  name: VARCHAR(10)", "  index: INTEGER", "  columns: INTEGER",
        "  values: INTEGER", "  shape: INTEGER", "  T: INTEGER", "  attrs: INTEGER",
        "Table: customers", "  id: INTEGER", "  name: VARCHAR(40)", "  email: VARCHAR(80)",
        "  balance: DECIMAL(10, 2)", "  score: DOUBLE", "  ratio: FLOAT", "  joined: DATE",
        "  last_seen: DATETIME", "  notes: TEXT", "  big: BIGINT",
        "Table: empty_table", "  id: INTEGER", "  label: VARCHAR(10)"]
    assert list(tmp_path.iterdir()) == [] and [level for level, _ in records()] == ["INFO"]


def test_a_bad_column_description_is_logged_after_the_lines_before_it(
        make_tool, capsys, monkeypatch, records, entries):
    columns = {"t": [{"name": "a", "type": "INT"}, {"name": "b"}]}
    inspector = types.SimpleNamespace(get_table_names=lambda: ("t",), get_columns=columns.get)
    monkeypatch.setattr(tabloom, "inspect", lambda engine: inspector)
    tool = make_tool()
    tool.engine = object()
    with pytest.raises(KeyError) as info:
        tool.print_table_schemas()
    assert capsys.readouterr().out == "Table: t\n  a: INT\n"
    assert records() == [("ERROR", "Error fetching table schemas: 'type'")]
    assert entries(info.value, "print_table_schemas") == [81, 78]

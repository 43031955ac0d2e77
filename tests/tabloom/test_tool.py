"""Module namespace, construction and connect, against the real server."""

import builtins
import gc
import sys
import types
import uuid

import pytest
import sqlalchemy
from sqlalchemy.engine import make_url

import orvelkit.tabloom as tabloom

Tool = tabloom.MySQLDatabaseTabloom
REAL_VALUE_ERROR = ValueError


def raiser(exc):
    def fail(*args):
        raise exc
    return fail


def test_namespace_class_and_code_objects():
    assert {k for k in vars(tabloom) if not k.startswith("__")} == {
        "sqlalchemy", "inspect", "pd", "os", "pickle", "logging", "datetime", "timedelta",
        "create_engine", "SQLAlchemyError", "MySQLDatabaseTabloom"}
    assert type(Tool) is type and Tool.__bases__ == (object,) and Tool.__doc__ is None
    assert Tool.__init__.__defaults__ == (".", "db_cache.pkl")
    code = {name: (f.__qualname__, f.__code__.co_firstlineno, f.__code__.co_varnames)
            for name, f in vars(Tool).items() if name == "__init__" or not name.startswith("_")}
    assert code == {
        "__init__": ("MySQLDatabaseTabloom.__init__", 17, ("self", "username", "password", "host",
                                                           "database", "cache_path", "cache_file")),
        "connect": ("MySQLDatabaseTabloom.connect", 27, ("self", "conn", "e")),
        "prepare_data": ("MySQLDatabaseTabloom.prepare_data", 39, (
            "self", "cache_full_path", "file", "e", "dataframes", "connection", "inspector",
            "table_name", "df")),
        "print_table_schemas": ("MySQLDatabaseTabloom.print_table_schemas", 69, (
            "self", "inspector", "table_name", "column", "e"))}


@pytest.mark.parametrize("args", [(None, "p", "h", "d"), ("u", "", "h", "d"), ("u", "p", 0, "d"),
                                  ("u", "p", "h", []), ("u", "p", "h", False)])
def test_a_false_connection_parameter_is_refused_before_anything_is_set(args, entries):
    tool = Tool.__new__(Tool)
    with pytest.raises(ValueError, match=r"^All connection parameters must be provided and not None\.$") as info:
        tool.__init__(*args)
    assert vars(tool) == {} and entries(info.value, "__init__") == [20]


def test_url_keeps_every_credential_intact_and_the_rest_as_given():
    user, password = "o'@:x/y", "p@ss/w:rd%40#? 'q\""
    tool = Tool(user, password, "db.example:3307", 5)
    url = make_url(tool.connection_string)
    assert (url.username, url.password, url.host, url.port, url.database) == (
        user, password, "db.example", 3307, "5")
    assert tool.connection_string.startswith("mysql+pymysql://")
    assert (tool.engine, tool.cache_path, tool.cache_file) == (None, ".", "db_cache.pkl")


@pytest.mark.parametrize("call, message", [
    (lambda: Tool("u", "p"), "__init__() takes at least 5 positional arguments (3 given)"),
    (lambda: Tool(*"abcdefg"), "__init__() takes at most 7 positional arguments (8 given)"),
    (lambda: Tool(*"uphd").connect(1), "connect() takes exactly 1 positional argument (2 given)"),
    (lambda: Tool(*"uphd").prepare_data(1), "prepare_data() takes exactly 1 positional argument (2 given)"),
])
def test_argument_count_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_connect_logs_once_and_makes_a_new_engine_each_time(make_tool, records):
    tool = make_tool()
    assert tool.connect() is None
    first = tool.engine
    tool.connect()
    assert isinstance(first, sqlalchemy.engine.Engine) and tool.engine is not first
    assert records() == [("INFO", "Successfully connected to the database.")] * 2


def test_credentials_with_url_syntax_reach_the_server(database, make_tool):
    user, password = "o'@:x" + uuid.uuid4().hex[:4], "p@ss/w:rd%40#? 'q\"" + uuid.uuid4().hex[:4]
    database.server.create_user(user, password, database.name)
    try:
        database.execute("CREATE TABLE t (a INT); INSERT INTO t VALUES (7)")
        tool = make_tool(user, password)
        tool.connect()
        [table] = tool.prepare_data()
        assert table.name == "t" and table["a"].tolist() == [7]
    finally:
        database.server.drop_user(user)


def test_unreachable_server_is_logged_reraised_and_the_engine_kept(records, entries, closed_host):
    tool = Tool("u", "p", closed_host, "d")
    with pytest.raises(sqlalchemy.exc.OperationalError) as info:
        tool.connect()
    assert isinstance(tool.engine, sqlalchemy.engine.Engine)
    assert records() == [("ERROR", "Error connecting to the database: " + str(info.value))]
    assert entries(info.value, "connect") == [36, 31]


def test_a_failing_error_text_replaces_the_caught_error(monkeypatch, entries):
    class Unprintable(sqlalchemy.exc.SQLAlchemyError):
        def __str__(self):
            raise RuntimeError("no text")
    original = Unprintable()
    monkeypatch.setattr(tabloom, "create_engine", raiser(original))
    with pytest.raises(RuntimeError, match="no text") as info:
        Tool("u", "p", "h", "d").connect()
    assert info.value.__context__ is original
    assert (entries(info.value, "connect"), entries(original, "connect")) == ([35], [29])


@pytest.mark.parametrize("name, method, cached", [
    ("create_engine", "connect", False), ("pd", "prepare_data", False),
    ("pickle", "prepare_data", True), ("inspect", "print_table_schemas", False)])
def test_keyboard_interrupt_passes_through_untouched(name, method, cached, database, make_tool,
                                                     tmp_path, monkeypatch, records):
    database.execute("CREATE TABLE t (a INT)")
    if cached:
        (tmp_path / "db_cache.pkl").write_bytes(b"anything")
    tool = make_tool()
    tool.connect()
    fake = types.SimpleNamespace(read_sql_table=raiser(KeyboardInterrupt), load=raiser(KeyboardInterrupt))
    monkeypatch.setattr(tabloom, name, fake if name in ("pd", "pickle") else raiser(KeyboardInterrupt))
    engine = tool.engine
    with pytest.raises(KeyboardInterrupt):
        getattr(tool, method)()
    assert records() == [("INFO", "Successfully connected to the database.")] and tool.engine is engine
    assert [p.name for p in tmp_path.iterdir()] == (["db_cache.pkl"] if cached else [])


def test_cached_builtins_cannot_be_replaced(seeded, make_tool, monkeypatch, capsys):
    with monkeypatch.context() as patch:
        for module in (tabloom, builtins):
            patch.setattr(module, "all", lambda values: True, raising=False)
            patch.setattr(module, "ValueError", KeyError, raising=False)
        with pytest.raises(REAL_VALUE_ERROR, match="^All connection"):
            Tool("u", "", "h", "d")
    for module in (tabloom, builtins):
        for name in ("open", "print"):
            monkeypatch.setattr(module, name, raiser(AssertionError(name)), raising=False)
    tool = make_tool()
    tool.connect()
    built, cached = tool.prepare_data(), tool.prepare_data()  # writes, then reads the cache
    assert [t.name for t in built] == [t.name for t in cached] == seeded
    tool.print_table_schemas()
    assert capsys.readouterr().out.startswith("Table: attrs_like\n  name: VARCHAR(10)\n")


def test_failing_calls_leak_no_references(monkeypatch):
    monkeypatch.setattr(tabloom, "create_engine", lambda url: Tool.no_such_attribute)
    password = "p" * 3 + uuid.uuid4().hex
    tool = Tool("u", password, "h", "d")
    actions = (lambda: Tool(None, password, "h", "d"), lambda: tool.connect(),
               lambda: tool.print_table_schemas(), lambda: Tool("u", password),
               lambda: Tool("u", password, "h:x", "d"), lambda: Tool("u", password, "h", "d?x"))
    gc.collect()
    before = sys.getrefcount(password), sys.getrefcount(tool), sys.getrefcount(Tool)
    for _ in range(1000):
        for action in actions:
            with pytest.raises(Exception):
                action()
    del action
    gc.collect()
    assert (sys.getrefcount(password), sys.getrefcount(tool), sys.getrefcount(Tool)) == before

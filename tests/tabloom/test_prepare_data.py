"""Loading every table through the pickle cache, against the real server."""

import json
import math
import os
import pickle
import subprocess
import sys
import threading
import types

import pandas as pd
import pytest
import sqlalchemy

import orvelkit.tabloom as tabloom
from support.throwaway_mariadb import sql_identifier, sql_string_literal

# pandas 3 reads a NULL text as NaN in a column of dtype str, and wraps a failed read in its own
# DatabaseError; earlier releases give None in an object column and SQLAlchemy's error itself.
PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3


def read_directly(tool, table):
    """What pandas itself makes of `table` over the tool's engine: a DataFrame, or the error."""
    try:
        with tool.engine.connect() as connection:
            return pd.read_sql_table(table, connection)
    except Exception as error:
        return error


def assert_cached(path, tables, source=None):
    """The cache is ours, not writable by others, a plain pickle of the tables, each recording
    where it was read from (never the password); no stray files."""
    info = path.stat()
    assert info.st_mode & 0o022 == 0 and info.st_uid == os.geteuid()
    stored = pickle.loads(path.read_bytes())
    assert [t.attrs["orvelkit.table_name"] for t in stored] == [t.name for t in tables]
    if source is not None:
        assert [t.attrs["orvelkit.source"] for t in stored] == [source] * len(tables)
    for stored_table, table in zip(stored, tables):
        pd.testing.assert_frame_equal(stored_table, table)
    assert [p.name for p in path.parent.iterdir()] == [path.name]


def test_every_table_is_read_named_and_cached(seeded, make_tool, tmp_path):
    tool = make_tool()
    tool.connect()
    tables = tool.prepare_data()
    assert [t.name for t in tables] == seeded
    attrs_like, customers, empty = tables
    assert attrs_like.to_dict("list") == {
        "name": ["row1", "row2"], "index": [1, 7], "columns": [2, 8], "values": [3, 9],
        "shape": [4, 10], "T": [5, 11], "attrs": [6, 12]}
    assert customers["big"].tolist() == [9007199254740993, -5]
    assert customers["balance"][0] == 1234.5 and math.isnan(customers["balance"][1])
    pd.testing.assert_frame_equal(customers, read_directly(tool, "customers"))
    if PANDAS_3:
        assert customers["email"].dtype == "str" and math.isnan(customers["email"][1])
    else:
        assert customers["email"].dtype == object and customers["email"][1] is None
    assert customers["email"][0] == "ada@example.com"
    assert customers["joined"][0] == pd.Timestamp("2024-01-31") and customers["joined"].isna()[1]
    assert customers["last_seen"][0] == pd.Timestamp("2024-02-01 13:45:10")
    assert (customers["score"][0], customers["ratio"][0]) == (0.25, 1.5)
    assert list(empty.columns) == ["id", "label"] and len(empty) == 0
    assert_cached(tmp_path / "db_cache.pkl", tables)


def test_later_calls_are_served_from_the_cache_with_names(database, seeded, make_tool, records):
    first = make_tool()
    first.connect()
    fresh = first.prepare_data()
    database.server.drop_database(database.name)
    again = make_tool().prepare_data()  # no connect: the database is never needed
    assert [t.name for t in again] == seeded and again[0]["name"].tolist() == ["row1", "row2"]
    for cached, table in zip(again, fresh):
        pd.testing.assert_frame_equal(cached, table)
    assert [level for level, _ in records()] == ["INFO"]


def test_a_cached_empty_list_is_never_served(database, make_tool, tmp_path, capsys, records):
    # An empty list carries no record of its source, so it could be any database's.
    tool = make_tool()
    tool.connect()
    assert tool.prepare_data() == []
    assert pickle.loads((tmp_path / "db_cache.pkl").read_bytes()) == []
    tool.print_table_schemas()
    assert capsys.readouterr().out == ""
    database.execute("CREATE TABLE late (a INT)")
    assert [t.name for t in tool.prepare_data()] == ["late"]
    (tmp_path / "db_cache.pkl").write_bytes(pickle.dumps([]))
    with pytest.raises(ConnectionError):
        make_tool().prepare_data()
    assert [level for level, _ in records()] == ["INFO"]


@pytest.mark.parametrize("method, line", [("prepare_data", 49), ("print_table_schemas", 71)])
def test_without_connect_nothing_is_read_written_or_logged(method, line, make_tool, tmp_path,
                                                           capsys, records, entries):
    with pytest.raises(ConnectionError, match=r"^Database connection not established\.$") as info:
        getattr(make_tool(), method)()
    assert records() == [] and list(tmp_path.iterdir()) == [] and capsys.readouterr().out == ""
    assert entries(info.value, method) == [line]


def test_a_cache_holding_something_else_is_returned_as_it_is(make_tool, tmp_path):
    (tmp_path / "db_cache.pkl").write_bytes(pickle.dumps([{"a": 1}, pd.DataFrame({"name": [1]}), "x"]))
    loaded = make_tool().prepare_data()
    assert loaded[0] == {"a": 1} and loaded[2] == "x" and loaded[1]["name"].tolist() == [1]


@pytest.mark.parametrize("content, mode, owner, reason", [
    (b"\x00not a pickle", 0o600, 0, "Error loading cache: "),
    (pickle.dumps([pd.DataFrame({"a": range(100)})])[:-40], 0o644, 0, "Error loading cache: "),
    (None, 0o664, 0, "Error loading cache: refusing to load {}: writable by group or others"),
    (None, 0o644, 1, "Error loading cache: refusing to load {}: owned by another user"),
])
def test_an_unusable_cache_is_logged_then_rebuilt_from_the_database(
        content, mode, owner, reason, seeded, make_tool, tmp_path, records):
    if owner and os.geteuid() != 0:
        pytest.skip("needs root to give the file away")
    path, marker = tmp_path / "db_cache.pkl", tmp_path / "ran"
    # Loading this one would run os.mkdir: a refused file must never be unpickled.
    path.write_bytes(content or b"cposix\nmkdir\n(V" + str(marker).encode() + b"\ntR.")
    path.chmod(mode)
    os.chown(path, os.geteuid() + owner, -1)
    tool = make_tool()
    tool.connect()
    tables = tool.prepare_data()
    assert [t.name for t in tables] == seeded and not marker.exists()
    [(level, message)] = records()[1:]
    assert level == "ERROR" and message.startswith(reason.format(path))
    assert_cached(path, tables)


def run(action):
    try:
        return action()
    except Exception as error:
        return error


@pytest.mark.parametrize("kind", ["fifo", "directory", "device"])
def test_a_cache_path_that_is_no_regular_file_is_refused_without_waiting(
        kind, seeded, make_tool, tmp_path, records):
    path = tmp_path / "db_cache.pkl"
    {"fifo": os.mkfifo, "directory": os.mkdir,
     "device": lambda p: os.symlink("/dev/zero", p)}[kind](path)
    tool = make_tool()
    tool.connect()
    outcome = []
    worker = threading.Thread(target=lambda: outcome.append(run(tool.prepare_data)), daemon=True)
    worker.start()
    worker.join(60)
    if worker.is_alive():  # hanging in open(): a writer lets it go on, the test fails anyway
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
        pytest.fail("prepare_data waited on the cache path")
    [result] = outcome
    assert records()[1] == (
        "ERROR", f"Error loading cache: refusing to load {path}: not a regular file")
    if kind == "directory":  # read as usual, and replacing it fails as usual
        assert isinstance(result, IsADirectoryError) and path.is_dir()
        return
    assert [t.name for t in result] == seeded and len(records()) == 2
    assert_cached(path, result)


@pytest.mark.parametrize("length", [245, 255])
def test_every_legal_cache_name_can_be_written(length, seeded, make_tool, tmp_path, records):
    name = "c" * (length - 4) + ".pkl"
    tool = make_tool(cache_file=name)
    tool.connect()
    tables = tool.prepare_data()
    assert_cached(tmp_path / name, tables)
    assert [t.name for t in make_tool(cache_file=name).prepare_data()] == seeded
    assert [level for level, _ in records()] == ["INFO"]


@pytest.mark.parametrize("differs", ["user", "host", "database"])
def test_a_cache_written_for_another_source_is_refused_and_replaced(
        differs, database, seeded, account, make_tool, tmp_path, records):
    server, path = database.server, tmp_path / "db_cache.pkl"
    first = make_tool()
    first.connect()
    first.prepare_data()
    user, host, name = account[0], database.host, database.name
    if differs == "user":
        user = "other_" + database.name[-6:]
        server.create_user(user, account[1], database.name)
    elif differs == "host":
        host = host.replace("127.0.0.1", "localhost")
    else:
        name = database.name + "_b"
        server.create_database(name)
        server.execute(f"CREATE TABLE {sql_identifier(name)}.only_here (a INT)")
        server.execute(f"GRANT ALL ON {sql_identifier(name)}.* TO {sql_string_literal(user)}@'%'")
    try:
        second = tabloom.MySQLDatabaseTabloom(user, account[1], host, name, cache_path=str(tmp_path))
        second.connect()
        tables = second.prepare_data()
    finally:
        if differs == "user":
            server.drop_user(user)
        elif differs == "database":
            server.drop_database(name)
    assert [t.name for t in tables] == (["only_here"] if differs == "database" else seeded)
    assert [m for level, m in records() if level == "ERROR"] == [
        f"Error loading cache: refusing to load {path}: written for another user, host or database"]
    assert_cached(path, tables, {"user": user, "host": host, "database": name})
    assert account[1] not in path.read_bytes().decode("utf-8", "replace")


# A cached table whose attrs is made anew at each read, so only the reader keeps the recorded
# source alive. In a child with plain malloc that scribbles over freed blocks, so a record read
# after its dict was freed cannot pass for the real one.
FRESH_ATTRS_CHILD = """
import json, logging, pickle, sys
import pandas as pd
import orvelkit.tabloom as tabloom

user, password, host, name, folder, recorded = sys.argv[1:]

class FreshAttrs(pd.DataFrame):
    @property
    def attrs(self):
        return {"orvelkit.source": json.loads(recorded)}

    @attrs.setter
    def attrs(self, value):  # unpickling restores attrs; this table ignores them
        pass

with open(folder + "/db_cache.pkl", "wb") as f:
    pickle.dump([FreshAttrs({"a": [1]})], f)
errors = []
logging.getLogger().addHandler(type("H", (logging.Handler,), {
    "emit": lambda self, r: errors.append(r.getMessage()) if r.levelname == "ERROR" else None})())
tool = tabloom.MySQLDatabaseTabloom(user, password, host, name, cache_path=folder)
tool.connect()
tables = tool.prepare_data()
print(json.dumps([[type(t).__name__ for t in tables], errors]))
"""


@pytest.mark.parametrize("differs", [False, True], ids=["same source", "another source"])
def test_a_cached_record_that_only_the_read_keeps_alive_is_compared_whole(
        differs, database, seeded, account, tmp_path):
    recorded = {"user": account[0], "host": database.host,
                "database": database.name + ("_b" if differs else "")}
    env = dict(os.environ, PYTHONSAFEPATH="1", PYTHONMALLOC="malloc", MALLOC_PERTURB_="165")
    done = subprocess.run([sys.executable, "-c", FRESH_ATTRS_CHILD, *account, database.host,
                           database.name, str(tmp_path), json.dumps(recorded)],
                          capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    kinds, errors = json.loads(done.stdout)
    if differs:
        assert kinds == ["DataFrame"] * len(seeded)
        assert [e.rsplit(": ", 1)[-1] for e in errors] == [
            "written for another user, host or database"]
    else:
        assert (kinds, errors) == (["FreshAttrs"], [])


def test_a_failed_write_keeps_the_earlier_cache_and_leaves_no_file(
        seeded, make_tool, tmp_path, monkeypatch, records, entries):
    earlier = pickle.dumps(["earlier"])
    (tmp_path / "db_cache.pkl").write_bytes(earlier)

    def dump(obj, file):
        file.write(b"partial pickle")
        raise OSError("disk full")
    monkeypatch.setattr(tabloom, "pickle", types.SimpleNamespace(load=pickle.loads, dump=dump))
    tool = make_tool()
    tool.connect()
    with pytest.raises(OSError, match="^disk full$") as info:
        tool.prepare_data()
    assert [p.name for p in tmp_path.iterdir()] == ["db_cache.pkl"]
    assert (tmp_path / "db_cache.pkl").read_bytes() == earlier
    assert [m[:21] for _, m in records()][1:] == ["Error loading cache: ", "Error fetching tables"]
    assert entries(info.value, "prepare_data") == [66, 60, 61]


@pytest.mark.parametrize("where, error", [("missing/dir", FileNotFoundError),
                                          ("a_file", NotADirectoryError)])
def test_an_unusable_cache_directory_fails_every_time_and_caches_nothing(
        where, error, seeded, make_tool, tmp_path, records, entries):
    (tmp_path / "a_file").write_text("")
    tool = make_tool(cache_path=str(tmp_path / where))
    tool.connect()
    for _ in range(2):
        with pytest.raises(error) as info:
            tool.prepare_data()
        assert info.value.filename == str(tmp_path / where / "db_cache.pkl")
        assert entries(info.value, "prepare_data") == [66, 60]
    assert [p.name for p in tmp_path.iterdir()] == ["a_file"]
    assert [m for _, m in records()][1:] == ["Error fetching tables: " + str(info.value)] * 2


def test_an_unreadable_table_is_logged_reraised_and_nothing_cached(
        database, make_tool, tmp_path, records, entries):
    database.execute("CREATE TABLE a (x INT); CREATE TABLE b (y INT)")
    user, password = "tl_grants_" + database.name[-6:], "pw-grants"
    database.server.create_user(user, password)
    for privilege, table in (("SELECT", "a"), ("INSERT", "b")):
        database.execute(f"GRANT {privilege} ON {sql_identifier(database.name)}.{table} "
                         f"TO {sql_string_literal(user)}@'%'")
    try:
        tool = make_tool(user, password)
        tool.connect()
        direct = read_directly(tool, "b")
        with pytest.raises(Exception, match="SELECT command denied") as info:
            tool.prepare_data()
    finally:
        database.server.drop_user(user)
    # The caller gets what pandas raised, and the log says the same.
    assert type(info.value) is type(direct) and str(info.value) == str(direct)
    if PANDAS_3:
        assert isinstance(info.value, pd.errors.DatabaseError)
        assert isinstance(info.value.__cause__, sqlalchemy.exc.DBAPIError)
    else:
        assert isinstance(info.value, sqlalchemy.exc.DBAPIError)
    assert records()[1:] == [("ERROR", "Error fetching tables: " + str(info.value))]
    assert entries(info.value, "prepare_data") == [66, 53, 56]
    assert list(tmp_path.iterdir()) == []


def test_server_lost_between_connect_and_prepare_data(database, seeded, make_tool, tmp_path,
                                                      records, entries):
    if database.server.external:
        pytest.skip("cannot stop an external server")
    tool = make_tool()
    tool.connect()
    database.server.kill()
    try:
        with pytest.raises(sqlalchemy.exc.OperationalError) as info:
            tool.prepare_data()
    finally:
        database.server.restart()
    assert records()[1:] == [("ERROR", "Error fetching tables: " + str(info.value))]
    assert entries(info.value, "prepare_data") in ([66, 53], [66, 53, 54], [66, 53, 55])
    assert list(tmp_path.iterdir()) == []
    assert [t.name for t in tool.prepare_data()] == seeded

"""The demo's account of where its tables came from, and the files it keeps between runs."""

from __future__ import annotations

import importlib.util
import json
import os
import socket
import sys
import threading
import uuid
from datetime import date
from pathlib import Path

import pytest

from support.ports import free_loopback_port
from support.throwaway_mariadb import MariaDBNotInstalled, ThrowawayMariaDB

ROOT = Path(__file__).resolve().parent.parent
GOOD_NOTE = {"seed": "ab12", "source": {"user": "u", "host": "127.0.0.1:1", "database": "d"}}
SAME, OTHER = (1, 10, 100, 1000), (1, 11, 101, 1001)
DAY = date(2024, 6, 1)


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("orvelkit_demo_script", ROOT / "demo" / "demo.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    try:
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.modules.pop(spec.name, None)


def note_bytes(**changes) -> bytes:
    note = {**GOOD_NOTE, **changes}
    return json.dumps(note).encode()


@pytest.mark.parametrize("content", [
    b"\x80\x81 not UTF-8",
    b'{"seed": "ab12", "source": ',
    b"[1, 2]",
    note_bytes(seed=12),
    note_bytes(source={"user": "u", "host": "127.0.0.1:1"}),
    note_bytes(source={"user": "u", "host": 1, "database": "d"}),
    note_bytes(source="u@h/d"),
    b" " * (64 * 1024) + note_bytes(),
], ids=["not-utf8", "truncated", "not-an-object", "seed-not-text", "source-incomplete",
        "host-not-text", "source-not-an-object", "oversized"])
def test_a_note_the_demo_could_not_have_written_counts_as_none(demo, tmp_path, content):
    path = tmp_path / "note.json"
    path.write_bytes(content)
    assert demo.read_seed_note(path) is None


@pytest.mark.parametrize("kind", ["fifo", "directory", "symlink"])
def test_a_note_that_is_no_regular_file_is_neither_read_nor_waited_on(demo, tmp_path, kind):
    path = tmp_path / "note.json"
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        path.mkdir()
    else:
        (tmp_path / "elsewhere.json").write_bytes(note_bytes())
        path.symlink_to(tmp_path / "elsewhere.json")
    found = []
    reader = threading.Thread(target=lambda: found.append(demo.read_seed_note(path)), daemon=True)
    reader.start()
    reader.join(10)
    if reader.is_alive():  # let the blocked open return before the directory goes
        with open(path, "wb"):
            pass
        pytest.fail("reading the note waited on a FIFO")
    assert found == [None]


def test_a_note_reads_back_as_written_and_only_its_owner_can_read_it(demo, tmp_path):
    path = tmp_path / "note.json"
    demo.write_seed_note(path, GOOD_NOTE["seed"], GOOD_NOTE["source"])
    assert demo.read_seed_note(path) == GOOD_NOTE
    assert path.stat().st_mode & 0o777 == 0o600
    assert os.listdir(tmp_path) == ["note.json"]


@pytest.mark.parametrize("noted, cached, kept, reason", [
    ("ab12", True, True, None),
    ("ff00", True, False, "the seeded data changed"),
    (None, True, False, "nothing recorded"),
    ("ff00", False, False, None),
], ids=["same-seed", "other-seed", "no-note", "other-seed-no-cache"])
def test_the_cache_is_kept_only_while_its_note_names_this_seed(demo, tmp_path, noted, cached,
                                                                kept, reason):
    cache, note_path = tmp_path / "db_cache.pkl", tmp_path / "note.json"
    if cached:
        cache.write_bytes(b"tables")
    note = None
    if noted:
        demo.write_seed_note(note_path, noted, GOOD_NOTE["source"])
        note = demo.read_seed_note(note_path)
    said = demo.forget_stale_cache(cache, note_path, "ab12", note)
    assert cache.exists() == kept
    # A note never outlives the cache it vouched for.
    assert note_path.exists() == (noted == "ab12")
    assert (said is None) if reason is None else (reason in said)


@pytest.mark.parametrize("shared", [False, True])
def test_a_failed_write_leaves_the_old_file_and_nothing_half_written(demo, tmp_path, shared):
    target = tmp_path / "forecast.png"
    target.write_bytes(b"old")

    def fail(file) -> None:
        file.write(b"half")
        raise RuntimeError("disk full")

    with pytest.raises(RuntimeError):
        demo.write_atomically(target, fail, shared=shared)
    assert target.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["forecast.png"]
    demo.write_atomically(target, lambda file: file.write(b"new"), shared=shared)
    umask = os.umask(0o077)
    os.umask(umask)
    assert target.read_bytes() == b"new"
    assert target.stat().st_mode & 0o777 == (0o666 & ~umask if shared else 0o600)


@pytest.mark.parametrize("statements, before, after, refusals, deleted, served, words", [
    (0, SAME, SAME, [], None, True, "served from the cache file"),
    (0, SAME, OTHER, [], None, False, "another process changed it"),
    (0, None, None, [], None, False, "another process changed it"),
    (9, None, OTHER, [], None, False, "because there was no cache file"),
    (9, None, OTHER, [], "the seeded data changed since it was written", False,
     "the demo deleted the cache file first: the seeded data changed"),
    (9, SAME, OTHER, ["refusing to load c: written for another user, host or database"], None,
     False, "tabloom did not serve the file: refusing to load c: written for another"),
    (9, SAME, OTHER, [], None, False, "an empty cache is never served"),
    (9, SAME, SAME, [], None, False, "the cache file NOT written"),
], ids=["served", "changed-unread", "vanished-unread", "no-cache", "deleted", "refused",
        "empty", "not-written"])
def test_a_call_is_called_served_only_when_the_server_heard_nothing_and_the_file_stayed(
        demo, statements, before, after, refusals, deleted, served, words):
    call = demo.CacheCall(3, 0.1, statements, refusals, before, after)
    assert call.served == served
    assert words in call.account(deleted)
    assert ("read from the database" in call.account(deleted)) == (statements > 0)


@pytest.mark.parametrize("value", [0, -1, 65536, True, "3306", 3306.0])
def test_a_preferred_port_must_be_a_tcp_port(value):
    with pytest.raises(ValueError, match="not a TCP port"):
        ThrowawayMariaDB(preferred_port=value)


@pytest.mark.parametrize("taken", [False, True], ids=["free", "taken"])
def test_the_server_listens_on_its_preferred_port_only_while_that_is_free(tmp_path, taken):
    port = free_loopback_port()
    said: list[str] = []
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
        if taken:
            holder.bind(("127.0.0.1", port))
            holder.listen()
        try:
            server = ThrowawayMariaDB(progress=said.append, preferred_port=port,
                                      base_dir=str(tmp_path))
        except MariaDBNotInstalled as missing:
            pytest.skip(str(missing))
        with server:
            assert (server.port == port) != taken
            assert server.execute("SELECT 1") == [(1,)]
    assert any(f"port {port} is in use" in text for text in said) == taken


# ---- the tabloom part of the demo, run after run against a real server ------------------------

@pytest.fixture
def demo_run(demo, database, monkeypatch, tmp_path):
    """One run of the demo's tabloom part, in the test's own database and with its own user,
    keeping its files in one folder from run to run."""
    user = "demo_" + uuid.uuid4().hex[:8]
    monkeypatch.setattr(demo, "DATABASE", database.name)
    monkeypatch.setattr(demo, "DEMO_USER", user)
    out = tmp_path / "out"
    out.mkdir()

    def run(data, host=None):
        demo.seed(database.server, data)
        return demo.show_tabloom(host or run.host, data, out)[1]

    run.out, run.host = out, database.server.host_port
    yield run
    database.server.drop_user(user)


@pytest.mark.parametrize("change", ["nothing", "cache-deleted", "seed", "address"])
def test_a_second_run_is_served_from_the_cache_unless_something_changed(demo, demo_run, capsys,
                                                                       change):
    first = demo.seed_statements(7, DAY)
    calls = demo_run(first)
    assert calls[0].statements > 0 and calls[0].rewrote and not calls[0].served
    assert calls[1].served
    capsys.readouterr()

    data, host = first, None
    if change == "cache-deleted":
        (demo_run.out / demo.CACHE_FILE).unlink()
    elif change == "seed":
        data = demo.seed_statements(8, DAY)
        assert data.fingerprint != first.fingerprint
    elif change == "address":
        # The same server under another name: the recorded host differs.
        if not demo_run.host.startswith("127.0.0.1:"):
            pytest.skip("the server is not on 127.0.0.1, so localhost may not reach it")
        host = "localhost:" + demo_run.host.rsplit(":", 1)[1]
    calls = demo_run(data, host)
    shown = capsys.readouterr().out
    assert calls[1].served
    if change == "nothing":
        assert calls[0].served and calls[0].statements == 0
        assert "this run's tables came from" in shown
        return
    assert calls[0].statements > 0 and not calls[0].served
    assert "this run read the tables from the database" in shown
    assert {"cache-deleted": "because there was no cache file",
            "seed": "the seeded data changed since it was written",
            "address": "written for another user, host or database"}[change] in shown

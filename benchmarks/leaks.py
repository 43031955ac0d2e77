"""Leak check: every public entry of the three modules, on its success path and its main error
paths, called many times; the interpreter's allocated block count and the process's resident
memory must stay flat.

Run with ``bash scripts/leakcheck.sh`` (``--calls N`` to change the count, default 100000).
Entries that wait on the network per call (a refused connection, a real read) run fewer calls
and say so. Bound: after a warm-up of 2,000 calls with a full collection after every 500,
whatever --calls says, the calls may grow the block count by at most 200 blocks and the resident
set by at most 2 MiB.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import tempfile
from pathlib import Path
from typing import Any, Callable

sys.path.append(str(Path(__file__).resolve().parent.parent))  # support/, after site-packages

import pandas as pd  # noqa: E402

import orvelkit.auspex as auspex  # noqa: E402
import orvelkit.base as base  # noqa: E402
import orvelkit.tabloom as tabloom  # noqa: E402
from support.leaks import growth, ignoring as swallow  # noqa: E402
from support.ports import free_loopback_port  # noqa: E402

BLOCK_BOUND = 200
RSS_BOUND_KIB = 2048
# Calls made before measuring, the same for every entry whatever --calls: what the libraries
# underneath keep must have stopped growing by then, or its filling up reads as a leak (a tenth
# of the count was too short at small counts). It settles over full collections more than over
# calls: ts_forecast, measured between two collections after 2,000 or after 10,000 calls
# without one, grew 100 to 300 blocks in its first 2,000 calls (less with each collection after
# that); after 2,000 calls with a collection every 500 it grows 5 to 15 blocks per 2,000 or
# 10,000 calls. 2,000 also passes SQLAlchemy's statement cache (500 entries).
WARM_UP = 2_000
COLLECT_EVERY = 500


def warm_up(fn: Callable[[], Any]) -> None:
    for done in range(1, WARM_UP + 1):
        fn()
        if done % COLLECT_EVERY == 0:
            gc.collect()


def check(name: str, fn: Callable[[], Any], calls: int,
          baseline: Callable[[], Any] | None = None) -> bool:
    """With a baseline (the same work written in Python), what the libraries underneath keep
    (SQLAlchemy's statement cache fills up to 500 entries) is measured on both sides, and only
    orvelkit's growth beyond the baseline's counts."""
    warm_up(fn)
    grew_blocks, grew_rss = growth(fn, calls, 0)
    base_blocks = base_rss = 0
    if baseline is not None:
        warm_up(baseline)
        base_blocks, base_rss = growth(baseline, calls, 0)
    # Flat, or no worse than the same work in Python where the libraries underneath grow.
    ok = (grew_blocks - max(base_blocks, 0) <= BLOCK_BOUND
          and grew_rss - max(base_rss, 0) <= RSS_BOUND_KIB)
    against = f"  (python: blocks {base_blocks:+d}, rss {base_rss:+d} KiB)" if baseline else ""
    print(f"  {'ok ' if ok else 'LEAK'} {name:58s} {calls:7d} calls  "
          f"blocks {grew_blocks:+6d}  rss {grew_rss:+6d} KiB{against}", flush=True)
    return ok


def load_reference_db() -> Any:
    import importlib.util

    path = Path(__file__).resolve().parent / "reference_db.py"
    spec = importlib.util.spec_from_file_location("reference_db", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000)
    args = parser.parse_args()
    n, slow = args.calls, max(10, args.calls // 10)
    import logging
    logging.disable(logging.CRITICAL)  # the records themselves are not under test here
    sys.stderr = open(os.devnull, "w")  # _run prints a traceback per failed request

    print(f"each entry is measured after {WARM_UP} calls with a full collection after every "
          f"{COLLECT_EVERY}")
    results = []
    table = pd.DataFrame({"timestamp": ["2024-01-01", "2024-01-02", "2024-01-03"],
                          "values": [1.0, 2.0, 3.0]})
    one_row = pd.DataFrame({"timestamp": ["2024-01-01"], "values": [1.0]})
    tool = auspex.Auspex()
    good = ("{'data_input': {'date': ['2024-01-01', '2024-01-02', '2024-01-03'], "
            "'values': [1, 2, 3]}, 'period': 2}")
    print("orvelkit.auspex")
    results += [
        check("conv_date", lambda: auspex.conv_date("Jan 5 2024"), n),
        check("conv_date, unreadable text", swallow(lambda: auspex.conv_date("nope"), ValueError), n),
        check("conv_date, refused binding", swallow(lambda: auspex.conv_date(), TypeError), n),
        check("ts_forecast", lambda: auspex.ts_forecast(table.copy(), 2), slow),
        check("ts_forecast, one row", swallow(lambda: auspex.ts_forecast(one_row.copy(), 2),
                                              ZeroDivisionError), slow),
        check("ts_forecast, period not an int",
              swallow(lambda: auspex.ts_forecast(table, True), TypeError), n),
        check("Auspex._run", lambda: tool._run(good), slow),
        check("Auspex._run, not JSON (error dict)", lambda: tool._run("not json"), n),
        check("Auspex._run, input not a str", swallow(lambda: tool._run(b"x"), TypeError), n),
        check("Auspex._arun, closed unawaited", lambda: tool._arun("x").close(), n),
        check("Auspex._arun, awaited (refuses)",
              swallow(lambda: tool._arun("x").send(None), NotImplementedError), n),
    ]

    from support.throwaway_mariadb import from_environment_or_throwaway

    with from_environment_or_throwaway() as server, tempfile.TemporaryDirectory() as work:
        server.execute("DROP DATABASE IF EXISTS leakcheck")
        server.create_database("leakcheck")
        server.create_user("leaker", "pw@leak", "leakcheck")
        server.execute(["CREATE TABLE t (id INT PRIMARY KEY, label VARCHAR(20))",
                        "INSERT INTO t VALUES (1, 'one'), (2, 'two')"], database="leakcheck")
        host = server.host_port
        dead = f"127.0.0.1:{free_loopback_port()}"

        print("orvelkit.tabloom")
        cached = tabloom.MySQLDatabaseTabloom("leaker", "pw@leak", host, "leakcheck",
                                              cache_path=work, cache_file="cache.pkl")
        cached.connect()
        cached.prepare_data()
        unconnected = tabloom.MySQLDatabaseTabloom("leaker", "pw@leak", host, "leakcheck",
                                                   cache_path=work, cache_file="absent.pkl")
        unreachable = tabloom.MySQLDatabaseTabloom("leaker", "pw@leak", dead, "leakcheck")
        live = tabloom.MySQLDatabaseTabloom("leaker", "pw@leak", host, "leakcheck",
                                            cache_path=work, cache_file="live.pkl")
        live.connect()

        reference_db = load_reference_db()
        python_live = reference_db.Tabloom("leaker", "pw@leak", host, "leakcheck",
                                           cache_path=work, cache_file="python.pkl")
        python_live.connect()
        python_unreachable = reference_db.Tabloom("leaker", "pw@leak", dead, "leakcheck")

        def read_afresh(tool: Any, file: str) -> Callable[[], None]:
            def read() -> None:
                if os.path.exists(os.path.join(work, file)):
                    os.unlink(os.path.join(work, file))
                tool.prepare_data()
            return read
        results += [
            check("MySQLDatabaseTabloom()", lambda: tabloom.MySQLDatabaseTabloom(
                "u", "p", "h", "d"), n),
            check("MySQLDatabaseTabloom(), empty password", swallow(
                lambda: tabloom.MySQLDatabaseTabloom("u", "", "h", "d"), ValueError), n),
            check("prepare_data served from the cache", cached.prepare_data, slow),
            check("prepare_data without connect", swallow(unconnected.prepare_data,
                                                          ConnectionError), n),
            check("prepare_data read from the database", read_afresh(live, "live.pkl"),
                  slow // 10, baseline=read_afresh(python_live, "python.pkl")),
            check("print_table_schemas without connect", swallow(unconnected.print_table_schemas,
                                                                 ConnectionError), n),
            check("connect to a closed port", swallow(unreachable.connect, Exception), slow // 10,
                  baseline=swallow(python_unreachable.connect, Exception)),
        ]

        print("orvelkit.base")
        missing = base.MySQLDatabaseConnector("leaker", None, host, "leakcheck")
        refused = base.MySQLDatabaseConnector("leaker", "pw@leak", dead, "leakcheck")
        working = base.MySQLDatabaseConnector("leaker", "pw@leak", host, "leakcheck")
        working.connect()
        results += [
            check("MySQLDatabaseConnector()", lambda: base.MySQLDatabaseConnector("u", "p", "h", "d"), n),
            check("connect, missing credential", missing.connect, n),
            check("getdbinstance, missing credential", missing.getdbinstance, n),
            check("getdbinstance, existing database", working.getdbinstance, n),
            check("connect, refused connection", refused.connect, slow // 10),
            check("connect, binding refused", swallow(lambda: working.connect(1), TypeError), n),
        ]

    failed = results.count(False)
    print(f"\n{len(results)} entries checked, {failed} grew past the bound "
          f"({BLOCK_BOUND} blocks, {RSS_BOUND_KIB} KiB)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

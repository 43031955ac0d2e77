"""orvelkit against the same operations written directly in Python, side by side in one run.

Run with ``bash scripts/bench.sh`` (or ``.venv/bin/python benchmarks/run.py`` after set-up).
Every case times both sides alternately on the same inputs and prints the fastest time per call and
the ratio baseline/orvelkit: above 1 means orvelkit is faster. ``--callgrind`` adds the share of
instructions spent in orvelkit's own code during ts_forecast at 10^4 rows.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import pickle
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import types
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.append(str(ROOT))  # support/ for the throwaway server; after site-packages on purpose


def load(name: str) -> types.ModuleType:
    spec = importlib.util.spec_from_file_location(name, HERE / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


reference = load("reference")
reference_db = load("reference_db")
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import orvelkit.auspex as auspex  # noqa: E402

ROWS: list[tuple[str, float, float]] = []


def timed(fn: Callable[[], Any], number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def compare(case: str, ours: Callable[[], Any], baseline: Callable[[], Any], number: int,
            repeat: int = 7) -> None:
    """Alternates the two sides so drift in machine load hits both alike."""
    ours_times, base_times = [], []
    ours(), baseline()  # warm caches and lazy imports
    for _ in range(repeat):
        ours_times.append(timed(ours, number))
        base_times.append(timed(baseline, number))
    # The fastest run is the one least disturbed by the rest of the machine.
    o, b = min(ours_times), min(base_times)
    ROWS.append((case, o, b))
    print(f"  {case:44s} {fmt(o):>10s} {fmt(b):>10s} {b / o:6.2f}", flush=True)


def fmt(seconds: float) -> str:
    for unit, scale in (("s", 1), ("ms", 1e3), ("us", 1e6), ("ns", 1e9)):
        if seconds * scale >= 1:
            return f"{seconds * scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


# ---- cases ----------------------------------------------------------------------------------

def series(rows: int) -> pd.DataFrame:
    rng = np.random.default_rng(rows)
    dates = pd.date_range("1750-01-01", periods=rows, freq="D").strftime("%Y-%m-%d")
    return pd.DataFrame({"timestamp": list(dates), "values": rng.normal(100, 10, rows).cumsum()})


def forecast_cases() -> None:
    for rows in (10**2, 10**3, 10**4, 10**5):
        table = series(rows)
        number = max(1, 2000 // rows)
        # Both sides change the caller's table in place, so each call gets its own copy; the
        # copy is made by the same code on both sides.
        compare(f"ts_forecast, {rows} rows", lambda: auspex.ts_forecast(table.copy(), 30),
                lambda: reference.ts_forecast(table.copy(), 30), number,
                repeat=5 if rows < 10**5 else 3)


def request_cases() -> None:
    request = ("{'data_input': {'date': ['2024-01-01', '01/02/2024', 'Jan 3 2024', '2024-01-04'],"
               " 'values': [1, 2.5, 3, 4]}, 'period': 5}")
    tool = auspex.Auspex()
    compare("Auspex._run, small request", lambda: tool._run(request),
            lambda: reference.run(request), 50)
    compare("conv_date", lambda: auspex.conv_date("Jan 5 2024"),
            lambda: reference.conv_date("Jan 5 2024"), 2000)


class _Stamp(str):
    """A parsed date whose strftime is a C call that does almost nothing."""

    strftime = str.__add__


def call_path_cases() -> None:
    # The parser is replaced through each module's globals by a stand-in made of C callables, so
    # what is left is binding, the global lookups, two calls and the return.
    stand_in = types.SimpleNamespace(parse={"x": _Stamp("2024-01-01")}.get)
    saved = auspex.parser, reference.parser
    auspex.parser = reference.parser = stand_in
    try:
        assert auspex.conv_date("x") == reference.conv_date("x")
        compare("call path (conv_date, stand-in parser)", lambda: auspex.conv_date("x"),
                lambda: reference.conv_date("x"), 200_000)

        def failing(fn: Callable[..., Any]) -> Callable[[], None]:
            def attempt() -> None:
                try:
                    fn()
                except TypeError:
                    pass
            return attempt

        compare("failing binding (conv_date())", failing(auspex.conv_date),
                failing(reference.conv_date), 100_000)
    finally:
        auspex.parser, reference.parser = saved


def database_cases() -> None:
    from support.throwaway_mariadb import from_environment_or_throwaway

    from orvelkit.tabloom import MySQLDatabaseTabloom

    with from_environment_or_throwaway() as server:
        name = "bench_tables"
        server.execute(f"DROP DATABASE IF EXISTS `{name}`")
        server.create_database(name)
        server.create_user("bench", "bench-pw", name)
        rng = np.random.default_rng(1)
        for t in range(10):
            server.execute(f"CREATE TABLE t{t} (id INT PRIMARY KEY, day DATE, amount DOUBLE, "
                           "label VARCHAR(20))", database=name)
            rows = [f"({i}, '2024-01-{1 + i % 28:02d}', {rng.normal():.6f}, 'row {i}')"
                    for i in range(10_000)]
            for chunk in range(0, len(rows), 2000):
                server.execute(f"INSERT INTO t{t} VALUES " + ",".join(rows[chunk:chunk + 2000]),
                               database=name)
        workdir = Path(tempfile.mkdtemp(prefix="orvelkit-bench-"))
        try:
            ours = MySQLDatabaseTabloom("bench", "bench-pw", server.host_port, name,
                                        cache_path=str(workdir), cache_file="ours.pkl")
            base = reference_db.Tabloom("bench", "bench-pw", server.host_port, name,
                                     cache_path=str(workdir), cache_file="base.pkl")
            ours.connect()
            base.connect()

            def fresh(tool: Any, file: str) -> Callable[[], Any]:
                def read() -> Any:
                    (workdir / file).unlink(missing_ok=True)
                    return tool.prepare_data()
                return read

            compare("prepare_data from the database (10^5 rows)", fresh(ours, "ours.pkl"),
                    fresh(base, "base.pkl"), 1, repeat=5)
            ours.prepare_data(), base.prepare_data()
            compare("prepare_data served from the cache", ours.prepare_data,
                    base.prepare_data, 5, repeat=7)
        finally:
            shutil.rmtree(workdir, ignore_errors=True)


def import_cases() -> None:
    env = dict(os.environ, PYTHONSAFEPATH="1", PYTHONPATH=str(HERE))
    pairs = [("import orvelkit.auspex", "import reference_imports as r; r.auspex()"),
             ("import orvelkit.tabloom", "import reference_imports as r; r.tabloom()"),
             ("import orvelkit.base", "import reference_imports as r; r.base()")]

    def cold(statement: str) -> Callable[[], None]:
        def run() -> None:
            subprocess.run([sys.executable, "-c", statement], check=True, env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return run

    for ours, base in pairs:
        compare(f"{ours} (fresh interpreter)", cold(ours), cold(base), 1, repeat=5)


def callgrind_share() -> None:
    """Share of instructions in orvelkit's own library while ts_forecast runs at 10^4 rows."""
    if not shutil.which("valgrind"):
        print("  valgrind not found; skipping the instruction share")
        return
    script = (
        "import pandas as pd, numpy as np, orvelkit.auspex as a\n"
        "d = pd.date_range('2000-01-01', periods=10000, freq='D').strftime('%Y-%m-%d')\n"
        "t = pd.DataFrame({'timestamp': list(d), 'values': np.arange(10000.0)})\n"
        "a.ts_forecast(t.copy(), 30)\n"
        "a.ts_forecast(t, 30)\n")
    out = Path(tempfile.mkdtemp(prefix="orvelkit-cg-")) / "cg.out"
    # Only the calls into the extension are counted, everything they run included.
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    "--collect-atstart=no", "--toggle-collect=*call_function*",
                    sys.executable, "-c", script], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=dict(os.environ, PYTHONSAFEPATH="1"))
    report = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100",
                             str(out)], capture_output=True, text=True, check=True).stdout
    total = ours = 0
    for line in report.splitlines():
        parts = line.split()
        if not parts or not parts[0].replace(",", "").isdigit():
            continue
        count = int(parts[0].replace(",", ""))
        if "PROGRAM TOTALS" in line:
            total = count
        elif "auspex.cpython" in line or "orvelkit::frame" in line:
            ours += count
    shutil.rmtree(out.parent, ignore_errors=True)
    if total:
        print(f"  ts_forecast at 10^4 rows: {ours:,} of {total:,} instructions in orvelkit's own "
              f"code ({100 * ours / total:.3f} %)")


def callgrind_instructions_per_call() -> None:
    """Instructions per ts_forecast call at 10^4 rows on each side: a count, not a time, so it
    does not move with the machine's load. Two runs of each side differ only in the number of
    calls; their difference divided by the extra calls is the cost of one call."""
    script = (
        "import sys, importlib.util, pandas as pd, numpy as np\n"
        f"spec = importlib.util.spec_from_file_location('reference', {str(HERE / 'reference.py')!r})\n"
        "ref = importlib.util.module_from_spec(spec); spec.loader.exec_module(ref)\n"
        "import orvelkit.auspex as a\n"
        "d = pd.date_range('1750-01-01', periods=10000, freq='D').strftime('%Y-%m-%d')\n"
        "t = pd.DataFrame({'timestamp': list(d), 'values': np.arange(10000.0)})\n"
        "f = a.ts_forecast if sys.argv[1] == 'orvelkit' else ref.ts_forecast\n"
        "for _ in range(int(sys.argv[2])): f(t.copy(), 30)\n")

    def total(side: str, calls: int) -> int:
        run = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                              sys.executable, "-c", script, side, str(calls)],
                             capture_output=True, text=True, check=True,
                             env=dict(os.environ, PYTHONSAFEPATH="1"))
        line = next(l for l in run.stderr.splitlines() if "Collected" in l)
        return int(line.split()[-1])

    per_call = {side: (total(side, 3) - total(side, 1)) / 2 for side in ("orvelkit", "python")}
    print(f"  ts_forecast at 10^4 rows, instructions per call: orvelkit {per_call['orvelkit']:,.0f}, "
          f"python {per_call['python']:,.0f}, ratio {per_call['python'] / per_call['orvelkit']:.3f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip the database and import cases")
    parser.add_argument("--callgrind", action="store_true", help="add the instruction share")
    args = parser.parse_args()
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}; "
          f"Python {platform.python_version()}")
    print(f"  {'case':44s} {'orvelkit':>10s} {'python':>10s} {'ratio':>6s}")
    forecast_cases()
    request_cases()
    call_path_cases()
    if not args.quick:
        database_cases()
        import_cases()
    if args.callgrind:
        callgrind_share()
        callgrind_instructions_per_call()
    slower = [case for case, o, b in ROWS if b / o < 1]
    print(f"\n{len(ROWS)} cases; orvelkit slower in: {', '.join(slower) if slower else 'none'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

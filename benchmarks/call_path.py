"""Instructions per call on orvelkit's call path against the same calls written in Python.

Counts come from callgrind, so they do not move with the load of a shared machine. Every case is
run twice on each side, with n and 2n calls, inside ``sys.call_tracing`` (the one function that
switches counting on and dumps the counts); an empty loop of the same length is subtracted, so a
figure is the cost of the call expression alone. Run with
``.venv/bin/python benchmarks/call_path.py`` after set-up; ``--check`` exits non-zero when a goal
is missed. ``measure()`` returns the rows for other scripts.
"""

from __future__ import annotations

import argparse
import gc
import glob
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import types
from pathlib import Path

HERE = Path(__file__).resolve().parent
CALLS = 2000


class _Stamp(str):
    """A parsed date whose strftime is a C call that does almost nothing."""

    strftime = str.__add__


# name, call expression, goal (python / orvelkit at least this)
CASES = [
    ("call path, positional (conv_date, stand-in parser)", "f('x')", 1.05),
    ("call path, keyword (conv_date(dt=...))", "f(dt='x')", 1.05),
    ("refused: wrong count (conv_date())", "try:\n   f()\n  except TypeError: pass", 1.5),
    ("refused: wrong type (ts_forecast(df, 2.0))",
     "try:\n   t(df, 2.0)\n  except TypeError: pass", 1.5),
    ("getdbinstance, connected", "c.getdbinstance()", 1.0),
    ("connector constructor", "C('u', 'p', 'h', 'd')", 0.95),
    ("table tool constructor", "T('u', 'p', 'h', 'd')", 0.95),
]


def _load_reference(path: Path) -> types.ModuleType:
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _child() -> None:
    """Runs under callgrind: every call_tracing below is one dump, in CASES order."""
    import pandas as pd

    import orvelkit.auspex as auspex
    import orvelkit.base as base
    import orvelkit.tabloom as tabloom

    reference = _load_reference(HERE.parent / "support" / "reference.py")
    reference_db = _load_reference(HERE / "reference_db.py")
    stand_in = types.SimpleNamespace(parse={"x": _Stamp("2024-01-01")}.get)
    auspex.parser = reference.parser = stand_in
    df = pd.DataFrame({"timestamp": ["2024-01-01"], "values": [1.0]})
    sides = {}
    for side, module, connector, tool in (
            ("orvelkit", auspex, base.MySQLDatabaseConnector, tabloom.MySQLDatabaseTabloom),
            ("python", reference, reference_db.Connector, reference_db.Tabloom)):
        c = connector("u", "p", "h", "d")
        c.db = object()
        sides[side] = {"f": module.conv_date, "t": module.ts_forecast, "df": df, "c": c,
                       "C": connector, "T": tool}
    loops = []
    for _, expression, _ in [("empty", "pass", 0)] + CASES:
        for side in ("orvelkit", "python"):
            namespace = dict(sides[side])
            exec(f"def loop(n):\n for _ in range(n):\n  {expression}\n", namespace)
            loop = namespace["loop"]
            loop(50)  # warm: lazy imports, the interpreter's specialisation
            loops.append(loop)
    for loop in loops:
        for n in (CALLS, 2 * CALLS):
            gc.collect()  # each run starts with the same collector state
            sys.call_tracing(loop, (n,))


def measure() -> list[tuple[str, float, float, float]]:
    """(case, orvelkit instructions per call, python instructions per call, goal) per case."""
    if not shutil.which("valgrind"):
        raise RuntimeError("valgrind not found")
    out = Path(tempfile.mkdtemp(prefix="orvelkit-calls-"))
    try:
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                        "--toggle-collect=sys_call_tracing", "--dump-after=sys_call_tracing",
                        f"--callgrind-out-file={out}/cg.%p", sys.executable, __file__, "--child"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONSAFEPATH="1", PYTHONHASHSEED="0"))
        dumps = sorted((p for p in glob.glob(f"{out}/cg.*.*")),
                       key=lambda p: int(p.rsplit(".", 1)[1]))
        totals = []
        for path in dumps:
            line = next(l for l in Path(path).read_text().splitlines()
                        if l.startswith("totals:"))
            totals.append(int(line.split()[1]))
    finally:
        shutil.rmtree(out, ignore_errors=True)
    # Pairs (n, 2n) per loop: orvelkit then python for the empty loop and each case.
    per_loop = [(totals[i + 1] - totals[i]) / CALLS for i in range(0, len(totals), 2)]
    empty = per_loop[:2]
    rows = []
    for k, (case, _, goal) in enumerate(CASES):
        ours = per_loop[2 + 2 * k] - empty[0]
        python = per_loop[3 + 2 * k] - empty[1]
        rows.append((case, ours, python, goal))
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--check", action="store_true", help="exit 1 when a goal is missed")
    parser.add_argument("--json", action="store_true", help="print the rows as JSON")
    args = parser.parse_args()
    if args.child:
        _child()
        return 0
    rows = measure()
    if args.json:
        print(json.dumps(rows))
    else:
        print(f"  {'case (instructions per call)':52s} {'orvelkit':>9s} {'python':>9s} "
              f"{'ratio':>6s} {'goal':>5s}")
        for case, ours, python, goal in rows:
            mark = "" if python / ours >= goal else "  MISSED"
            print(f"  {case:52s} {ours:9,.0f} {python:9,.0f} {python / ours:6.2f} "
                  f"{goal:5.2f}{mark}")
    missed = [case for case, ours, python, goal in rows if python / ours < goal]
    return 1 if args.check and missed else 0


if __name__ == "__main__":
    sys.exit(main())

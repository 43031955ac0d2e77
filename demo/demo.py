"""The orvelkit demo: a small business database, cached and listed by tabloom, forecast by the
Auspex tool, and queried through llama_index by the base connector.

Run it with ``bash scripts/demo.sh``. It starts a private MariaDB (or uses the one named by the
ORVELKIT_TEST_MYSQL_* variables), seeds it, and shuts it down at the end. Everything it writes
goes to demo/out/: the table cache (kept between runs, so a second run with the same seeded data
is served from it), a note of which seeded data the cache was read from, and the forecast plot.

The cached tables record the server's address, so the demo's own server asks for the same port
on every run. Whether the tables came from the cache or from the database is told from what
prepare_data did (the statements it sent, what tabloom logged, whether the file was replaced),
never from whether the file was there beforehand.
"""

from __future__ import annotations

import hashlib
import json
import logging
import os
import random
import signal
import stat
import sys
import tempfile
import time
from dataclasses import dataclass, field
from datetime import date, timedelta
from pathlib import Path
from typing import IO, Any, Callable, NamedTuple

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "demo" / "out"
# The throwaway server lives in support/. Appended, so the installed orvelkit wins over the
# source folder of the same name.
sys.path.append(str(ROOT))

from support.throwaway_mariadb import from_environment_or_throwaway  # noqa: E402

DATABASE = "orvelkit_demo"
CACHE_FILE = "db_cache.pkl"
# Beside the cache: which seeded data it was read from. The cache itself is served until it is
# deleted, whatever the database holds now, so the demo deletes it when its seed changes.
SEED_NOTE = "db_cache.seed.json"
# A password with URL syntax in it: the modules percent-encode credentials, so it reaches the
# server as written.
DEMO_USER, DEMO_PASSWORD = "analyst", "p@ss/w:rd%42"
FORECAST_PERIODS = 30


def section(title: str) -> None:
    print(f"\n=== {title} " + "=" * max(0, 72 - len(title)))


def progress(text: str) -> None:
    print(f"  .. {text}", flush=True)


# ---- the business database ------------------------------------------------------------------

PRODUCTS = [("Espresso beans 1kg", 24.50), ("Oat milk 6-pack", 11.90), ("Grinder", 89.00),
            ("Filter papers", 4.20), ("Travel mug", 15.00)]
REGIONS = ["North", "South", "East", "West"]


ORDERS_INSERT = ("INSERT INTO orders (order_date, product_id, region_id, quantity, amount, note) "
                 "VALUES ")
ORDERS_PER_INSERT = 1000
SCHEMA = [
    "CREATE TABLE regions (id INT PRIMARY KEY, name VARCHAR(40) NOT NULL)",
    "CREATE TABLE products (id INT PRIMARY KEY, name VARCHAR(80) NOT NULL, "
    "price DECIMAL(8,2) NOT NULL)",
    "CREATE TABLE orders (id INT PRIMARY KEY AUTO_INCREMENT, order_date DATE NOT NULL, "
    "product_id INT NOT NULL, region_id INT NOT NULL, quantity INT NOT NULL, "
    "amount DECIMAL(10,2) NOT NULL, note VARCHAR(120) NULL)",
]


class Seed(NamedTuple):
    statements: list[str]
    orders: int

    @property
    def fingerprint(self) -> str:
        """Names the data: the same statements, the same tables. The dates count back from
        today, so the data, and with it this, changes from one day to the next."""
        digest = hashlib.sha256(DATABASE.encode())
        for statement in self.statements:
            digest.update(b"\0" + statement.encode())
        return digest.hexdigest()


def seed_statements(rng_seed: int = 7, today: date | None = None) -> Seed:
    """Two years of daily orders with a gentle upward trend and weekly rhythm."""
    statements = list(SCHEMA)
    statements += [f"INSERT INTO regions VALUES ({i + 1}, '{name}')"
                   for i, name in enumerate(REGIONS)]
    statements += [f"INSERT INTO products VALUES ({i + 1}, '{name}', {price})"
                   for i, (name, price) in enumerate(PRODUCTS)]
    rng = random.Random(rng_seed)
    start = (today or date.today()) - timedelta(days=730)
    rows = []
    for day in range(730):
        when = start + timedelta(days=day)
        weekly = 1.3 if when.weekday() in (4, 5) else 1.0
        for _ in range(int((6 + day / 120) * weekly) + rng.randint(0, 3)):
            product = rng.randrange(len(PRODUCTS))
            quantity = rng.randint(1, 4)
            amount = round(PRODUCTS[product][1] * quantity, 2)
            rows.append(f"('{when.isoformat()}', {product + 1}, {rng.randint(1, len(REGIONS))}, "
                        f"{quantity}, {amount}, NULL)")
    statements += [ORDERS_INSERT + ",".join(rows[chunk:chunk + ORDERS_PER_INSERT])
                   for chunk in range(0, len(rows), ORDERS_PER_INSERT)]
    return Seed(statements, len(rows))


def seed(server: Any, data: Seed) -> None:
    server.execute(f"DROP DATABASE IF EXISTS `{DATABASE}`")
    server.create_database(DATABASE)
    loaded = 0
    for statement in data.statements:
        server.execute(statement, database=DATABASE)
        if statement.startswith(ORDERS_INSERT):
            loaded = min(loaded + ORDERS_PER_INSERT, data.orders)
            progress(f"seeded {loaded} of {data.orders} orders")
    server.create_user(DEMO_USER, DEMO_PASSWORD, DATABASE)


# ---- the table cache --------------------------------------------------------------------------

# How tabloom starts the record of a cache file it did not serve (README, "Logging").
LOAD_ERROR = "Error loading cache: "
# Far more than a note ever holds; anything longer was not written by the demo.
NOTE_LIMIT = 64 * 1024


def demo_port() -> int:
    """The port this checkout's demo server asks for, the same on every run: the cached tables
    record the host with its port, and a cache recorded for another one is refused. Derived
    from the user and the checkout, so two checkouts rarely ask for the same port, and below
    Linux's default range for ephemeral ports (32768 and up), which free ports and outgoing
    connections are drawn from."""
    key = f"{os.getuid()}\0{ROOT}".encode("utf-8", "surrogateescape")
    return 20000 + int.from_bytes(hashlib.sha256(key).digest()[:4], "big") % 10000


def source_text(source: dict[str, str]) -> str:
    return f"{source['user']}@{source['host']}/{source['database']}"


def file_identity(path: Path) -> tuple[int, int, int, int] | None:
    """Differs after every write of the cache: tabloom renames a new file over the old one."""
    try:
        info = os.lstat(path)
    except (FileNotFoundError, NotADirectoryError):
        return None
    return info.st_dev, info.st_ino, info.st_mtime_ns, info.st_size


def write_atomically(path: Path, write: Callable[[IO[bytes]], None], shared: bool = False) -> None:
    """A reader, or the next run after a failed one, sees the old file or the new one, never a
    part: the new one is written beside it and renamed over it once complete. It is this user's
    alone (mode 0600) unless `shared`, which gives it the mode a plain open would."""
    fd, pending = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as file:
            if shared:
                # Read back by setting a stricter one, so nothing created meanwhile gets a looser
                # mode.
                umask = os.umask(0o077)
                os.umask(umask)
                os.fchmod(file.fileno(), 0o666 & ~umask)
            write(file)
            file.flush()
            os.fsync(file.fileno())
        os.replace(pending, path)
    except BaseException:
        try:
            os.unlink(pending)
        except FileNotFoundError:
            pass
        raise


def remove(path: Path) -> bool:
    """Whether there was something to remove. What cannot be removed ends the run: a stale cache
    left in place would be served."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        return False
    except OSError as exc:
        raise SystemExit(f"cannot remove {path}: {exc.strerror}") from None
    return True


def read_seed_note(path: Path) -> dict[str, Any] | None:
    """The note an earlier run left, or None where there is none that could have come from the
    demo. Anyone able to write demo/out/ may have put something else there, so it is read only
    as a small regular file, without waiting on it (a FIFO would block a plain open), and only
    as JSON of the expected shape."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        data = b""
        while len(data) <= NOTE_LIMIT and (chunk := os.read(fd, NOTE_LIMIT + 1 - len(data))):
            data += chunk
    finally:
        os.close(fd)
    try:
        note = json.loads(data.decode("utf-8")) if len(data) <= NOTE_LIMIT else None
    except ValueError:  # UnicodeDecodeError included
        return None
    if not isinstance(note, dict) or not isinstance(note.get("seed"), str):
        return None
    source = note.get("source")
    keys = ("user", "host", "database")
    if not isinstance(source, dict) or not all(isinstance(source.get(k), str) for k in keys):
        return None
    return {"seed": note["seed"], "source": {k: source[k] for k in keys}}


def write_seed_note(path: Path, fingerprint: str, source: dict[str, str]) -> None:
    text = json.dumps({"seed": fingerprint, "source": source}, indent=1) + "\n"
    write_atomically(path, lambda file: file.write(text.encode()))


def forget_stale_cache(cache: Path, note_path: Path, fingerprint: str,
                       note: dict[str, Any] | None) -> str | None:
    """Deletes the cache unless the note says it was read from the data seeded now; says why
    when it deleted one. The note goes first, so that a note never outlives its cache and
    vouches for the next one."""
    if note is not None and note["seed"] == fingerprint:
        return None
    remove(note_path)
    if not remove(cache):
        return None
    if note is None:
        return "nothing recorded which seeded data it held"
    return "the seeded data changed since it was written"


class _ErrorTexts(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.ERROR)
        self.texts: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.texts.append(record.getMessage())


@dataclass
class CacheCall:
    """What one prepare_data call did, as seen from outside it: the statements the tool's engine
    sent, tabloom's reasons for not serving the file, and the file before and after."""

    tables: int
    seconds: float
    statements: int
    refusals: list[str] = field(default_factory=list)
    before: tuple[int, int, int, int] | None = None
    after: tuple[int, int, int, int] | None = None

    @property
    def served(self) -> bool:
        return self.statements == 0 and self.before is not None and self.after == self.before

    @property
    def rewrote(self) -> bool:
        return self.after is not None and self.after != self.before

    def account(self, deleted_because: str | None = None) -> str:
        tables = f"{self.tables} tables"
        if self.served:
            return (f"{tables} served from the cache file: no statement reached the server and "
                    "the file was left as it was")
        if self.statements == 0:
            return (f"{tables}, with no statement sent to the server, but the cache file was "
                    "not the same before and after the call: another process changed it")
        why = []
        if deleted_because:
            why.append(f"the demo deleted the cache file first: {deleted_because}")
        elif self.before is None:
            why.append("there was no cache file")
        why += [f"tabloom did not serve the file: {text}" for text in self.refusals]
        if not why:
            why.append("the cache file held no tables, and an empty cache is never served")
        wrote = "the cache file written anew" if self.rewrote else "the cache file NOT written"
        return (f"{tables} read from the database ({self.statements} statements sent), "
                f"{wrote}, because " + "; ".join(why))


def observed_prepare_data(tool: Any, cache: Path) -> tuple[list[Any], CacheCall]:
    from sqlalchemy import event

    sent: list[str] = []

    def count(_connection: Any, _cursor: Any, statement: str, *_rest: Any) -> None:
        sent.append(statement)

    errors = _ErrorTexts()
    root = logging.getLogger()
    before = file_identity(cache)
    event.listen(tool.engine, "before_cursor_execute", count)
    root.addHandler(errors)
    try:
        started = time.perf_counter()
        frames = tool.prepare_data()
        seconds = time.perf_counter() - started
    finally:
        root.removeHandler(errors)
        event.remove(tool.engine, "before_cursor_execute", count)
    refusals = [text[len(LOAD_ERROR):] for text in errors.texts if text.startswith(LOAD_ERROR)]
    return frames, CacheCall(len(frames), seconds, len(sent), refusals, before,
                             file_identity(cache))


# ---- the three modules ------------------------------------------------------------------------

def show_tabloom(host: str, data: Seed, out: Path = OUT) -> tuple[list[Any], list[CacheCall]]:
    from orvelkit.tabloom import MySQLDatabaseTabloom

    section("orvelkit.tabloom: schemas and the table cache")
    source = {"user": DEMO_USER, "host": host, "database": DATABASE}
    cache, note_path = out / CACHE_FILE, out / SEED_NOTE
    note = read_seed_note(note_path)
    deleted_because = forget_stale_cache(cache, note_path, data.fingerprint, note)
    if note is not None and not deleted_because and note["source"] != source:
        print(f"the cache file was written from {source_text(note['source'])}; this run's "
              f"tables are in {source_text(source)}")
    tool = MySQLDatabaseTabloom(DEMO_USER, DEMO_PASSWORD, host, DATABASE,
                                cache_path=str(out), cache_file=CACHE_FILE)
    tool.connect()
    tool.print_table_schemas()
    shown = cache.relative_to(ROOT) if cache.is_relative_to(ROOT) else cache
    frames: list[Any] = []
    calls = []
    for attempt in (1, 2):
        frames, call = observed_prepare_data(tool, cache)
        calls.append(call)
        if call.rewrote and call.statements:
            write_seed_note(note_path, data.fingerprint, source)
        print(f"prepare_data call {attempt} ({call.seconds:.3f} s): "
              f"{call.account(deleted_because if attempt == 1 else None)}")
    first = calls[0]
    if first.served:
        print(f"this run's tables came from {shown}, written by an earlier run from the same "
              "seeded data")
    elif first.rewrote:
        print(f"this run read the tables from the database; the next run is served from {shown} "
              "while the seeded data and the server's address stay the same")
    else:
        print("this run read the tables from the database")
    print(f"(the cache is served until it is deleted: remove {shown} to read the database "
          "again; the demo removes it itself when its seeded data changes)")
    for frame in frames:
        print(f"  {getattr(frame, 'name', '?'):10s} {len(frame):6d} rows, columns {list(frame.columns)}")
    return frames, calls


def daily_sales(server: Any) -> tuple[list[str], list[float]]:
    rows = server.execute("SELECT order_date, SUM(amount) FROM orders GROUP BY order_date "
                          "ORDER BY order_date", database=DATABASE)
    return [str(d) for d, _ in rows], [float(v) for _, v in rows]


def show_auspex(server: Any) -> None:
    import pandas as pd
    from orvelkit.auspex import Auspex

    section("orvelkit.auspex: forecasting weekly sales with the 'forecast' tool")
    dates, values = daily_sales(server)
    weeks = pd.DataFrame({"date": pd.to_datetime(dates), "amount": values}).resample(
        "W-MON", on="date").sum().reset_index().iloc[1:-1]  # only whole weeks
    request = json.dumps({"data_input": {"date": [d.strftime("%d %b %Y") for d in weeks["date"]],
                                         "values": [round(v, 2) for v in weeks["amount"]]},
                          "period": FORECAST_PERIODS})
    tool = Auspex()
    print(f"tool name {tool.name!r}; request of {len(weeks)} weekly totals, "
          f"{FORECAST_PERIODS} periods ahead")
    forecast = tool.run(request)
    if isinstance(forecast, dict):
        raise SystemExit(f"the forecast failed: {forecast['error']}")
    print(forecast.head(10).to_string(index=False))
    print(f"... {len(forecast)} rows in all, last {forecast.iloc[-1]['dates']}: "
          f"{forecast.iloc[-1]['Forecasted_values']:.2f}")
    print(plot(weeks, forecast))


def plot(history: Any, forecast: Any) -> str:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import pandas as pd

    figure, axes = plt.subplots(figsize=(10, 4.5))
    axes.plot(history["date"], history["amount"], label="weekly sales", color="#3465a4")
    axes.plot(pd.to_datetime(forecast["dates"]), forecast["Forecasted_values"],
              label="forecast (orvelkit.auspex)", color="#cc0000", linestyle="--")
    axes.set_title("Weekly sales and the straight-line forecast")
    axes.set_ylabel("sales")
    axes.legend()
    figure.autofmt_xdate()
    figure.tight_layout()
    path = OUT / "forecast.png"
    try:
        write_atomically(path, lambda file: figure.savefig(file, format="png", dpi=100),
                         shared=True)
    finally:
        plt.close(figure)
    return f"plot written to {path}"


def show_base(server: Any) -> None:
    from orvelkit.base import MySQLDatabaseConnector
    # The query engine and the offline model from whichever llama_index layout is installed.
    from support.offline_llm import FixedSQLLLM, NLSQLTableQueryEngine, offline_models

    section("orvelkit.base: the llama_index SQLDatabase")
    connector = MySQLDatabaseConnector(DEMO_USER, DEMO_PASSWORD, server.host_port, DATABASE)
    status = connector.connect()
    print(f"connect(): {status}")
    database = connector.getdbinstance()
    print(f"tables llama_index sees: {sorted(database.get_usable_table_names())}")

    answer_sql = ("SELECT r.name, ROUND(SUM(o.amount), 2) AS sales FROM orders o "
                  "JOIN regions r ON r.id = o.region_id GROUP BY r.name ORDER BY sales DESC")

    # An offline stand-in for a language model: it always writes the same SQL.
    model = FixedSQLLLM(sql=answer_sql, answer="(answer written from the rows above)")
    engine = NLSQLTableQueryEngine(sql_database=database, tables=["orders", "regions"],
                                   **offline_models(model))
    question = "Which region sells the most?"
    response = engine.query(question)
    print(f"question: {question}")
    print(f"SQL: {response.metadata['sql_query']}")
    for region, sales in response.metadata["result"]:
        print(f"  {region:6s} {sales}")


def main() -> int:
    OUT.mkdir(parents=True, exist_ok=True)
    # tabloom sets up INFO logging for its own records; llama_index's table dumps are noise here.
    logging.getLogger("llama_index").setLevel(logging.WARNING)
    section("a throwaway MariaDB with a small business database")
    data = seed_statements()
    wanted = demo_port()
    with from_environment_or_throwaway(progress=progress, preferred_port=wanted) as server:
        if not server.external and server.port != wanted:
            print(f"port {wanted}, the one this checkout's demo always asks for, is taken, so "
                  f"the server listens on {server.port}; the cached tables record the server's "
                  "address, so a cache written by a run on another port is not served")
        seed(server, data)
        print(f"database {DATABASE!r} on {server.host_port}: {len(REGIONS)} regions, "
              f"{len(PRODUCTS)} products, {data.orders} orders")
        show_tabloom(server.host_port, data)
        show_auspex(server)
        show_base(server)
        section("shutting down")
    print("server stopped; nothing left running")
    return 0


def _exit_on_sigterm(signum: int, _frame: Any) -> None:
    # As SystemExit, so that the server is stopped and its directory removed on the way out;
    # the default action would end the process before any of that ran.
    raise SystemExit(128 + signum)


if __name__ == "__main__":
    os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")
    signal.signal(signal.SIGTERM, _exit_on_sigterm)
    sys.exit(main())

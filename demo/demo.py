"""The orvelkit demo: a small business database, cached and listed by tabloom, forecast by the
Auspex tool, and queried through llama_index by the base connector.

Run it with ``bash scripts/demo.sh``. It starts a private MariaDB (or uses the one named by the
ORVELKIT_TEST_MYSQL_* variables), seeds it, and shuts it down at the end. Everything it writes
goes to demo/out/: the table cache (kept between runs, so a second run is served from it) and the
forecast plot.
"""

from __future__ import annotations

import json
import logging
import os
import random
import sys
import time
from datetime import date, timedelta
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "demo" / "out"
# The throwaway server lives in support/. Appended, so the installed orvelkit wins over the
# source folder of the same name.
sys.path.append(str(ROOT))

from support.throwaway_mariadb import from_environment_or_throwaway  # noqa: E402

DATABASE = "orvelkit_demo"
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


def seed(server: Any) -> int:
    """Two years of daily orders with a gentle upward trend and weekly rhythm."""
    server.execute(f"DROP DATABASE IF EXISTS `{DATABASE}`")
    server.create_database(DATABASE)
    server.execute([
        "CREATE TABLE regions (id INT PRIMARY KEY, name VARCHAR(40) NOT NULL)",
        "CREATE TABLE products (id INT PRIMARY KEY, name VARCHAR(80) NOT NULL, "
        "price DECIMAL(8,2) NOT NULL)",
        "CREATE TABLE orders (id INT PRIMARY KEY AUTO_INCREMENT, order_date DATE NOT NULL, "
        "product_id INT NOT NULL, region_id INT NOT NULL, quantity INT NOT NULL, "
        "amount DECIMAL(10,2) NOT NULL, note VARCHAR(120) NULL)",
    ], database=DATABASE)
    server.execute([f"INSERT INTO regions VALUES ({i + 1}, '{name}')"
                    for i, name in enumerate(REGIONS)], database=DATABASE)
    server.execute([f"INSERT INTO products VALUES ({i + 1}, '{name}', {price})"
                    for i, (name, price) in enumerate(PRODUCTS)], database=DATABASE)
    rng = random.Random(7)
    start = date.today() - timedelta(days=730)
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
    for chunk in range(0, len(rows), 1000):
        server.execute("INSERT INTO orders (order_date, product_id, region_id, quantity, amount, "
                       "note) VALUES " + ",".join(rows[chunk:chunk + 1000]), database=DATABASE)
        progress(f"seeded {min(chunk + 1000, len(rows))} of {len(rows)} orders")
    server.create_user(DEMO_USER, DEMO_PASSWORD, DATABASE)
    return len(rows)


# ---- the three modules ------------------------------------------------------------------------

def show_tabloom(server: Any) -> Any:
    from orvelkit.tabloom import MySQLDatabaseTabloom

    section("orvelkit.tabloom: schemas and the table cache")
    tool = MySQLDatabaseTabloom(DEMO_USER, DEMO_PASSWORD, server.host_port, DATABASE,
                                cache_path=str(OUT), cache_file="db_cache.pkl")
    tool.connect()
    tool.print_table_schemas()
    cache = OUT / "db_cache.pkl"
    frames = None
    for attempt in (1, 2):
        from_file = cache.exists()
        started = time.perf_counter()
        frames = tool.prepare_data()
        took = time.perf_counter() - started
        source = f"served from the cache file {cache}" if from_file else "read from the database"
        print(f"prepare_data call {attempt}: {len(frames)} tables {source} in {took:.3f} s")
    if cache.exists():
        print(f"(the cache is served until it is deleted: remove {cache} to read the database "
              "again)")
    for frame in frames:
        print(f"  {getattr(frame, 'name', '?'):10s} {len(frame):6d} rows, columns {list(frame.columns)}")
    return frames


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
    figure.savefig(path, dpi=100)
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
    with from_environment_or_throwaway(progress=progress) as server:
        count = seed(server)
        print(f"database {DATABASE!r} on {server.host_port}: {len(REGIONS)} regions, "
              f"{len(PRODUCTS)} products, {count} orders")
        show_tabloom(server)
        show_auspex(server)
        show_base(server)
        section("shutting down")
    print("server stopped; nothing left running")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")
    sys.exit(main())

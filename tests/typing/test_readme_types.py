"""The README's examples type-check against the stubs, and calls with wrong argument types do not.

Every example and every wrong call is its own file, all checked by one mypy run (mypy spends most
of its time reading pandas, langchain and llama_index, once).
"""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

from support.offline_llm import CORE_LAYOUT

HERE = Path(__file__).resolve().parent
README = HERE.parent.parent / "README.md"

# The examples pick llama_index's layout with `if LLAMA_INDEX_CORE:`; mypy is told which one is
# installed, so it checks that branch with the real types and skips the other.
LAYOUT_FLAG = ["--always-true" if CORE_LAYOUT else "--always-false", "LLAMA_INDEX_CORE"]
# The same for LangChain's classic agents, in their own package from langchain 1.x on.
LAYOUT_FLAG += ["--always-true" if importlib.util.find_spec("langchain_classic")
                else "--always-false", "LANGCHAIN_CLASSIC"]
SQLDATABASE = "llama_index.core" if CORE_LAYOUT else "llama_index"

# Names an example takes from an earlier one, with the type the earlier one gives them (so an
# example that skips narrowing getdbinstance's result is caught); each is declared only in the
# examples that use it without assigning it.
DECLARATIONS = {
    "connector": "connector: MySQLDatabaseConnector",
    "database": "database: SQLDatabase | Dict[str, Any] | None",
    "LLAMA_INDEX_CORE": "LLAMA_INDEX_CORE: bool",
}


def with_declarations(body):
    lines = ["from typing import Any, Dict", f"from {SQLDATABASE} import SQLDatabase",
             "from orvelkit.base import MySQLDatabaseConnector"]
    for name, declaration in DECLARATIONS.items():
        if re.search(rf"\b{name}\b", body) and not re.search(rf"^{name} =", body, re.M):
            lines.append(declaration)
    return "\n".join(lines) + "\n" + body


WRONG_CALLS = {
    "forecast_period_text": ("from orvelkit.auspex import ts_forecast\nimport pandas as pd\n"
                             "ts_forecast(pd.DataFrame(), '2')\n"),
    "conv_date_number": "from orvelkit.auspex import conv_date\nconv_date(20240105)\n",
    "tool_name_number": "from orvelkit.auspex import Auspex\nAuspex(name=5)\n",
    "run_result_as_text": ("from orvelkit.auspex import Auspex\n"
                           "text: str = Auspex()._run('{}')\n"),
    "tabloom_port_number": ("from orvelkit.tabloom import MySQLDatabaseTabloom\n"
                            "MySQLDatabaseTabloom('u', 'p', 3306, 'db')\n"),
    "tabloom_missing_database": ("from orvelkit.tabloom import MySQLDatabaseTabloom\n"
                                 "MySQLDatabaseTabloom('u', 'p', 'h')\n"),
    "connector_user_number": ("from orvelkit.base import MySQLDatabaseConnector\n"
                              "MySQLDatabaseConnector(db_user=1)\n"),
    "connector_status_as_bool": ("from orvelkit.base import MySQLDatabaseConnector\n"
                                 "ok: bool = MySQLDatabaseConnector().connect()\n"),
    # The database is the installed layout's SQLDatabase, not merely Any.
    "database_query_number": ("from orvelkit.base import MySQLDatabaseConnector\n"
                              "db = MySQLDatabaseConnector().db\n"
                              "assert db is not None\n"
                              "db.run_sql(1)\n"),
}


def readme_examples():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert blocks, "the README has no python examples"
    return {f"readme_{i}": block for i, block in enumerate(blocks)}


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """File stem -> the error lines mypy reports for it."""
    root = tmp_path_factory.mktemp("typed")
    files = []
    for stem, body in {**readme_examples(), **WRONG_CALLS}.items():
        path = root / f"{stem}.py"
        path.write_text(with_declarations(body), encoding="utf-8")
        files.append(str(path))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(HERE / "mypy.ini"),
         "--cache-dir", str(root / ".mypy_cache"), "--no-error-summary", "--show-error-codes",
         *LAYOUT_FLAG, *files],
        capture_output=True, text=True, timeout=600, cwd=root)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = {}
    for line in result.stdout.splitlines():
        match = re.match(r"(?:.*/)?([^/:]+)\.py:\d+: error: ", line)
        assert match, f"unexpected mypy output: {line}"
        errors.setdefault(match.group(1), []).append(line)
    return errors


@pytest.mark.parametrize("stem", sorted(readme_examples()))
def test_readme_example_type_checks(mypy_errors, stem):
    assert mypy_errors.get(stem, []) == [], readme_examples()[stem]


@pytest.mark.parametrize("stem", sorted(WRONG_CALLS))
def test_wrong_argument_type_is_reported(mypy_errors, stem):
    assert mypy_errors.get(stem), f"mypy accepted:\n{WRONG_CALLS[stem]}"

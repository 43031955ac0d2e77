"""Every ```python block of README.md and docs/*.md runs as written, against the test server.

Finding the blocks: a block opens with a line that is exactly ```python and closes at the next
line that is exactly ```. Every ```python in a file must open such a block, so a fence written
some other way fails here instead of going unchecked. A block is left out only when the line right
before its fence is ``<!-- not run: <reason> -->``; a mark anywhere else is an error.

Running them: the blocks of one file run in order in one namespace, a module of their own, the
way a reader pasting them top to bottom into one session would run them: later blocks use names
earlier ones made (the query-engine example takes the ``database`` of the connector example). One
case per file; a failure's traceback names the markdown file and the line in it. Each file runs in
a scratch working directory, so the cache files the examples write land there, and no socket may
connect anywhere but this machine and the test server.

The connection: the examples show one made-up connection (``EXAMPLE_*`` below), and a block that
builds a tool or a connector must spell out all four values as plain string literals. In such a
block, exactly those literals (whole string tokens, never text inside another string) are replaced
before it runs: the user by one made for this test, which logs in with the example's own password,
the host by the test server's, the database by the test's own, where ``orders`` is seeded. The
rest of the code is the block's, line for line.
"""

from __future__ import annotations

import ast
import io
import ipaddress
import re
import socket
import sys
import tokenize
import types
import uuid
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, List, Optional

import pytest

ROOT = Path(__file__).resolve().parent.parent
FENCE, CLOSE = "```python", "```"
NOT_RUN = re.compile(r"<!-- not run: (\S.*?) -->")
MARK_LIKE = re.compile(r"<!--\s*not[\s_-]*run", re.I)  # what a mistyped mark would still look like

EXAMPLE_USER = "analyst"
EXAMPLE_PASSWORD = "p@ss/w:rd"
EXAMPLE_HOST = "db.example.com:3306"
EXAMPLE_DATABASE = "sales"
CONNECTS = re.compile(r"\b(?:MySQLDatabaseTabloom|MySQLDatabaseConnector)\(")

# What the examples query: an id first (the schema listing shows it), regions to rank by amount.
ORDERS = """
CREATE TABLE orders (id INT PRIMARY KEY, order_date DATE NOT NULL, region VARCHAR(20) NOT NULL,
  amount DECIMAL(10,2) NOT NULL);
INSERT INTO orders VALUES (1, '2024-01-01', 'North', 120.00), (2, '2024-01-01', 'South', 80.50),
  (3, '2024-01-02', 'North', 95.25), (4, '2024-01-03', 'West', 60.00);
"""


@dataclass
class Block:
    path: Path
    line: int  # the line of the block's first line of code in its file, counting from 1
    code: str
    not_run: Optional[str]  # the reason given in the mark, if any


def parse(path: Path):
    """The file's python blocks, and the line numbers of marks that sit on no block."""
    lines = path.read_text(encoding="utf-8").splitlines()
    blocks: List[Block] = []
    stray: List[int] = []
    i = 0
    while i < len(lines):
        if lines[i] == FENCE:
            try:
                end = lines.index(CLOSE, i + 1)
            except ValueError:
                raise AssertionError(f"{path}:{i + 1}: the python block is never closed") from None
            mark = NOT_RUN.fullmatch(lines[i - 1]) if i else None
            blocks.append(Block(path, i + 2, "\n".join(lines[i + 1:end]) + "\n",
                                mark.group(1) if mark else None))
            i = end + 1
            continue
        if MARK_LIKE.search(lines[i]) and (
                not NOT_RUN.fullmatch(lines[i]) or i + 1 == len(lines) or lines[i + 1] != FENCE):
            stray.append(i + 1)
        i += 1
    opened = sum(line.count(FENCE) for line in lines)
    assert opened == len(blocks), f"{path}: {opened} ```python, {len(blocks)} blocks read"
    return blocks, stray


MARKDOWN = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
WITH_BLOCKS = [path for path in MARKDOWN if parse(path)[0]]


def name(path: Path) -> str:
    return path.relative_to(ROOT).as_posix()


def string_literals(code: str):
    """(start offset, end offset, value) of every plain string token of `code`."""
    starts = [0]
    for line in io.StringIO(code):
        starts.append(starts[-1] + len(line))
    for token in tokenize.generate_tokens(io.StringIO(code).readline):
        # Before 3.12 an f-string is one STRING token too; it is no literal to compare.
        prefix = re.match(r"[A-Za-z]*", token.string).group().lower()
        if token.type == tokenize.STRING and "f" not in prefix:
            value = ast.literal_eval(token.string)
            if isinstance(value, str):
                yield (starts[token.start[0] - 1] + token.start[1],
                       starts[token.end[0] - 1] + token.end[1], value)


def pointed_at(block: Block, replacements: Dict[str, str]) -> str:
    """The block's code with the example connection's literals replaced (same lines, same order)."""
    literals = list(string_literals(block.code))
    shown = {value for _, _, value in literals}
    missing = [value for value in (EXAMPLE_USER, EXAMPLE_PASSWORD, EXAMPLE_HOST, EXAMPLE_DATABASE)
               if value not in shown]
    assert not missing, (
        f"{name(block.path)}:{block.line}: a block that connects must spell out the example "
        f"connection as string literals; it lacks {missing} (or update EXAMPLE_* here)")
    code = block.code
    for start, end, value in reversed(literals):
        if value in replacements:
            code = code[:start] + repr(replacements[value]) + code[end:]
    return code


@pytest.fixture
def example_connection(database):
    """The example's user, host and database name -> this test's, with `orders` seeded."""
    database.execute(ORDERS)
    user = "readme_" + uuid.uuid4().hex[:8]
    database.server.create_user(user, EXAMPLE_PASSWORD, database.name)
    yield {EXAMPLE_USER: user, EXAMPLE_HOST: database.host, EXAMPLE_DATABASE: database.name}
    database.server.drop_user(user)


@pytest.fixture
def machine_only(monkeypatch):
    """Refuse sockets that would leave this machine; `allow(host)` admits the test server."""
    allowed = set()

    def allow(host: str) -> None:
        allowed.update(info[4][0] for info in socket.getaddrinfo(host, None))

    real_connect = socket.socket.connect

    def connect(sock, address):
        if sock.family in (socket.AF_INET, socket.AF_INET6):
            ip = ipaddress.ip_address(address[0])
            if not ip.is_loopback and str(ip) not in allowed:
                raise ConnectionRefusedError(f"an example tried to reach {address[0]}")
        return real_connect(sock, address)

    monkeypatch.setattr(socket.socket, "connect", connect)
    return allow


def run_in_order(sources, module_name: str) -> None:
    module = types.ModuleType(module_name)
    sys.modules[module_name] = module  # as for a script: classes it defines can be found by name
    try:
        for block, code in sources:
            # Leading newlines keep each line's number in the file, for tracebacks and syntax
            # errors.
            compiled = compile("\n" * (block.line - 1) + code, str(block.path), "exec")
            exec(compiled, module.__dict__)
    finally:
        del sys.modules[module_name]
        module.__dict__.clear()  # lets the examples' engines and their connections go now


@pytest.mark.parametrize("path", WITH_BLOCKS, ids=name)
def test_python_blocks_run_in_order(path, request, tmp_path, monkeypatch, machine_only):
    blocks = [block for block in parse(path)[0] if block.not_run is None]
    assert blocks, f"{name(path)}: every python block is marked not run"
    monkeypatch.chdir(tmp_path)
    replacements: Dict[str, str] = {}
    if any(CONNECTS.search(block.code) for block in blocks):
        replacements = request.getfixturevalue("example_connection")
        machine_only(replacements[EXAMPLE_HOST].rsplit(":", 1)[0].strip("[]"))
    sources = [(block, pointed_at(block, replacements) if CONNECTS.search(block.code)
                else block.code) for block in blocks]
    run_in_order(sources, "markdown_example_" + uuid.uuid4().hex[:8])


@pytest.mark.parametrize("path", MARKDOWN, ids=name)
def test_not_run_marks_give_a_reason_right_before_a_block(path):
    stray = parse(path)[1]
    assert stray == [], (f"{name(path)}: lines {stray} are not `<!-- not run: reason -->` right "
                         "before a ```python line")

"""Helpers of the robustness tests: child interpreters."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
WORKER = HERE / "tabloom_worker.py"
REPLY_MARK = "@@"


def child_environment() -> dict:
    """The environment of a child interpreter that must import the installed build."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("LANGCHAIN_", "LANGSMITH_", "OPENAI_"))}
    # Without PYTHONSAFEPATH the script's folder would come first on sys.path; the
    # repository root must never come first either, or orvelkit/ (sources) shadows the build.
    env["PYTHONSAFEPATH"] = "1"
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    for name in ("PYTHONPATH", "NLTK_DATA", "TIKTOKEN_CACHE_DIR"):
        env.pop(name, None)
    return env


def run_python(script: str, *args: str, cwd, timeout: float = 60.0) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, script, *args], cwd=str(cwd), env=child_environment(),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout)


class TabloomWorker:
    """A child interpreter that holds one MySQLDatabaseTabloom and obeys JSON commands.

    Its stderr goes to a file, never to a pipe nobody drains: a chatty child must not block.
    """

    def __init__(self, log_path: Path, cwd: Path) -> None:
        self.log_path = log_path
        self._log = open(log_path, "wb")
        self.proc = subprocess.Popen(
            [sys.executable, str(WORKER)], cwd=str(cwd), env=child_environment(),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._log, text=True, bufsize=1)

    def send(self, **command) -> None:
        self.proc.stdin.write(json.dumps(command) + "\n")
        self.proc.stdin.flush()

    def receive(self) -> dict:
        # Replies carry a mark, so anything else a library prints on stdout is skipped.
        for line in self.proc.stdout:
            if line.startswith(REPLY_MARK):
                return json.loads(line[len(REPLY_MARK):])
        raise AssertionError(f"worker {self.proc.pid} ended (code {self.proc.wait()}):\n"
                             + self.log_tail())

    def ask(self, **command) -> dict:
        self.send(**command)
        return self.receive()

    def log_tail(self, size: int = 4000) -> str:
        self._log.flush()
        return self.log_path.read_bytes()[-size:].decode("utf-8", "replace")

    def close(self) -> None:
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self._log.close()


def start_workers(folder: Path, count: int, started: list) -> list:
    workers = [TabloomWorker(folder / f"worker{len(started) + i}.log", folder)
               for i in range(count)]
    started.extend(workers)
    for worker in workers:  # started together, so their imports overlap
        assert worker.receive() == {"ready": True}
    return workers

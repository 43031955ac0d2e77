"""A private, disposable MariaDB server for tests and demos.

The server lives in a fresh temporary directory, listens only on a free
loopback port (or on a preferred one while that is free), and is torn down
(process and files) when the handle is stopped, when the ``with`` block ends,
or at interpreter exit.  Nothing here reads or writes the machine's own
MariaDB configuration, so a system server on port 3306 is never touched.

When ``ORVELKIT_TEST_MYSQL_HOST`` is set, :func:`from_environment_or_throwaway`
returns a handle to that existing server instead; such a handle never shuts
the server down.

SQL goes through PyMySQL, which orvelkit already depends on.
"""

from __future__ import annotations

import atexit
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path
from typing import Callable, Iterable, List, Optional, Sequence, Tuple, Union

import pymysql
from pymysql.constants import CLIENT

from .ports import free_loopback_port

__all__ = [
    "MariaDBError",
    "MariaDBNotInstalled",
    "MariaDBStartError",
    "NotSupportedForExternalServer",
    "ThrowawayMariaDB",
    "ExternalMariaDB",
    "from_environment_or_throwaway",
    "find_binaries",
    "sql_string_literal",
    "sql_identifier",
]

ENV_HOST = "ORVELKIT_TEST_MYSQL_HOST"
ENV_PORT = "ORVELKIT_TEST_MYSQL_PORT"
ENV_USER = "ORVELKIT_TEST_MYSQL_USER"
ENV_PASSWORD = "ORVELKIT_TEST_MYSQL_PASSWORD"

_SEARCH_DIRS = ("/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin")
_INSTALL_HINT = (
    "Run scripts/ensure_mariadb.sh to install the MariaDB server binaries, "
    f"or point the tests at an existing server with {ENV_HOST}, {ENV_PORT}, "
    f"{ENV_USER} and {ENV_PASSWORD}."
)

# Error numbers below this one come from the server; from it on, from the client (no route,
# refused, timed out, connection lost).
_FIRST_CLIENT_ERROR = 2000

Progress = Optional[Callable[[str], None]]
Row = Tuple[object, ...]


class MariaDBError(RuntimeError):
    """Base class for every failure raised by this module."""


class MariaDBNotInstalled(MariaDBError):
    pass


class MariaDBStartError(MariaDBError):
    pass


class NotSupportedForExternalServer(MariaDBError):
    pass


# --------------------------------------------------------------------------
# SQL text helpers, for statements that cannot take parameters.


def sql_string_literal(value: str) -> str:
    """Quote ``value`` as a MariaDB string literal (default sql_mode)."""
    return "'" + pymysql.converters.escape_string(value) + "'"


def sql_identifier(name: str) -> str:
    if not name or "\0" in name:
        raise ValueError(f"invalid SQL identifier: {name!r}")
    return "`" + name.replace("`", "``") + "`"


def _grant_database_pattern(name: str) -> str:
    # In GRANT ... ON `db`.*, '_' and '%' are wildcards; a grant for t_1 would
    # otherwise also open tX1 to the grantee.
    return sql_identifier(name.replace("\\", "\\\\").replace("_", "\\_").replace("%", "\\%"))


# --------------------------------------------------------------------------
# Binary discovery


def _which(names: Sequence[str]) -> Optional[str]:
    for name in names:
        found = shutil.which(name)
        if found:
            return found
        for directory in _SEARCH_DIRS:
            candidate = os.path.join(directory, name)
            if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
                return candidate
    return None


def find_binaries() -> dict:
    """Locate the server and the bootstrap tool.

    Raises :class:`MariaDBNotInstalled` naming the installer script when the
    server or the bootstrap tool is missing.
    """
    found = {
        "server": _which(("mariadbd", "mysqld")),
        "install_db": _which(("mariadb-install-db", "mysql_install_db")),
    }
    missing = [
        label
        for key, label in (("server", "mariadbd/mysqld"), ("install_db", "mariadb-install-db"))
        if not found[key]
    ]
    if missing:
        raise MariaDBNotInstalled(
            f"MariaDB binaries not found ({', '.join(missing)}). {_INSTALL_HINT}"
        )
    return found


# --------------------------------------------------------------------------
# Process lifetime: a server must never outlive the Python process that
# started it, even when that process dies without running atexit.

_LIVE: "set[ThrowawayMariaDB]" = set()
_LIVE_LOCK = threading.Lock()


def _stop_all_at_exit() -> None:
    with _LIVE_LOCK:
        servers = list(_LIVE)
    for server in servers:
        try:
            server.stop()
        except Exception:
            pass


atexit.register(_stop_all_at_exit)


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _remove_orphaned_directories(parent: Optional[str]) -> None:
    # A test run killed with SIGKILL takes its server along (see
    # _die_with_parent) but cannot delete the data directory; the next run
    # sweeps up directories whose owning process is gone.
    root = Path(parent or tempfile.gettempdir())
    for directory in root.glob("orvelkit-mariadb-*"):
        try:
            owner = int((directory / "owner.pid").read_text())
            server_pid_file = directory / "mysqld.pid"
            server = int(server_pid_file.read_text()) if server_pid_file.exists() else None
        except (OSError, ValueError):
            continue
        if _pid_alive(owner) or (server is not None and _pid_alive(server)):
            continue
        shutil.rmtree(directory, ignore_errors=True)


def _die_with_parent() -> None:
    # PR_SET_PDEATHSIG fires when the creating *thread* ends, so it is only
    # requested when the server is started from the main thread.
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM, 0, 0, 0)  # PR_SET_PDEATHSIG
    except Exception:
        pass


def _loopback_port_is_free(port: int) -> bool:
    # SO_REUSEADDR as mariadbd binds: connections of an earlier server still in TIME_WAIT do not
    # stop it from listening, only another listener does.
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


# --------------------------------------------------------------------------


class _ServerHandle:
    """What tests need from any server, throwaway or external."""

    host: str = "127.0.0.1"
    port: int
    user: str
    password: str
    socket: Optional[str] = None
    external: bool = False

    def __repr__(self) -> str:
        kind = "external" if self.external else "throwaway"
        return f"<{type(self).__name__} {kind} {self.user}@{self.host_port}>"

    # ---- addressing ----------------------------------------------------

    @property
    def host_port(self) -> str:
        """``host:port``: the host part of a URL that carries no separate port."""
        return f"{self.host}:{self.port}"

    def url(self, database: Optional[str] = None, user: Optional[str] = None,
            password: Optional[str] = None) -> str:
        if user is None:
            user = self.user
            if password is None:
                password = self.password
        password = password or ""
        credentials = urllib.parse.quote(user, safe="")
        if password:
            credentials += ":" + urllib.parse.quote(password, safe="")
        path = "/" + urllib.parse.quote(database, safe="") if database else "/"
        return f"mysql+pymysql://{credentials}@{self.host_port}{path}"

    # ---- SQL -----------------------------------------------------------

    def execute(self, sql: Union[str, Iterable[str]], database: Optional[str] = None,
                params: Optional[Union[Sequence[object], dict]] = None,
                user: Optional[str] = None, password: Optional[str] = None) -> List[Row]:
        """Run one or more statements; return the rows of the last result set.

        ``sql`` may hold several ``;``-separated statements (handy for
        seeding) or be a list of statements.  ``params`` uses PyMySQL's
        ``%s`` / ``%(name)s`` style.
        """
        if not isinstance(sql, str):
            sql = ";\n".join(s.rstrip().rstrip(";") for s in sql)
        if user is None:
            user, password = self.user, self.password
        conn = self._connect(user, password or "", database)
        try:
            with conn.cursor() as cur:
                cur.execute(sql, params)
                rows: List[Row] = list(cur.fetchall()) if cur.description else []
                while cur.nextset():
                    if cur.description:
                        rows = list(cur.fetchall())
                return rows
        finally:
            conn.close()

    def _connect(self, user: str, password: str, database: Optional[str] = None,
                 timeout: float = 10) -> "pymysql.connections.Connection":
        return pymysql.connect(
            host=self.host, port=self.port, user=user, password=password,
            database=database, autocommit=True, charset="utf8mb4",
            connect_timeout=timeout, client_flag=CLIENT.MULTI_STATEMENTS,
        )

    # ---- conveniences --------------------------------------------------

    def create_database(self, name: str) -> None:
        self.execute(
            f"CREATE DATABASE {sql_identifier(name)} "
            "CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci"
        )

    def drop_database(self, name: str) -> None:
        self.execute(f"DROP DATABASE IF EXISTS {sql_identifier(name)}")

    def list_databases(self) -> List[str]:
        return [str(r[0]) for r in self.execute("SHOW DATABASES")]

    def create_user(self, name: str, password: str, database: Optional[str] = None,
                    host: str = "%") -> None:
        """(Re)create ``name``@``host`` and give it every privilege on ``database``."""
        account = (name, host)
        self.execute("DROP USER IF EXISTS %s@%s", params=account)
        self.execute("CREATE USER %s@%s IDENTIFIED BY %s", params=(*account, password))
        if database:
            self.execute(f"GRANT ALL PRIVILEGES ON {_grant_database_pattern(database)}.* "
                         "TO %s@%s", params=account)

    def drop_user(self, name: str, host: str = "%") -> None:
        self.execute("DROP USER IF EXISTS %s@%s", params=(name, host))

    # ---- lifetime ------------------------------------------------------

    @property
    def is_running(self) -> bool:
        return True

    def start(self) -> "_ServerHandle":
        return self

    def stop(self) -> None:
        pass

    def kill(self) -> None:
        raise NotImplementedError

    def restart(self) -> None:
        raise NotImplementedError

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()


class ExternalMariaDB(_ServerHandle):
    """A server someone else runs; this handle never stops or restarts it."""

    external = True

    def __init__(self, host: str, port: int = 3306, user: str = "root", password: str = "",
                 progress: Progress = None) -> None:
        self.host = host
        self.port = int(port)
        self.user = user
        self.password = password
        self._progress = progress or (lambda _text: None)

    @classmethod
    def from_environment(cls, progress: Progress = None) -> Optional["ExternalMariaDB"]:
        host = os.environ.get(ENV_HOST, "").strip()
        if not host:
            return None
        port = os.environ.get(ENV_PORT, "").strip()
        if not port and host.count(":") == 1:
            host, port = host.split(":")
        return cls(host=host, port=int(port or 3306),
                   user=os.environ.get(ENV_USER, "root"),
                   password=os.environ.get(ENV_PASSWORD, ""),
                   progress=progress)

    def start(self) -> "ExternalMariaDB":
        self._progress(f"using the existing MariaDB server at {self.host_port}")
        try:
            self.execute("SELECT 1")
        except Exception as exc:
            raise MariaDBStartError(
                f"cannot log in to {self.user}@{self.host_port} "
                f"(from {ENV_HOST}/{ENV_PORT}/{ENV_USER}/{ENV_PASSWORD}): {exc}"
            ) from exc
        return self

    def kill(self) -> None:
        raise NotSupportedForExternalServer(
            "kill() is not supported for an external server; unset "
            f"{ENV_HOST} to run against a throwaway one"
        )

    def restart(self) -> None:
        raise NotSupportedForExternalServer(
            "restart() is not supported for an external server; unset "
            f"{ENV_HOST} to run against a throwaway one"
        )


class ThrowawayMariaDB(_ServerHandle):
    """A MariaDB server in a temporary directory on a free loopback port.

    ``root`` with an empty password can log in over TCP from 127.0.0.1.
    """

    # Small and unsynchronised: the data is disposable and start-up time
    # matters more than durability.  flush_log_at_trx_commit=2 still keeps
    # committed rows across a SIGKILL of the server (they sit in the OS
    # cache), which is what crash tests rely on.
    _TUNING = (
        "--innodb-buffer-pool-size=32M",
        "--innodb-log-file-size=16M",
        "--innodb-log-buffer-size=4M",
    )
    _SERVER_ONLY_TUNING = (
        "--innodb-flush-log-at-trx-commit=2",
        "--innodb-buffer-pool-dump-at-shutdown=0",
        "--innodb-buffer-pool-load-at-startup=0",
        # Native AIO can run out of kernel contexts on busy CI hosts.
        "--innodb-use-native-aio=0",
        "--performance-schema=OFF",
        "--skip-log-bin",
        # Without a config file the compiled-in default is latin1, which
        # is not what any real deployment (or Debian's packaged config) uses.
        "--character-set-server=utf8mb4",
        "--collation-server=utf8mb4_general_ci",
    )

    def __init__(self, progress: Progress = None, startup_timeout: float = 60.0,
                 shutdown_timeout: float = 30.0, base_dir: Optional[str] = None,
                 extra_args: Sequence[str] = (), preferred_port: Optional[int] = None) -> None:
        """``preferred_port``: listen there when it is free, else on a free port as usual (the
        handle's ``port`` says which), for callers whose records name the server's address."""
        if preferred_port is not None and not (
                type(preferred_port) is int and 0 < preferred_port < 65536):
            raise ValueError(f"not a TCP port: {preferred_port!r}")
        self._bins = find_binaries()
        self.host = "127.0.0.1"
        self.port = 0
        self.preferred_port = preferred_port
        self.user = "root"
        self.password = ""
        self._progress = progress or (lambda _text: None)
        self.startup_timeout = startup_timeout
        self.shutdown_timeout = shutdown_timeout
        self._base_dir = base_dir
        self._extra_args = list(extra_args)
        self._tmp: Optional[Path] = None
        self._sock_dir: Optional[Path] = None
        self._proc: Optional[subprocess.Popen] = None
        self._out_file = None
        self.socket = None
        self.start_seconds: Optional[float] = None

    # ---- paths ---------------------------------------------------------

    @property
    def directory(self) -> Optional[Path]:
        return self._tmp

    @property
    def datadir(self) -> Path:
        return self._require_dir() / "data"

    @property
    def error_log(self) -> Path:
        return self._require_dir() / "error.log"

    @property
    def pid(self) -> Optional[int]:
        return self._proc.pid if self._proc else None

    @property
    def is_running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    def _require_dir(self) -> Path:
        if self._tmp is None:
            raise MariaDBError("the server has not been started (or was already stopped)")
        return self._tmp

    def log_tail(self, lines: int = 40) -> str:
        chunks = []
        for name in ("error.log", "mariadbd.out", "install.log"):
            path = self._tmp / name if self._tmp else None
            if path and path.exists():
                text = path.read_text("utf-8", "replace").splitlines()[-lines:]
                if text:
                    chunks.append(f"--- {name} (last {len(text)} lines) ---\n" + "\n".join(text))
        return "\n".join(chunks) or "(no server log was written)"

    # ---- lifetime ------------------------------------------------------

    def start(self) -> "ThrowawayMariaDB":
        if self.is_running:
            return self
        if self._tmp is not None:
            raise MariaDBError("this server was killed or failed; use restart()")
        began = time.monotonic()
        _remove_orphaned_directories(self._base_dir)
        self._tmp = Path(tempfile.mkdtemp(prefix="orvelkit-mariadb-", dir=self._base_dir))
        (self._tmp / "owner.pid").write_text(str(os.getpid()))
        with _LIVE_LOCK:
            _LIVE.add(self)
        try:
            self._progress(f"creating a private data directory in {self._tmp}")
            self._install_system_tables()
            for attempt in range(3):
                self.port = self._choose_port(first=attempt == 0)
                try:
                    self._launch()
                    break
                except MariaDBStartError:
                    # Another process may have taken the port between our
                    # probe and the server's bind; only that case is retried.
                    if attempt == 2 or "Address already in use" not in self.log_tail():
                        raise
                    self._progress(f"port {self.port} was taken meanwhile, trying another")
        except BaseException:
            self.stop()
            raise
        self.start_seconds = time.monotonic() - began
        self._progress(
            f"MariaDB ready on {self.host_port} after {self.start_seconds:.1f} s"
        )
        return self

    def _choose_port(self, first: bool) -> int:
        preferred = self.preferred_port
        if not first or preferred is None:
            return free_loopback_port()
        if _loopback_port_is_free(preferred):
            return preferred
        self._progress(f"port {preferred} is in use, so the server takes a free port instead")
        return free_loopback_port()

    def _install_system_tables(self) -> None:
        self._progress("initialising system tables (mariadb-install-db)")
        cmd = [self._bins["install_db"], "--no-defaults", f"--datadir={self.datadir}",
               "--auth-root-authentication-method=normal", "--skip-test-db",
               "--skip-name-resolve", *self._TUNING]
        if os.geteuid() == 0:
            cmd.append("--user=root")
        with open(self._tmp / "install.log", "wb") as log:
            try:
                done = subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL, timeout=self.startup_timeout)
            except subprocess.TimeoutExpired:
                raise MariaDBStartError(
                    f"mariadb-install-db did not finish within {self.startup_timeout:.0f} s\n"
                    + self.log_tail()
                ) from None
        if done.returncode != 0:
            raise MariaDBStartError(
                f"mariadb-install-db failed with exit code {done.returncode}\n" + self.log_tail()
            )

    def _socket_path(self) -> str:
        path = self._tmp / "mysqld.sock"
        # sun_path holds 108 bytes; a long TMPDIR must not break start-up.
        if len(str(path)) > 100:
            if self._sock_dir is None:
                self._sock_dir = Path(tempfile.mkdtemp(prefix="okdb-", dir="/tmp"))
            path = self._sock_dir / "mysqld.sock"
        return str(path)

    def _write_init_file(self) -> Path:
        # Runs with full privileges before the first client is accepted, so
        # TCP root login works whatever authentication the bootstrap tool
        # chose for root@localhost.
        init = self._tmp / "init.sql"
        init.write_text(
            "CREATE USER IF NOT EXISTS 'root'@'127.0.0.1';\n"
            "GRANT ALL PRIVILEGES ON *.* TO 'root'@'127.0.0.1' WITH GRANT OPTION;\n"
        )
        return init

    def _launch(self) -> None:
        tmp = self._require_dir()
        self.socket = self._socket_path()
        cmd = [
            self._bins["server"], "--no-defaults",
            f"--datadir={self.datadir}",
            f"--socket={self.socket}",
            f"--pid-file={tmp / 'mysqld.pid'}",
            f"--log-error={tmp / 'error.log'}",
            # Internal temporary tables go to this server's own folder: servers sharing /tmp
            # have been seen deleting each other's files.
            f"--tmpdir={tmp}",
            f"--port={self.port}",
            "--bind-address=127.0.0.1",
            "--skip-networking=0",
            "--skip-name-resolve",
            f"--init-file={self._write_init_file()}",
            *self._TUNING,
            *self._SERVER_ONLY_TUNING,
            *self._extra_args,
        ]
        if os.geteuid() == 0:
            # mariadbd refuses to run as root unless told so explicitly.
            cmd.insert(2, "--user=root")
        self._progress(f"starting mariadbd on {self.host_port}")
        if self._out_file is None:
            self._out_file = open(tmp / "mariadbd.out", "ab")
        in_main = threading.current_thread() is threading.main_thread()
        self._proc = subprocess.Popen(
            cmd, stdin=subprocess.DEVNULL, stdout=self._out_file, stderr=subprocess.STDOUT,
            # Its own session: a Ctrl-C meant for the test run must not kill
            # the server before our teardown has had its say.
            start_new_session=True,
            preexec_fn=_die_with_parent if in_main else None,
        )
        self._wait_until_ready()

    def _wait_until_ready(self) -> None:
        began = time.monotonic()
        deadline = began + self.startup_timeout
        announced = False
        while True:
            code = self._proc.poll()
            if code is not None:
                raise MariaDBStartError(
                    f"mariadbd exited with code {code} during start-up\n" + self.log_tail()
                )
            if self._serves_root():
                break
            if time.monotonic() > deadline:
                self._terminate(kill_only=True)
                raise MariaDBStartError(
                    f"mariadbd did not accept connections within {self.startup_timeout:.0f} s\n"
                    + self.log_tail()
                )
            if not announced and time.monotonic() - began > 2:
                self._progress("waiting for mariadbd to accept connections")
                announced = True
            time.sleep(0.05)

    def _serves_root(self) -> bool:
        """True once root can log in over TCP.

        Until then the port is not yet bound, or it is and connections queue unanswered while
        the server runs its init file; a short timeout keeps the wait responsive.  A refusal
        from the server itself will not go away by waiting.
        """
        try:
            self._connect(self.user, self.password, timeout=1).close()
        except pymysql.err.OperationalError as exc:
            if exc.args and isinstance(exc.args[0], int) and exc.args[0] < _FIRST_CLIENT_ERROR:
                raise MariaDBStartError(
                    f"mariadbd is up but root cannot log in over TCP: {exc}\n" + self.log_tail()
                ) from exc
            return False
        return True

    def _terminate(self, kill_only: bool = False) -> None:
        proc = self._proc
        if proc is None:
            return
        if proc.poll() is None:
            if not kill_only:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=self.shutdown_timeout)
                except subprocess.TimeoutExpired:
                    pass
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self._proc = None

    def stop(self) -> None:
        """Shut the server down cleanly (SIGKILL after a timeout) and delete its files."""
        self._terminate()
        if self._out_file is not None:
            self._out_file.close()
            self._out_file = None
        for directory in (self._tmp, self._sock_dir):
            if directory is not None:
                shutil.rmtree(directory, ignore_errors=True)
        self._tmp = self._sock_dir = None
        self.socket = None
        with _LIVE_LOCK:
            _LIVE.discard(self)

    def kill(self) -> None:
        """SIGKILL the server, keeping its data for a later :meth:`restart`."""
        self._require_dir()
        self._terminate(kill_only=True)

    def restart(self) -> None:
        """Start again on the same data directory and port.

        A running server is shut down cleanly first; a killed one goes
        through InnoDB crash recovery.
        """
        self._require_dir()
        self._terminate()
        self._progress("restarting mariadbd")
        self._launch()


def from_environment_or_throwaway(progress: Progress = None, **kwargs) -> _ServerHandle:
    """The server named by ``ORVELKIT_TEST_MYSQL_*`` if set, else a throwaway one.

    The handle is not started yet: call ``start()`` or use it in ``with``.
    """
    external = ExternalMariaDB.from_environment(progress=progress)
    if external is not None:
        return external
    return ThrowawayMariaDB(progress=progress, **kwargs)

"""Throwaway database servers for the integration suites.

Each server engine gets one cluster per test session, initialised in a fresh temp folder,
listening only on a Unix socket inside that folder (so parallel runs never fight over a
port), and run as an unprivileged user: the suites run as root in CI and neither server
agrees to run as root. Every test then gets its own connection and an empty schema.

The fixtures skip with one line when a server's binaries are not installed at all; a
server that is installed but fails to start is an error carrying the tail of its output.
"""

from __future__ import annotations

import ctypes
import glob
import os
import pwd
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
pytest.register_assert_rewrite("road")

import engines  # noqa: E402

kServerUser = "nobody"
kStartTimeoutSeconds = 60
kStopTimeoutSeconds = 30
kPostgresUser = "road"
kPostgresPort = 5432
kMariadbDatabase = "road"
# Variables of the test process that must not reach a server: the sanitizer run preloads
# its runtime into the interpreter, and an uninstrumented server should not inherit it.
kPrivateEnvironment = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS",
                       "PYTHONMALLOC", "PYTHONPATH", "PGDATA", "PGHOST", "MYSQL_HOST")
kPrSetPdeathsig = 1
kLibc = ctypes.CDLL(None, use_errno=True)


@dataclass(frozen=True)
class PostgresParams:
    """Where the session's PostgreSQL server listens."""

    host: str  # the socket folder
    port: int
    user: str
    database: str
    pid: int


@dataclass(frozen=True)
class MariadbParams:
    """Where the session's MariaDB server listens."""

    unix_socket: str
    user: str
    pid: int


class ServerDir:
    """A temp folder that the server user owns, removed with everything in it."""

    def __init__(self, prefix: str):
        self.path = Path(tempfile.mkdtemp(prefix=prefix))
        self.as_root = os.geteuid() == 0
        if self.as_root:
            account = pwd.getpwnam(kServerUser)
            self.uid, self.gid = account.pw_uid, account.pw_gid
            os.chown(self.path, self.uid, self.gid)

    def process_options(self) -> dict:
        """Keyword arguments that start a process as the server user, in this folder."""
        env = {k: v for k, v in os.environ.items() if k not in kPrivateEnvironment}
        env.update(HOME=str(self.path), LC_ALL="C.UTF-8")
        options = {"cwd": self.path, "env": env}
        if self.as_root:
            options.update(user=self.uid, group=self.gid, extra_groups=[])
        return options

    def run(self, argv: list[str], log_name: str) -> None:
        """Runs one set-up command as the server user; fails with its output."""
        log = self.path / log_name
        with open(log, "wb") as out:
            status = subprocess.run(argv, stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, **self.process_options()).returncode
        if status != 0:
            raise RuntimeError(f"{Path(argv[0]).name} exited with {status}:\n{tail(log)}")

    def output(self) -> str:
        """What a server wrote to its console and its log."""
        return f"{tail(self.path / 'server.out')}\n{tail(self.path / 'server.log')}"

    def remove(self) -> None:
        """Deletes the folder and everything the server left in it."""
        shutil.rmtree(self.path, ignore_errors=True)


def tail(path: Path, lines: int = 30) -> str:
    """The last lines of a log file, or a note that there is none."""
    try:
        return "\n".join(path.read_text(errors="replace").splitlines()[-lines:])
    except FileNotFoundError:
        return f"({path.name} was not written)"


def die_with_parent() -> None:
    """Has the kernel stop this child process when the test process dies.

    Teardown stops the servers on every ordinary exit; this covers the others (a run
    killed on a time-out), so that no server outlives the tests that started it.
    """
    kLibc.prctl(kPrSetPdeathsig, signal.SIGTERM, 0, 0, 0)


def start_server(folder: ServerDir, argv: list[str], answers) -> subprocess.Popen:
    """Starts a server as the server user; returns once `answers()` is true."""
    with open(folder.path / "server.out", "wb") as out:
        process = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, preexec_fn=die_with_parent,
                                   **folder.process_options())
    deadline = time.monotonic() + kStartTimeoutSeconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"{Path(argv[0]).name} exited with {process.returncode}:\n"
                               f"{folder.output()}")
        if answers():
            return process
        time.sleep(0.05)
    stop_server(process, signal.SIGKILL)
    raise RuntimeError(f"{Path(argv[0]).name} did not answer within {kStartTimeoutSeconds} s:\n"
                       f"{folder.output()}")


def stop_server(process: subprocess.Popen, sig: int) -> None:
    """Sends the server its shutdown signal and waits; kills it if it lingers."""
    if process.poll() is None:
        process.send_signal(sig)
    try:
        process.wait(kStopTimeoutSeconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def find_postgres_bindir() -> Path | None:
    """The newest installed PostgreSQL server's program folder."""
    def version(initdb: str) -> int:
        name = Path(initdb).parent.parent.name
        return int(name) if name.isdigit() else 0

    candidates = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=version)
    if not candidates and shutil.which("initdb"):
        candidates = [shutil.which("initdb")]
    for initdb in reversed(candidates):
        bindir = Path(initdb).parent
        if (bindir / "postgres").exists() and (bindir / "pg_isready").exists():
            return bindir
    return None


def find_program(*names: str) -> str | None:
    """The first of the names found on PATH or in the system program folders."""
    path = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/usr/local/sbin", "/sbin"])
    for name in names:
        found = shutil.which(name, path=path)
        if found:
            return found
    return None


@pytest.fixture(scope="session")
def postgres_server():
    """A PostgreSQL cluster for the session, trusted for its one role on its socket."""
    bindir = find_postgres_bindir()
    if bindir is None:
        pytest.skip("PostgreSQL server binaries (initdb, postgres) not found: install postgresql")
    engines.require_driver("asyncpg")
    folder = ServerDir("kestrelite-pg-")
    data = folder.path / "data"
    process = None
    try:
        folder.run([str(bindir / "initdb"), "-D", str(data), "-U", kPostgresUser,
                    "--auth=trust", "--encoding=UTF8", "--locale=C", "--no-sync"], "initdb.log")
        ready = [str(bindir / "pg_isready"), "-q", "-h", str(folder.path), "-p", str(kPostgresPort)]
        # Sockets only: listen_addresses is empty, so the port just names the socket file.
        process = start_server(folder, [
            str(bindir / "postgres"), "-D", str(data), "-k", str(folder.path),
            "-p", str(kPostgresPort), "-c", "listen_addresses=", "-c", "fsync=off",
            "-c", "full_page_writes=off"],
            lambda: subprocess.run(ready, **folder.process_options()).returncode == 0)
        yield PostgresParams(host=str(folder.path), port=kPostgresPort, user=kPostgresUser,
                             database="postgres", pid=process.pid)
    finally:
        if process is not None:
            stop_server(process, signal.SIGINT)  # PostgreSQL's fast shutdown
        folder.remove()


@pytest.fixture(scope="session")
def mariadb_server():
    """A MariaDB server for the session; root has no password and the socket only."""
    install_db = find_program("mariadb-install-db", "mysql_install_db")
    server = find_program("mariadbd", "mysqld")
    if install_db is None or server is None:
        pytest.skip("MariaDB server binaries (mariadb-install-db, mariadbd) not found: "
                    "install mariadb-server")
    engines.require_driver("pymysql")
    folder = ServerDir("kestrelite-mariadb-")
    data = folder.path / "data"
    socket = folder.path / "mysqld.sock"
    process = None
    try:
        folder.run([install_db, "--no-defaults", f"--datadir={data}", "--skip-test-db",
                    "--auth-root-authentication-method=normal", "--skip-name-resolve"],
                   "install-db.log")
        process = start_server(folder, [
            server, "--no-defaults", f"--datadir={data}", f"--socket={socket}",
            "--skip-networking", f"--pid-file={folder.path / 'mysqld.pid'}",
            f"--log-error={folder.path / 'server.log'}", "--skip-name-resolve",
            "--character-set-server=utf8mb4", "--collation-server=utf8mb4_unicode_ci",
            "--innodb-buffer-pool-size=32M", "--innodb-flush-log-at-trx-commit=0"],
            lambda: socket.exists() and mariadb_answers(str(socket)))
        yield MariadbParams(unix_socket=str(socket), user="root", pid=process.pid)
    finally:
        if process is not None:
            stop_server(process, signal.SIGTERM)
        folder.remove()


def mariadb_answers(socket: str) -> bool:
    """Whether the server takes a connection on its socket."""
    try:
        engines.MariadbEngine.ping(socket, "root")
        return True
    except engines.mariadb_error():
        return False


@pytest.fixture(params=["memory", "file"])
def sqlite_db(request, tmp_path):
    """An empty SQLite database, in memory or in a file."""
    path = ":memory:" if request.param == "memory" else str(tmp_path / "road.db")
    engine = engines.SqliteEngine(path)
    yield engine
    engine.close()


@pytest.fixture
def postgres_db(postgres_server):
    """A connection to the session's PostgreSQL server with an empty public schema."""
    engine = engines.PostgresEngine(postgres_server)
    engine.run("DROP SCHEMA IF EXISTS public CASCADE")
    engine.run("CREATE SCHEMA public")
    yield engine
    engine.close()


@pytest.fixture
def mariadb_db(mariadb_server):
    """A connection to the session's MariaDB server, using a new empty database."""
    engine = engines.MariadbEngine(mariadb_server)
    engine.run(f"DROP DATABASE IF EXISTS {kMariadbDatabase}")
    engine.run(f"CREATE DATABASE {kMariadbDatabase}")
    engine.run(f"USE {kMariadbDatabase}")
    yield engine
    engine.close()

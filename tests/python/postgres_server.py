"""A real PostgreSQL server for the tests, from Debian's `postgresql` package.

The server refuses to run as root, so as root it runs as the `postgres` user
(`runuser`), in a temporary data directory that user owns, on a free port of
127.0.0.1 and a socket directory of its own. Tests connect as an ordinary role
(no superuser) with a password, as a user would. Shared by every suite that
needs a server: use the `postgres` fixture of conftest.py.
"""

from __future__ import annotations

import os
import pwd
import shutil
import socket
import subprocess
import tempfile
from dataclasses import dataclass
from pathlib import Path

SERVER_USER = "postgres"
ROLE = "quorle_user"
PASSWORD = "s3cret pass'word"  # a space and a quote: quoting must hold
DATABASE = "quorle_test"
START_GUARD = 120  # seconds: only so that a broken server fails instead of hanging


def server_bin() -> Path | None:
    """The versioned folder of the server's binaries, as `dpkg -L` lists it; None
    when the package is not installed."""
    try:
        listed = subprocess.run(
            ["dpkg-query", "-W", "-f=${Package}\\n", "postgresql-[0-9]*"],
            capture_output=True, text=True, check=False,
        ).stdout.split()  # fmt: skip
    except FileNotFoundError:
        return None
    for package in sorted(listed, reverse=True):
        files = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True).stdout
        for line in files.splitlines():
            if line.endswith("/bin/initdb") and os.access(line, os.X_OK):
                return Path(line).parent
    return None


def psql_path() -> str | None:
    """The psql client, from PATH or beside the server's binaries."""
    found = shutil.which("psql")
    if found:
        return found
    folder = server_bin()
    return str(folder / "psql") if folder and (folder / "psql").exists() else None


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@dataclass
class PostgresServer:
    bin: Path
    root: Path
    port: int = 0

    @property
    def data(self) -> Path:
        return self.root / "data"

    @property
    def sockets(self) -> Path:
        return self.root / "sockets"

    def _as_server(self, *command: str) -> subprocess.CompletedProcess[str]:
        prefix = ["runuser", "-u", SERVER_USER, "--"] if os.geteuid() == 0 else []
        return subprocess.run(
            [*prefix, *command], capture_output=True, text=True, timeout=START_GUARD, check=True
        )

    def start(self) -> None:
        self.sockets.mkdir(parents=True)
        if os.geteuid() == 0:
            user = pwd.getpwnam(SERVER_USER)
            for folder in (self.root, self.sockets):
                os.chown(folder, user.pw_uid, user.pw_gid)
        self.root.chmod(0o755)
        self._as_server(
            str(self.bin / "initdb"), "-D", str(self.data), "-U", SERVER_USER,
            "--auth-local=trust", "--auth-host=scram-sha-256", "-E", "UTF8", "--locale=C.UTF-8",
        )  # fmt: skip
        self.port = _free_port()
        options = f"-p {self.port} -k {self.sockets} -c listen_addresses=127.0.0.1 -c fsync=off"
        self._as_server(
            str(self.bin / "pg_ctl"), "-D", str(self.data), "-o", options,
            "-l", str(self.root / "server.log"), "-w", "-t", str(START_GUARD), "start",
        )  # fmt: skip
        quoted = PASSWORD.replace("'", "''")
        self.admin(f"CREATE ROLE {ROLE} LOGIN NOSUPERUSER NOCREATEDB PASSWORD '{quoted}'")
        self.admin(f"CREATE DATABASE {DATABASE} OWNER {ROLE}")

    def admin(self, sql: str, database: str = "postgres") -> str:
        """Runs SQL as the superuser over the socket: for setting up only."""
        return self._as_server(
            str(self.bin / "psql"), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
            "-h", str(self.sockets), "-p", str(self.port), "-d", database, "-c", sql,
        ).stdout  # fmt: skip

    def stop(self) -> None:
        if self.port:
            self._as_server(str(self.bin / "pg_ctl"), "-D", str(self.data), "-m", "fast", "-w",
                            "stop")  # fmt: skip
        shutil.rmtree(self.root, ignore_errors=True)

    def url(self, with_password: bool = True) -> str:
        """A SQLAlchemy-style URL for the ordinary role over TCP."""
        from urllib.parse import quote

        secret = f":{quote(PASSWORD, safe='')}" if with_password else ""
        return f"postgresql://{ROLE}{secret}@127.0.0.1:{self.port}/{DATABASE}"

    def libpq(self) -> str:
        """The same connection as a libpq keyword string, password included."""
        quoted = PASSWORD.replace("\\", "\\\\").replace("'", "\\'")
        return f"host=127.0.0.1 port={self.port} user={ROLE} dbname={DATABASE} password='{quoted}'"

    def client_env(self) -> dict[str, str]:
        """Environment for psql and the console script as the ordinary role."""
        env = dict(os.environ)
        env.update(PGHOST="127.0.0.1", PGPORT=str(self.port), PGUSER=ROLE, PGDATABASE=DATABASE,
                   PGPASSWORD=PASSWORD)  # fmt: skip
        return env


def start_server() -> PostgresServer | None:
    """A started server, or None when the binaries are absent."""
    folder = server_bin()
    if folder is None:
        return None
    server = PostgresServer(folder, Path(tempfile.mkdtemp(prefix="quorle-pg-")))
    try:
        server.start()
    except BaseException:
        server.stop()
        raise
    return server

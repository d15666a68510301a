"""A private PostgreSQL server for tests and benchmarks: a cluster in a temporary folder, reached only through a Unix
socket there, started and stopped by its owner.

    with PostgresCluster() as cluster:
        url = cluster.create_database("vasq")     # postgresql:///vasq?host=...&user=station

PostgreSQL refuses to run as root: when the caller is root, the server runs as the user "nobody" and the folder
belongs to it. PostgresCluster.missing() says why none can start (no server package), or "".
"""
from __future__ import annotations

import glob
import os
import pwd
import shutil
import subprocess
import tempfile
from typing import List, Optional

USER = "station"


def _binaries() -> Optional[str]:
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                   key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    return os.path.dirname(found[-1]) if found else None


class PostgresCluster:
    def __init__(self) -> None:
        self.bin = _binaries()
        self.folder = ""
        self.started = False

    @staticmethod
    def missing() -> str:
        if _binaries() is None:
            return "no PostgreSQL server (Debian package postgresql) is installed"
        try:
            import psycopg  # noqa: F401
        except ImportError:
            return "psycopg 3 (Debian package python3-psycopg) is not installed"
        return ""

    def _as_owner(self) -> List[str]:
        if os.geteuid() != 0:
            return []
        return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"]

    def _run(self, *command: str) -> None:
        result = subprocess.run(self._as_owner() + list(command), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, timeout=120, cwd=self.folder)
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(command)}: exit {result.returncode}: {result.stdout[-2000:]}")

    def start(self) -> "PostgresCluster":
        reason = self.missing()
        if reason:
            raise RuntimeError(reason)
        self.folder = tempfile.mkdtemp(prefix="vasq-pg-")
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(self.folder, nobody.pw_uid, nobody.pw_gid)
        self.data = os.path.join(self.folder, "data")
        self.socket = self.folder
        self._run(os.path.join(self.bin, "initdb"), "-D", self.data, "-A", "trust", "-U", USER, "-E", "UTF8",
                  "--no-sync")
        options = f"-k {self.socket} -c listen_addresses='' -c fsync=off -c full_page_writes=off"
        self._run(os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-o", options, "-l",
                  os.path.join(self.folder, "server.log"), "-w", "-t", "60", "start")
        self.started = True
        return self

    def url(self, database: str = "postgres") -> str:
        return f"postgresql:///{database}?host={self.socket}&user={USER}"

    def create_database(self, name: str) -> str:
        import psycopg
        with psycopg.connect(self.url(), autocommit=True) as connection:
            connection.execute(f'CREATE DATABASE "{name}"')
        return self.url(name)

    def stop(self) -> None:
        if self.started:
            try:
                self._run(os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-m", "immediate", "-w", "stop")
            finally:
                self.started = False
        if self.folder:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = ""

    def __enter__(self) -> "PostgresCluster":
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc) -> None:
        self.stop()

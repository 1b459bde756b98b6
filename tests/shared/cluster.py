"""A throwaway PostgreSQL cluster of the tests' own: initdb and pg_ctl from Debian's postgresql, run
as the postgres user (initdb refuses root), in a temporary folder, listening on 127.0.0.1 on a free
port. Skipped when the server is not installed (.ci/run installs it)."""

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile

import pytest

PASSWORD = "s3cret-of-the-tests"  # of the role "field", given through a password file only


def server_program(name):
    """The path of one of the server's programs, from PATH or Debian's own folder."""
    found = shutil.which(name) or next(iter(sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"), reverse=True)),
                                       None)
    if found is None:
        pytest.skip(f"PostgreSQL's {name} is not installed (Debian's package postgresql has it)")
    return found


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Cluster:
    """A running cluster: its port, a superuser "postgres" (trusted from 127.0.0.1 over the
    local socket only), a role "field" with a password, and a database made per test."""

    def __init__(self):
        try:
            self.owner = pwd.getpwnam("postgres")
        except KeyError:
            pytest.skip("no user postgres to run the PostgreSQL server as")
        self.folder = tempfile.mkdtemp(prefix="orbisk-pg-")
        os.chmod(self.folder, 0o755)
        self.data = os.path.join(self.folder, "data")
        self.socket_dir = os.path.join(self.folder, "socket")
        os.mkdir(self.socket_dir)
        os.chown(self.folder, self.owner.pw_uid, self.owner.pw_gid)
        os.chown(self.socket_dir, self.owner.pw_uid, self.owner.pw_gid)
        self.port = free_port()
        self._as_postgres(server_program("initdb"), "-D", self.data, "-U", "postgres", "--auth-local=trust",
                          "--auth-host=scram-sha-256", "-E", "UTF8", "--no-sync")
        self._as_postgres(server_program("pg_ctl"), "-D", self.data, "-w", "-t", "60", "-l",
                          os.path.join(self.folder, "log"), "-o",
                          f"-h 127.0.0.1 -p {self.port} -k {self.socket_dir} -c fsync=off -c max_connections=200",
                          "start")
        self.sql("postgres", f"CREATE ROLE field LOGIN PASSWORD '{PASSWORD}'")
        self._databases = 0

    def _as_postgres(self, *command):
        subprocess.run(["runuser", "-u", "postgres", "--", *command], check=True, capture_output=True, cwd="/")

    def sql(self, database, statement):
        """Runs `statement` as the superuser, over the local socket."""
        subprocess.run(["runuser", "-u", "postgres", "--", "psql", "-h", self.socket_dir, "-p", str(self.port),
                        "-d", database, "-v", "ON_ERROR_STOP=1", "-qc", statement], check=True, capture_output=True,
                       cwd="/")

    def new_database(self):
        """A new database that the role "field" owns, and its URL (without the password)."""
        self._databases += 1
        name = f"site{self._databases}"
        self.sql("postgres", f"CREATE DATABASE {name} OWNER field")
        return f"postgresql://field@127.0.0.1:{self.port}/{name}"

    def password_file(self, folder):
        """A password file (PGPASSFILE) of the role "field", mode 0600."""
        path = os.path.join(folder, "pgpass")
        with open(path, "w") as file:
            file.write(f"127.0.0.1:{self.port}:*:field:{PASSWORD}\n")
        os.chmod(path, 0o600)
        return path

    def stop(self):
        try:
            self._as_postgres(server_program("pg_ctl"), "-D", self.data, "-m", "immediate", "stop")
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)

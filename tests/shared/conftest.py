"""A PostgreSQL cluster of the tests' own (cluster.py), one per test process, and a new database
of it for each test, reached as the role "field" whose password is in a password file only."""

import pytest

from tests.shared.cluster import Cluster


@pytest.fixture(scope="session")
def cluster():
    started = Cluster()
    yield started
    started.stop()


@pytest.fixture
def shared(cluster, tmp_path, monkeypatch):
    """The URL of a new database for a team's history (with PGPASSFILE set for it)."""
    monkeypatch.setenv("PGPASSFILE", cluster.password_file(tmp_path))
    monkeypatch.delenv("PGPASSWORD", raising=False)
    return cluster.new_database()


def pytest_collection_modifyitems(items):
    for item in items:
        if "tests/shared/" in str(item.fspath):
            item.add_marker(pytest.mark.postgres)

"""Opening the update history that a path or a URL names: a file of this computer's own (SQLite),
or a team's database (PostgreSQL)."""

from __future__ import annotations

from orbisk_tools.formats.files import StrPath
from orbisk_tools.records.history import History
from orbisk_tools.records.postgres import PostgresHistory, is_url


def open_history(where: StrPath) -> History:
    """The history at `where`: a postgresql:// URL opens a team's history (see records.postgres),
    anything else the file of History.open(). Raises HistoryUnavailable."""
    if is_url(where):
        return PostgresHistory.open(where)
    return History.open(where)

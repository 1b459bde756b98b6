"""The one family of exceptions that orbisk_tools raises on purpose, below every layer that raises them."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any


class OrbiskError(Exception):
    """What orbisk_tools raises on purpose: str() is one line that says what happened and what to
    do; `reason` (a stable key, equal to a Reason, or None) and `details` say it as data."""

    def __init__(self, message: str, reason: str | None = None, details: Mapping[str, Any] | None = None):
        super().__init__(message)
        self.reason, self.details = reason, dict(details or {})

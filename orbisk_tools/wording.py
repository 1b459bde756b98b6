"""How a message names what its reader can change: the engine's own arguments for a script, or the
command line's options, which the command line sets once (use()) before it does anything."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

# what -> its words, formatted with the fields a message gives ({n}, {sizes})
ARGUMENTS = {
    "device_type": "device_type",
    "force": "force=True",
    "allow_older": "allow_older=True",
    "window_one": "window=1",
    "timeout": "timeout",
    "waves": "waves {sizes}",
    "canary": "canary={n}",
    "max_failures": "max_failures={n}",
    "trust_keys": "the keys given in trust_keys",
    "another_history": "give another history, or history=None to update without one",
    "team_history": "share_site needs a team's history: history=\"postgresql://USER@HOST/DB\"",
    "site_name": "share_site",
    "history_option": "history",
}
_words = dict(ARGUMENTS)


@contextlib.contextmanager
def use(words: dict[str, str]) -> Iterator[None]:
    """Names each of `words` so while it lasts, in this process and the worker processes it starts."""
    unknown = set(words) - set(ARGUMENTS)
    if unknown:
        raise KeyError(f"no such words: {', '.join(sorted(unknown))}")
    before = dict(_words)
    _words.update(words)
    try:
        yield
    finally:
        _words.clear()
        _words.update(before)


def named(what: str, **fields: object) -> str:
    """The words for `what`, with `fields`."""
    return _words[what].format(**fields)

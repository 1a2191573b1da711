"""The local catalogue: metrics, judge templates and tasks under dotted names.

The library's own entries (``tabulo.rag``) are added the first time the catalogue
is read.  Callers may add their own with ``register`` (or, for a block,
``registered``)::

    from tabulo import catalog
    from tabulo.metrics import FunctionMetric

    catalog.register("metrics.my_team.length.chars", FunctionMetric(lambda inst: len(inst["answer"])))
"""

from __future__ import annotations

import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

_entries: dict[str, Any] = {}
_lock = threading.RLock()
_builtins_loaded = False


class UnknownCatalogEntryError(LookupError):
    """A dotted name that the catalogue does not hold."""

    def __init__(self, name: str, near: list[str]):
        self.name = name
        message = f"'{name}' is not in the tabulo catalogue"
        if near:
            message += "; entries under the same prefix: " + ", ".join(near[:20])
        super().__init__(message)

    def __str__(self) -> str:  # LookupError would quote the whole message
        return self.args[0]


def _ensure_builtins() -> None:
    global _builtins_loaded
    if _builtins_loaded:
        return
    with _lock:
        if _builtins_loaded:
            return
        from tabulo import rag

        for name, artifact in rag.builtin_entries().items():
            _entries.setdefault(name, artifact)
        _builtins_loaded = True


def _check_name(name: Any) -> str:
    if not isinstance(name, str):
        raise TypeError(f"a catalogue name is a str, got {type(name).__name__}")
    parts = name.split(".")
    if len(parts) < 2 or not all(parts):
        raise ValueError(f"a catalogue name has dot-separated, non-empty parts, got {name!r}")
    return name


def register(name: str, artifact: Any, *, overwrite: bool = False) -> None:
    """Store ``artifact`` under ``name``; an existing entry is replaced only with ``overwrite``."""
    _check_name(name)
    _ensure_builtins()
    with _lock:
        if name in _entries and not overwrite:
            raise ValueError(f"'{name}' is already in the tabulo catalogue (pass overwrite=True to replace it)")
        _entries[name] = artifact


def unregister(name: str) -> None:
    """Remove ``name``; a name not present is ignored."""
    _check_name(name)
    _ensure_builtins()
    with _lock:
        _entries.pop(name, None)


@contextmanager
def registered(name: str, artifact: Any) -> Iterator[Any]:
    """Hold ``artifact`` under ``name`` for the block, then restore what was there."""
    _check_name(name)
    _ensure_builtins()
    with _lock:
        had, previous = name in _entries, _entries.get(name)
        _entries[name] = artifact
    try:
        yield artifact
    finally:
        with _lock:
            if had:
                _entries[name] = previous
            else:
                _entries.pop(name, None)


def fetch(name: str) -> Any:
    """The artifact stored under ``name``; ``UnknownCatalogEntryError`` when there is none."""
    _check_name(name)
    _ensure_builtins()
    with _lock:
        try:
            return _entries[name]
        except KeyError:
            prefix = name.rsplit(".", 1)[0] + "."
            near = sorted(n for n in _entries if n.startswith(prefix))
    raise UnknownCatalogEntryError(name, near)


def names(prefix: str = "") -> list[str]:
    """Every stored name that starts with ``prefix``, sorted."""
    _ensure_builtins()
    with _lock:
        return sorted(n for n in _entries if n.startswith(prefix))

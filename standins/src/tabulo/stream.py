"""Named streams of instances."""

from __future__ import annotations

import copy
from collections.abc import Callable, Iterable, Iterator, Mapping


class Stream:
    """An iterable of instances, produced afresh on each iteration by ``source()``.

    With ``copying`` each instance is deep-copied as it is produced, so steps applied
    to the stream never change the objects the stream was made from.
    """

    def __init__(self, source: Callable[[], Iterable], copying: bool = False):
        if not callable(source):
            raise TypeError(f"source must be callable, got {type(source).__name__}")
        self._source = source
        self.copying = bool(copying)

    @classmethod
    def from_iterable(cls, iterable: Iterable, copying: bool = False) -> "Stream":
        if isinstance(iterable, (str, bytes, Mapping)) or not isinstance(iterable, Iterable):
            raise TypeError(f"a stream is made from an iterable of instances, got {type(iterable).__name__}")
        return cls(lambda: iterable, copying=copying)

    def __iter__(self) -> Iterator:
        for instance in self._source():
            yield copy.deepcopy(instance) if self.copying else instance

    def to_list(self) -> list:
        return list(self)


class MultiStream(dict):
    """Streams by name (e.g. "train", "test"); ``multi_stream["test"]`` iterates one in order."""

    def __init__(self, streams: Mapping[str, Stream] | None = None):
        super().__init__()
        for name, stream in (streams or {}).items():
            if not isinstance(name, str):
                raise TypeError(f"stream names are texts, got {type(name).__name__}")
            if not isinstance(stream, Stream):
                raise TypeError(f"stream {name!r} must be a Stream, got {type(stream).__name__}")
            self[name] = stream

    @classmethod
    def from_iterables(cls, iterables: Mapping[str, Iterable], copying: bool = False) -> "MultiStream":
        """One stream per entry of ``iterables``; ``copying`` deep-copies every instance as
        it is read, leaving the given objects untouched."""
        if not isinstance(iterables, Mapping):
            raise TypeError(f"iterables must be a mapping of stream names to iterables, got {type(iterables).__name__}")
        return cls({name: Stream.from_iterable(it, copying=copying) for name, it in iterables.items()})

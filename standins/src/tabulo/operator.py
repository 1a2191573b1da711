"""Pipelines of steps over multi-streams."""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from typing import Any

from tabulo import catalog
from tabulo.stream import MultiStream, Stream


def resolve_step(step: Any):
    """A step as an object with ``process_stream``: a text is looked up in the catalogue."""
    resolved = catalog.fetch(step) if isinstance(step, str) else step
    if not callable(getattr(resolved, "process_stream", None)):
        what = f"the catalogue entry '{step}'" if isinstance(step, str) else f"a {type(step).__name__}"
        raise TypeError(f"{what} cannot process a stream (it has no process_stream)")
    return resolved


class SequentialOperator:
    """Applies ``steps`` in order to every stream of a multi-stream.

    Calling the operator resolves the steps (an unknown catalogue name fails here) and
    returns a new multi-stream whose streams run the steps lazily, as they are read.
    """

    def __init__(self, steps: Sequence[Any] = ()):
        if isinstance(steps, (str, bytes)) or not isinstance(steps, Sequence):
            raise TypeError(f"steps must be a list of steps, got {type(steps).__name__}")
        self.steps = list(steps)

    def process(self, multi_stream: MultiStream) -> MultiStream:
        if not isinstance(multi_stream, MultiStream):
            raise TypeError(f"a SequentialOperator applies to a MultiStream, got {type(multi_stream).__name__}")
        steps = [resolve_step(step) for step in self.steps]

        def pipeline(stream: Stream):
            def run() -> Iterator:
                instances: Iterable = stream
                for step in steps:
                    instances = step.process_stream(instances)
                yield from instances

            return Stream(run)

        return MultiStream({name: pipeline(stream) for name, stream in multi_stream.items()})

    __call__ = process

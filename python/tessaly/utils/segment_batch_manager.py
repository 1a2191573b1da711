"""Usage telemetry of the SDK.

Events are kept in process, in a bounded buffer shared by all managers, and are
not sent anywhere.
"""

import copy
import threading
from collections import deque
from collections.abc import Mapping
from typing import Any, ClassVar


class SegmentBatchManager:
    MAX_EVENTS: ClassVar[int] = 1000
    _events: ClassVar[deque] = deque(maxlen=MAX_EVENTS)
    _lock: ClassVar[threading.Lock] = threading.Lock()

    async def track_event(self, payload: Mapping[str, Any]) -> None:
        """Record one event (a copy of ``payload``)."""
        if not isinstance(payload, Mapping):
            raise TypeError(f"payload must be a mapping, got {type(payload).__name__}")
        event = copy.deepcopy(dict(payload))
        with self._lock:
            self._events.append(event)

    @classmethod
    def recorded_events(cls) -> list[dict[str, Any]]:
        """The events recorded so far, oldest first."""
        with cls._lock:
            return list(cls._events)

    @classmethod
    def clear(cls) -> None:
        with cls._lock:
            cls._events.clear()

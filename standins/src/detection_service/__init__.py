"""A local detection service for development and tests, listening on 127.0.0.1 only.

- ``run_in_thread(ssl_context=None, tokens=None, instance_id=None)``: a context manager
  giving a started ``DetectionServer`` (``.url``, ``.script``, ``.requests``, ...).
- ``python -m detection_service --port 0``: the same in the foreground.
- ``detection_service.pytest_plugin``: the fixtures ``detection_service`` and
  ``detection_service_tls``.
"""

from detection_service.app import (
    API_VERSION,
    CHAT_PATH,
    CONTEXT_PATH,
    DETECTION_PATH,
    GENERATED_PATH,
    PATHS,
    RecordedRequest,
    ServiceState,
    create_app,
)
from detection_service.server import DetectionServer, run_in_thread

__all__ = [
    "API_VERSION",
    "CHAT_PATH",
    "CONTEXT_PATH",
    "DETECTION_PATH",
    "GENERATED_PATH",
    "PATHS",
    "DetectionServer",
    "RecordedRequest",
    "ServiceState",
    "create_app",
    "run_in_thread",
]

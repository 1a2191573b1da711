"""Loggers of the SDK."""

import logging

logging.getLogger("tessaly").addHandler(logging.NullHandler())


class GovSDKLogger:
    @staticmethod
    def get_logger(name: str) -> logging.Logger:
        """The logger of a module, named after it (e.g. ``__name__``)."""
        if not isinstance(name, str) or not name:
            raise TypeError(f"name must be a non-empty str, got {name!r}")
        return logging.getLogger(name)

"""The library's logger and its verbosity."""

import logging

LOGGER_NAME = "tabulo"

_LEVELS = {
    "debug": logging.DEBUG,
    "info": logging.INFO,
    "warning": logging.WARNING,
    "error": logging.ERROR,
    "critical": logging.CRITICAL,
}


def get_logger(name: str | None = None) -> logging.Logger:
    """The library's logger, or one of its children."""
    return logging.getLogger(LOGGER_NAME if not name else f"{LOGGER_NAME}.{name}")


def set_verbosity(level: str | int) -> None:
    """Log messages of ``level`` and above ("debug", "info", "warning", "error", "critical",
    in any case, or a ``logging`` level number)."""
    if isinstance(level, bool):
        raise TypeError("level must be a level name or a logging level number, got bool")
    if isinstance(level, str):
        try:
            number = _LEVELS[level.strip().lower()]
        except KeyError:
            raise ValueError(
                f"unknown verbosity {level!r}; expected one of: {', '.join(_LEVELS)}"
            ) from None
    elif isinstance(level, int):
        number = level
    else:
        raise TypeError(f"level must be a level name or a logging level number, got {type(level).__name__}")
    get_logger().setLevel(number)


def get_verbosity() -> int:
    """The library logger's level number."""
    return get_logger().level

"""Settings read from the environment."""

import os

_TRUE = {"1", "true", "yes", "on"}
_FALSE = {"", "0", "false", "no", "off"}


def get_tabluo_enable_inference_cache() -> bool:
    """Whether judge inference engines cache answers (TABULO_ENABLE_INFERENCE_CACHE, default off)."""
    text = os.environ.get("TABULO_ENABLE_INFERENCE_CACHE", "").strip().lower()
    if text in _TRUE:
        return True
    if text in _FALSE:
        return False
    raise ValueError(
        f"TABULO_ENABLE_INFERENCE_CACHE must be true or false, got {os.environ['TABULO_ENABLE_INFERENCE_CACHE']!r}"
    )


def get_lumora_concurrency_limit() -> int:
    """Concurrent requests to the hosting service's judge models (LUMORA_CONCURRENCY_LIMIT, default 10)."""
    text = os.environ.get("LUMORA_CONCURRENCY_LIMIT", "").strip()
    if not text:
        return 10
    try:
        limit = int(text)
    except ValueError:
        limit = 0
    if limit < 1:
        raise ValueError(f"LUMORA_CONCURRENCY_LIMIT must be a positive integer, got {text!r}")
    return limit

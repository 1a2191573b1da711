"""Whether the tests run under the sanitizer build's runtime, which ``scripts/env.sh`` preloads
into Python for TESSALY_FLAVOUR=sanitize, and what that means for the tests that time real work."""

from __future__ import annotations

import os

UNDER_ADDRESS_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")

# The instrumented modules and the sanitizer's allocator make every step several times slower:
# a test whose outcome depends on real time (a client timeout against a service's latency)
# stretches both by this factor, keeping their ratio.
SLOWDOWN = 4 if UNDER_ADDRESS_SANITIZER else 1


def without_sanitizer_runtime(environ: dict[str, str] | None = None) -> dict[str, str]:
    """The environment for a tool that is not ours (a debugger): the runtime stays out of it."""
    env = dict(os.environ if environ is None else environ)
    env.pop("LD_PRELOAD", None)
    return env

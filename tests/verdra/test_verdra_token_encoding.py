"""The real cl100k_base encoding that token counts use, loaded from the cache the setup seeds
with tiktoken's own hash check, and never downloaded."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

# Runs in a child interpreter where any connection or name lookup fails.
OFFLINE = """
import socket
def refuse(*args, **kwargs):
    raise OSError("network refused by the test")
socket.socket.connect = refuse
socket.create_connection = refuse
socket.getaddrinfo = refuse
import tiktoken
print(tiktoken.get_encoding("cl100k_base").encode("hello world"))
"""


def run_offline(cache_dir: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, TIKTOKEN_CACHE_DIR=cache_dir)
    return subprocess.run([sys.executable, "-c", OFFLINE], env=env, capture_output=True, text=True, timeout=60)


def test_the_encoding_loads_from_the_seeded_cache_with_no_network():
    cache = os.environ["TIKTOKEN_CACHE_DIR"]
    assert os.listdir(cache), "the setup seeds this cache (scripts/seed_tiktoken_cache.py)"
    loaded = run_offline(cache)
    assert loaded.returncode == 0, loaded.stderr
    assert loaded.stdout.strip() == "[15339, 1917]"


def test_without_the_cache_it_would_download_and_is_refused(tmp_path):
    refused = run_offline(str(tmp_path))
    assert refused.returncode != 0
    assert "network refused by the test" in refused.stderr


@pytest.mark.parametrize(("text", "count"), [("hello world", 2), ("", 0), ("The quick brown fox jumps over the lazy dog.", 10)])
def test_counts_of_known_texts(text, count):
    import tiktoken

    assert len(tiktoken.get_encoding("cl100k_base").encode(text)) == count

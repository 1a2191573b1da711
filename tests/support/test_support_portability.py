"""Every extension module loads on any glibc 2.28 system, whatever C++ runtime it has.

The modules carry their own copy of libstdc++ (TESSALY_STATIC_CXX_RUNTIME, the default), so
they must neither load libstdc++.so.6 nor need a C library newer than 2.28 (the wheel's
manylinux_2_28 tag): the build machine's glibc is newer, and one call of a newer function
(from the module's own code or from the part of libstdc++ linked into it) would make the
module fail to load there.
"""

from __future__ import annotations

import re
import shutil
import subprocess

import pytest
from sanitizer import UNDER_ADDRESS_SANITIZER

from test_support_exports import MODULES, installed_extensions, short

# The libraries a manylinux_2_28 wheel may load from the system (auditwheel's list, less
# those of graphics and compression that the modules have no use for).
SYSTEM_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libgcc_s.so.1",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "ld-linux-x86-64.so.2",
}
NEWEST_GLIBC = (2, 28)
# libgcc_s.so.1 versions that glibc 2.28 systems have (GCC 8).
NEWEST_GCC = (7, 0, 0)

pytestmark = [
    pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf is not available"),
    pytest.mark.skipif(UNDER_ADDRESS_SANITIZER,
                       reason="the sanitizer build links the shared C++ runtime and the sanitizers'"),
]


def _version(text: str) -> tuple[int, ...]:
    return tuple(int(part) for part in text.split("."))


def needed_libraries(path) -> list[str]:
    listing = subprocess.run(
        ["readelf", "-d", "-W", str(path)], capture_output=True, text=True, check=True
    ).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", listing)


def needed_versions(path) -> dict[str, list[str]]:
    """The symbol versions the module needs, by the library that defines them."""
    listing = subprocess.run(
        ["readelf", "-V", "-W", str(path)], capture_output=True, text=True, check=True
    ).stdout
    section = listing.partition(".gnu.version_r")[2]
    needs: dict[str, list[str]] = {}
    library = None
    for line in section.splitlines():
        if m := re.search(r"Version: \d+\s+File: (\S+)", line):
            library = m.group(1)
            needs.setdefault(library, [])
        elif (m := re.search(r"Name: (\S+)", line)) and library is not None:
            needs[library].append(m.group(1))
    return needs


def module_path(name: str):
    return installed_extensions()[name]


def test_the_readers_see_the_versions_of_the_interpreters_c_library():
    # The parsers above read what readelf prints; on a file that surely needs glibc they
    # must find it, or the tests below would pass on nothing.
    for name in MODULES:
        path = module_path(name)
        needs = needed_versions(path)
        assert "GLIBC_2.2.5" in needs.get("libc.so.6", []), (path, needs)
        assert "libc.so.6" in needed_libraries(path)


@pytest.mark.parametrize("name", MODULES, ids=short)
def test_only_system_libraries_are_loaded(name):
    assert set(needed_libraries(module_path(name))) <= SYSTEM_LIBRARIES


@pytest.mark.parametrize("name", MODULES, ids=short)
def test_no_newer_c_library_or_cxx_runtime_is_needed(name):
    path = module_path(name)
    too_new = []
    for library, versions in needed_versions(path).items():
        for name in versions:
            family, _, number = name.partition("_")
            if family == "GLIBC" and _version(number) <= NEWEST_GLIBC:
                continue
            if family == "GCC" and library == "libgcc_s.so.1" and _version(number) <= NEWEST_GCC:
                continue
            too_new.append(f"{library}: {name}")
    assert too_new == []

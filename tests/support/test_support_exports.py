"""Every extension module of the package is installed where its import path says, and exports
exactly its entry point."""

from __future__ import annotations

import importlib
import importlib.util
import shutil
import subprocess
from pathlib import Path

import pytest
from native_modules import NATIVE_MODULES

MODULES = NATIVE_MODULES
SELFTEST = "tessaly._support_selftest"  # built only with TESSALY_SELFTEST=ON


def installed_extensions() -> dict[str, Path]:
    """Dotted name -> shared library, for every extension module under the tessaly package."""
    package = importlib.util.find_spec("tessaly")
    assert package is not None and package.submodule_search_locations, "the tessaly package is not installed"
    found = {}
    for root in package.submodule_search_locations:
        for path in sorted(Path(root).rglob("*.so")):
            relative = path.relative_to(root)
            found[".".join(("tessaly", *relative.parent.parts, path.name.split(".")[0]))] = path
    return found


def extension_path(name: str) -> Path:
    found = installed_extensions()
    if name == SELFTEST and name not in found:
        pytest.skip("the support self-test module is built only with TESSALY_SELFTEST=ON")
    assert name in found, f"{name} is not installed; found {sorted(found)}"
    return found[name]


def short(name: str) -> str:
    return name.rsplit(".", 1)[-1]


def test_extension_modules_are_installed():
    # The modules, the self-test module where it is built, and nothing else.
    assert set(installed_extensions()) - {SELFTEST} == set(MODULES)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not available")
@pytest.mark.parametrize("name", [*MODULES, SELFTEST], ids=short)
def test_only_the_entry_point_is_exported(name):
    path = extension_path(name)
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == [f"PyInit_{short(name)}"]


@pytest.mark.parametrize("name", [*MODULES, SELFTEST], ids=short)
def test_module_imports_under_its_package_path(name):
    path = extension_path(name)
    module = importlib.import_module(name)
    assert module.__spec__.origin == str(path)
    assert module.__name__ == name

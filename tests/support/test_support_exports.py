"""Every extension module of the package exports exactly its entry point."""

from __future__ import annotations

import importlib.util
import shutil
import subprocess
from pathlib import Path

import pytest


def _extension_modules():
    spec = importlib.util.find_spec("tessaly")
    if spec is None or not spec.submodule_search_locations:
        return []
    found = []
    for root in spec.submodule_search_locations:
        found += sorted(Path(root).rglob("*.so"))
    return found


MODULES = _extension_modules()


def test_extension_modules_are_installed():
    if not MODULES:
        pytest.skip("no built extension modules in the installed package")
    names = {path.name.split(".")[0] for path in MODULES}
    assert names, MODULES


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not available")
@pytest.mark.parametrize("path", MODULES, ids=[p.name.split(".")[0] for p in MODULES])
def test_only_the_entry_point_is_exported(path):
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True
    ).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    module = path.name.split(".")[0]
    assert symbols == [f"PyInit_{module}"]


@pytest.mark.parametrize("path", MODULES, ids=[p.name.split(".")[0] for p in MODULES])
def test_module_imports_under_its_package_path(path):
    spec = importlib.util.find_spec("tessaly")
    for root in spec.submodule_search_locations:
        try:
            relative = path.relative_to(root)
        except ValueError:
            continue
        dotted = ".".join(("tessaly", *relative.parent.parts, path.name.split(".")[0]))
        module = importlib.import_module(dotted)
        assert module.__spec__.origin == str(path)
        return
    pytest.fail(f"{path} is not under the tessaly package")

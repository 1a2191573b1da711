"""Make the SDK package and the outside stand-ins importable from the source tree.

An installed copy (with the native modules) always wins: the source folders are
only appended to the path when the package cannot be found otherwise.
"""

import importlib.util
import sys
from pathlib import Path

_ROOT = Path(__file__).resolve().parents[2]

for package, folder in (("tessaly", _ROOT / "python"), ("vexmon_sdk", _ROOT / "standins" / "src")):
    if importlib.util.find_spec(package) is None:
        sys.path.append(str(folder))

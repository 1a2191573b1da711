# Sourced by the other scripts: finds Python 3.13, makes the virtual environment in .venv and
# installs the project into it (the native modules built with CMake, the host SDK package,
# the stand-ins of the outside packages and the test tools), at the versions of
# constraints.txt. Re-running it is quick: CMake rebuilds only what changed (build/pip).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

is_py313() { [ -x "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

find_python() {
    local candidates=()
    [ -n "${TESSALY_PYTHON:-}" ] && candidates+=("$TESSALY_PYTHON")
    command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    command -v pyenv >/dev/null 2>&1 && pyenv_root="$(pyenv root 2>/dev/null || echo "$pyenv_root")"
    for p in "$pyenv_root"/versions/3.13*/bin/python3.13; do candidates+=("$p"); done
    candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)
    for c in "${candidates[@]}"; do
        if is_py313 "$c"; then echo "$c"; return 0; fi
    done
    return 1
}

if ! is_py313 "$VENV/bin/python"; then
    if ! PYTHON="$(find_python)"; then
        echo "error: Python 3.13 was not found (looked for a working python3.13 on PATH," >&2
        echo "       pyenv's versions/3.13*, /usr/bin/python3.13 and /usr/local/bin/python3.13)." >&2
        echo "       Install it (e.g. 'apt-get install python3.13 python3.13-venv python3.13-dev')" >&2
        echo "       or point TESSALY_PYTHON at its interpreter." >&2
        exit 2
    fi
    echo "Using $PYTHON"
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
fi

PY="$VENV/bin/python"
PIP=("$PY" -m pip --disable-pip-version-check -q)
"${PIP[@]}" install -c "$ROOT/constraints.txt" scikit-build-core cmake ninja
"${PIP[@]}" install -c "$ROOT/constraints.txt" "$ROOT/standins"
"${PIP[@]}" install -c "$ROOT/constraints.txt" --no-build-isolation \
    -C build-dir="$ROOT/build/pip" -C cmake.define.TESSALY_SELFTEST=ON "$ROOT[test]"

# Sourced by the other scripts: finds Python 3.13, makes a virtual environment and installs
# the project into it (the native modules built with CMake, the host SDK package, the
# stand-ins of the outside packages and the test tools) at the versions of a constraints
# file, and seeds tiktoken's cache with its cl100k_base encoding so that token counts are
# the real ones with no download. It says what it does, a line a step, and skips a step
# whose inputs have not changed since it last ran (C++ builds are incremental anyway).
#
# TESSALY_FLAVOUR chooses what is set up, each in a virtual environment of its own:
#   newest   (default) constraints.txt, in .venv
#   oldest   the oldest supported releases, constraints-oldest.txt, in .venv-oldest
#   sanitize constraints.txt, modules built with AddressSanitizer and UndefinedBehavior-
#            Sanitizer, in .venv-sanitize; the scripts then run Python with the sanitizer
#            runtime preloaded, and any report fails the run
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
FLAVOUR="${TESSALY_FLAVOUR:-newest}"

say() { echo "setup: $*" >&2; }

CONSTRAINTS="$ROOT/constraints.txt"
CMAKE_DEFINES=(-C cmake.define.TESSALY_SELFTEST=ON)
case "$FLAVOUR" in
    newest) VENV="$ROOT/.venv" ;;
    oldest) VENV="$ROOT/.venv-oldest"; CONSTRAINTS="$ROOT/constraints-oldest.txt" ;;
    sanitize)
        VENV="$ROOT/.venv-sanitize"
        SANITIZE_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -g"
        CMAKE_DEFINES+=(-C "cmake.define.CMAKE_CXX_FLAGS=$SANITIZE_FLAGS"
                        -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined"
                        -C cmake.define.TESSALY_STATIC_CXX_RUNTIME=OFF) ;;
    *) echo "error: TESSALY_FLAVOUR must be newest, oldest or sanitize (not '$FLAVOUR')" >&2; exit 2 ;;
esac
BUILD_DIR="$ROOT/build/pip-$FLAVOUR"
STAMPS="$VENV/.tessaly-setup"

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

# A digest of the files under the given paths (relative to ROOT) and of the extra words.
digest() {
    local words="$1"; shift
    {
        echo "$words"
        (cd "$ROOT" && find "$@" -type f ! -path '*/__pycache__/*' ! -path '*.egg-info*' ! -path '*/build/*' \
            ! -name '*.pyc' ! -name '*.so' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)
    } | sha256sum | cut -d' ' -f1
}

# Runs "$@" as the step `name` unless the step last ran with the same `key`.
step() {
    local name="$1" key="$2" what="$3"; shift 3
    if [ -f "$STAMPS/$name" ] && [ "$(cat "$STAMPS/$name")" = "$key" ]; then
        say "$what: up to date"
        return 0
    fi
    say "$what"
    rm -f "$STAMPS/$name"
    "$@"
    mkdir -p "$STAMPS"
    echo "$key" > "$STAMPS/$name"
}

if ! is_py313 "$VENV/bin/python"; then
    if ! PYTHON="$(find_python)"; then
        echo "error: Python 3.13 was not found (looked for a working python3.13 on PATH," >&2
        echo "       pyenv's versions/3.13*, /usr/bin/python3.13 and /usr/local/bin/python3.13)." >&2
        echo "       Install it (e.g. 'apt-get install python3.13 python3.13-venv python3.13-dev')" >&2
        echo "       or point TESSALY_PYTHON at its interpreter." >&2
        exit 2
    fi
    say "making ${VENV#$ROOT/} with $PYTHON"
    rm -rf "$VENV"
    "$PYTHON" -m venv "$VENV"
fi

PY="$VENV/bin/python"
# pip, quiet, without the notes about index locations this machine's pip settings name but lacks.
pip_quietly() {
    "$PY" -m pip --disable-pip-version-check -q "$@" 2> >(grep -v "is ignored: it is neither a file nor a directory" >&2)
}
PIP=(pip_quietly)
TIKTOKEN_CACHE_DIR="$VENV/tiktoken-cache"
export TIKTOKEN_CACHE_DIR

install_tools() { "${PIP[@]}" install -c "$CONSTRAINTS" scikit-build-core cmake ninja; }
install_standins() { "${PIP[@]}" install -c "$CONSTRAINTS" "$ROOT/standins"; }
install_project() {
    "${PIP[@]}" install -c "$CONSTRAINTS" --no-build-isolation -C build-dir="$BUILD_DIR" "${CMAKE_DEFINES[@]}" \
        "$ROOT[test,dask]"
    # The oldest requests and cachetools carry no type information of their own (the stubs
    # import them): their stub packages stand in for it.
    if [ "$FLAVOUR" = oldest ]; then "${PIP[@]}" install -c "$CONSTRAINTS" types-requests types-cachetools; fi
}
seed_tiktoken() {
    "$PY" "$ROOT/scripts/seed_tiktoken_cache.py" "$CONSTRAINTS" "$TIKTOKEN_CACHE_DIR" \
        2> >(grep -v "is ignored: it is neither a file nor a directory" >&2)
}

tools_key="$(digest "$FLAVOUR" "${CONSTRAINTS#$ROOT/}")"
step tools "$tools_key" "installing the build tools (${CONSTRAINTS#$ROOT/})" install_tools
step standins "$(digest "$tools_key" standins)" "installing the stand-ins of the outside packages" install_standins
step project "$(digest "$tools_key ${CMAKE_DEFINES[*]}" src python CMakeLists.txt pyproject.toml)" \
    "building the native modules and installing tessaly with its test tools" install_project
step tiktoken "$(digest "$tools_key" scripts/seed_tiktoken_cache.py)" \
    "seeding tiktoken's cache with cl100k_base (${TIKTOKEN_CACHE_DIR#$ROOT/})" seed_tiktoken

if [ "$FLAVOUR" = sanitize ]; then
    # The interpreter is not built with the sanitizers: their runtime must be loaded first.
    LD_PRELOAD="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libubsan.so)"
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:print_summary=1"
    UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
    PYTHONMALLOC=malloc  # so that the sanitizer sees every object's memory
    export LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS PYTHONMALLOC
fi

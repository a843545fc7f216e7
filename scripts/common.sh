# Shared by scripts/test and scripts/demo: find CPython 3.12, make a virtual environment with
# the build and test dependencies, and build c_sdk with the stand-in SDK into it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# find_python [MINOR]: the interpreter of CPython 3.MINOR (default 12), on PATH, through pyenv,
# or in $PYTHON3MINOR (e.g. $PYTHON312).
find_python() {
    local minor="${1:-12}" candidate
    local override="PYTHON3${minor}"
    for candidate in "${!override:-}" "$(command -v "python3.${minor}" || true)" \
        $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."${minor}".*/bin/python3."${minor}" 2>/dev/null | sort -V -r); do
        if [ -n "$candidate" ] && [ -x "$candidate" ] &&
            "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != (3, ${minor}))" 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    echo "CPython 3.${minor} not found: install it (pyenv install 3.${minor}) or set ${override}" >&2
    return 1
}

# make_venv DIR [MINOR]: a virtual environment of CPython 3.MINOR (default 12) with the
# dependencies of requirements-dev.txt.
make_venv() {
    local venv="$1" minor="${2:-12}"
    if [ ! -x "$venv/bin/python" ]; then
        "$(find_python "$minor")" -m venv "$venv"
    fi
    if ! cmp -s "$ROOT/requirements-dev.txt" "$venv/.requirements-dev.txt"; then
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
            -r "$ROOT/requirements-dev.txt"
        cp "$ROOT/requirements-dev.txt" "$venv/.requirements-dev.txt"
    fi
}

# build_into VENV BUILD_DIR [cmake definitions...]: builds and installs c_sdk, the stand-in and
# the recorder (the tests and the demo put it in front of the stand-in).
build_into() {
    local venv="$1" build_dir="$2"
    shift 2
    local defs=(-Ccmake.define.QVSDK_RECORDER=ON)
    for d in "$@"; do defs+=("-Ccmake.define.$d"); done
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
        --force-reinstall --no-deps -Cbuild-dir="$build_dir" "${defs[@]}" "$ROOT"
}

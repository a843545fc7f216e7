# Shared by scripts/test and scripts/demo: find CPython 3.12, make a virtual environment with
# the build and test dependencies, and build c_sdk with the stand-in SDK into it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

find_python() {
    local candidate
    for candidate in "${PYTHON312:-}" "$(command -v python3.12 || true)" \
        $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V -r); do
        if [ -n "$candidate" ] && [ -x "$candidate" ] &&
            "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    echo "CPython 3.12 not found: install it (pyenv install 3.12) or set PYTHON312" >&2
    return 1
}

# make_venv DIR: a virtual environment with the dependencies of requirements-dev.txt.
make_venv() {
    local venv="$1"
    if [ ! -x "$venv/bin/python" ]; then
        "$(find_python)" -m venv "$venv"
    fi
    if ! cmp -s "$ROOT/requirements-dev.txt" "$venv/.requirements-dev.txt"; then
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
            -r "$ROOT/requirements-dev.txt"
        cp "$ROOT/requirements-dev.txt" "$venv/.requirements-dev.txt"
    fi
}

# build_into VENV BUILD_DIR [cmake definitions...]: builds and installs c_sdk and the stand-in.
build_into() {
    local venv="$1" build_dir="$2"
    shift 2
    local defs=()
    for d in "$@"; do defs+=("-Ccmake.define.$d"); done
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation \
        --force-reinstall --no-deps -Cbuild-dir="$build_dir" "${defs[@]}" "$ROOT"
}

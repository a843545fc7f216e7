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

# step MESSAGE: with CSDK_PROGRESS set (scripts/demo), one line saying what comes next.
step() {
    if [ -n "${CSDK_PROGRESS:-}" ]; then printf '==> %s\n' "$*"; fi
}

# pip_install PYTHON FILTER PIP-ARGUMENTS...: `pip install`, quiet; with CSDK_PROGRESS set, the
# lines of pip's output (pip -v for a build: CMake's) that start, after any indentation, with a
# match of the extended regex FILTER, and the end of the whole output if it fails.
pip_install() {
    local python="$1" filter="$2"
    shift 2
    if [ -z "${CSDK_PROGRESS:-}" ]; then
        "$python" -m pip install --quiet --disable-pip-version-check "$@"
        return
    fi
    local log status=0
    log="$(mktemp)"
    "$python" -m pip install --disable-pip-version-check "$@" 2>&1 | tee "$log" |
        { grep -E --line-buffered "^[[:space:]]*($filter)" || true; } |
        sed -u 's/^[[:space:]]*/    /' || status=$?
    if [ "$status" -ne 0 ]; then
        echo "pip install failed ($status); the end of its output:" >&2
        tail -n 60 "$log" >&2
    fi
    rm -f "$log"
    return "$status"
}

# make_venv DIR [MINOR]: a virtual environment of CPython 3.MINOR (default 12) with the
# dependencies of requirements-dev.txt.
make_venv() {
    local venv="$1" minor="${2:-12}"
    if [ ! -x "$venv/bin/python" ]; then
        local python
        python="$(find_python "$minor")"
        step "creating the virtual environment $venv ($python)"
        "$python" -m venv "$venv"
    fi
    if ! cmp -s "$ROOT/requirements-dev.txt" "$venv/.requirements-dev.txt"; then
        step "installing the build and test dependencies into $venv (requirements-dev.txt)"
        pip_install "$venv/bin/python" 'Collecting|Installing collected|Successfully' \
            -r "$ROOT/requirements-dev.txt"
        cp "$ROOT/requirements-dev.txt" "$venv/.requirements-dev.txt"
    else
        step "virtual environment $venv: up to date"
    fi
}

# build_into VENV BUILD_DIR [cmake definitions...]: builds and installs c_sdk, the stand-in and
# the recorder (the tests and the demo put it in front of the stand-in).
build_into() {
    local venv="$1" build_dir="$2"
    shift 2
    local defs=(-Ccmake.define.QVSDK_RECORDER=ON)
    for d in "$@"; do defs+=("-Ccmake.define.$d"); done
    # With progress: scikit-build-core's steps (***) and the build's [done/total] lines.
    local verbose=()
    if [ -n "${CSDK_PROGRESS:-}" ]; then verbose=(-v); fi
    pip_install "$venv/bin/python" '\*\*\* |\[[0-9]+/[0-9]+\] ' "${verbose[@]}" \
        --no-build-isolation --force-reinstall --no-deps -Cbuild-dir="$build_dir" \
        "${defs[@]}" "$ROOT"
}

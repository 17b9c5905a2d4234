#!/usr/bin/env bash
# Builds the module and runs the whole test suite on a free-threaded CPython
# (3.14t or later), with PYTHON_GIL unset so that the module's own declaration
# decides whether the GIL stays off. No package registry reachable here has
# such an interpreter, so this runs only where one is installed; it looks, in
# this order, at:
#   $CORVANE_FREE_THREADED_PYTHON
#   python3.15t and python3.14t on PATH
#   /opt/python3.15t/bin/python3.15t, /opt/python3.14t/bin/python3.14t
#   /usr/local/bin/python3.15t, /usr/local/bin/python3.14t
# (ci/pythons.sh holds that lookup, which ci/wheels.sh shares) and says so
# plainly when there is none.
#
# Then the race detector: where a free-threaded CPython built with
# ThreadSanitizer is installed (configure --disable-gil --with-thread-sanitizer;
# no registry has one either), the module is built with -fsanitize=thread
# against it, and the engine's C++ test (its reader-writer lock under twelve
# threads) and the thread tests run under it with the GIL off. Any race
# report, in the test process or in a child it starts, fails the run; the
# interpreter's own races are suppressed by ci/tsan-suppressions.txt. It looks
# at:
#   $CORVANE_TSAN_PYTHON
#   /opt/python3.15t-tsan/bin/python3.15t, /opt/python3.14t-tsan/bin/python3.14t
# and says so plainly when there is none.
#
#   ci/free-threaded.sh           both
#   ci/free-threaded.sh --tsan    the race detector only
# Environment for the race detector:
#   CORVANE_TSAN_BUILD_DIR   build directory (default: build/tsan)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=ci/pythons.sh
source "$ROOT/ci/pythons.sh"

# Prints the first candidate that is a free-threaded CPython; "" if none.
free_threaded_of() {
    local py
    for py in "$@"; do
        [ -x "$py" ] || continue
        if [ "$("$py" -c 'import sysconfig; print(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))' 2>/dev/null)" != True ]; then
            echo "== $py is not a free-threaded build; not used" >&2
            continue
        fi
        echo "$py"
        return 0
    done
    return 0
}

plain_lane() {
    local py
    if ! py=$(corvane_find_free_threaded); then
        echo "== no free-threaded CPython installed here (looked at: $(corvane_free_threaded_candidates | tr '\n' ' ')); the free-threaded run is skipped"
        return 0
    fi
    echo "== free-threaded CPython: $py"
    env -u PYTHON_GIL bash "$ROOT/ci/interpreters.sh" "$py"
}

tsan_lane() {
    local candidates=() py
    [ -n "${CORVANE_TSAN_PYTHON:-}" ] && candidates+=("$CORVANE_TSAN_PYTHON")
    candidates+=(/opt/python3.15t-tsan/bin/python3.15t /opt/python3.14t-tsan/bin/python3.14t)
    local candidate
    py=""
    for candidate in "${candidates[@]}"; do
        candidate="$(free_threaded_of "$candidate")"
        [ -n "$candidate" ] || continue
        if ! "$candidate" -c 'import sysconfig, sys; sys.exit("-fsanitize=thread" not in (sysconfig.get_config_var("PY_CFLAGS") or ""))'; then
            echo "== $candidate is not built with ThreadSanitizer; not used"
            continue
        fi
        py="$candidate"
        break
    done
    if [ -z "$py" ]; then
        echo "== no free-threaded CPython built with ThreadSanitizer here (looked at: ${candidates[*]}); the race-detector run is skipped"
        return 0
    fi
    echo "== race detector: $py"

    local build_dir="${CORVANE_TSAN_BUILD_DIR:-build/tsan}"
    case "$build_dir" in /*) ;; *) build_dir="$ROOT/$build_dir" ;; esac
    local reports="$build_dir/reports" venv="$build_dir/venv"
    mkdir -p "$build_dir"
    # The test tools, once per build directory, installed with the race
    # detector's reports off (they would be the interpreter's own).
    if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import pytest, hypothesis' 2>/dev/null; then
        rm -rf "$venv"
        TSAN_OPTIONS=report_bugs=0 "$py" -m venv "$venv"
        TSAN_OPTIONS=report_bugs=0 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 \
            "$venv/bin/python" -m pip install -q 'pytest>=7' 'hypothesis>=6'
    fi
    local generator=()
    if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
    TSAN_OPTIONS=report_bugs=0 cmake -S "$ROOT" -B "$build_dir" "${generator[@]}" \
        -DCORVANE_SANITIZE_THREAD=ON -DCORVANE_ENGINE_TEST=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$py" >/dev/null
    local flag
    for flag in CORVANE_SANITIZE_THREAD CORVANE_ENGINE_TEST; do
        if ! grep -q "^$flag:BOOL=ON\$" "$build_dir/CMakeCache.txt"; then
            echo "free-threaded.sh: $flag is not on in $build_dir" >&2
            return 1
        fi
    done
    cmake --build "$build_dir" --parallel 2
    local so
    so=$(find "$build_dir" -maxdepth 1 -name 'corvane_acp_native*.so' | head -n 1)
    if [ -z "$so" ]; then
        echo "free-threaded.sh: no corvane_acp_native*.so in $build_dir" >&2
        return 1
    fi

    rm -rf "$reports"
    mkdir -p "$reports"
    local status=0
    (
        export TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 log_path=$reports/tsan suppressions=$ROOT/ci/tsan-suppressions.txt"
        export PYTHON_GIL=0
        export PYTHONPATH="$(dirname "$so"):$ROOT/python"
        echo "== engine unit test under ThreadSanitizer"
        "$build_dir/engine_test"
        "$venv/bin/python" - "$so" <<'PY'
import os, sys
import corvane_acp_native as m
if os.path.realpath(m.__file__) != os.path.realpath(sys.argv[1]):
    sys.exit(f"imported {m.__file__}, expected the ThreadSanitizer build {sys.argv[1]}")
if sys._is_gil_enabled():
    sys.exit("the GIL is on")
print(f"imported {m.__file__}, GIL off")
PY
        cd "$ROOT"
        echo "== thread tests under ThreadSanitizer, GIL off"
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/test_threads.py tests/test_threads_stress.py \
            tests/test_order.py::test_racing_completions_exactly_one_wins \
            tests/test_order.py::test_racing_complete_and_cancel_agree_with_the_final_state
    ) || status=$?
    if [ -n "$(ls -A "$reports" 2>/dev/null)" ]; then
        for f in "$reports"/*; do
            echo "---- ThreadSanitizer report $f"
            cat "$f"
        done
        echo "free-threaded.sh: FAILED, ThreadSanitizer reports above" >&2
        status=1
    fi
    return "$status"
}

if [ "${1:-}" = --tsan ]; then
    tsan_lane
    exit
fi
status=0
plain_lane || status=$?
tsan_lane || status=$?
exit "$status"

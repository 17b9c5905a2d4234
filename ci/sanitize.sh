#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the engine's C++ unit test and the whole test suite against that build. Any
# sanitizer report, in the test process or in any child it starts, fails the run.
#
# The interpreter itself is not instrumented, so the ASan runtime is preloaded
# (it must come first in the initial library list). Leak detection is off for
# the interpreter, which deliberately leaves memory behind at exit; growth of
# what the module holds is checked by tests/test_leaks.py instead. The plain C++
# unit test runs with leak detection on.
#
# Environment:
#   CORVANE_SANITIZE_BUILD_DIR  build directory (default: build/sanitize)
#   PYTHON                      interpreter to build for and test with (default: python3)
# Arguments, if any, are pytest's instead of the default (the whole tests/ suite).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

python=${PYTHON:-python3}
# The real interpreter, not a launcher shim: the module is built for it.
python=$("$python" -c 'import sys; print(sys.executable)')
build_dir=${CORVANE_SANITIZE_BUILD_DIR:-build/sanitize}
case "$build_dir" in /*) ;; *) build_dir="$root/$build_dir" ;; esac

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

echo "== configuring and building the sanitized module and engine test in $build_dir"
cmake -S "$root" -B "$build_dir" "${generator[@]}" \
    -DCORVANE_SANITIZE=ON \
    -DCORVANE_ENGINE_TEST=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$python"
for flag in CORVANE_SANITIZE CORVANE_ENGINE_TEST; do
    if ! grep -q "^$flag:BOOL=ON\$" "$build_dir/CMakeCache.txt"; then
        echo "sanitize.sh: $flag is not on in $build_dir" >&2
        exit 1
    fi
done
cmake --build "$build_dir" --parallel "$(nproc 2>/dev/null || echo 2)"

so=$(find "$build_dir" -maxdepth 1 -name 'corvane_acp_native*.so' | head -n 1)
if [ -z "$so" ]; then
    echo "sanitize.sh: no corvane_acp_native*.so in $build_dir" >&2
    exit 1
fi

# The compiler CMake chose (CXX, or its default) also supplies the runtimes.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
asan_runtime=$("$cxx" -print-file-name=libasan.so)
cxx_runtime=$("$cxx" -print-file-name=libstdc++.so)
for lib in "$asan_runtime" "$cxx_runtime"; do
    if [ ! -e "$lib" ]; then
        echo "sanitize.sh: $cxx does not know where $(basename "$lib") is" >&2
        exit 1
    fi
done

# Reports go to files, one per process, so that none is lost in pytest's output
# capture or in a child process whose stderr a test reads.
reports="$build_dir/reports"
rm -rf "$reports"
mkdir -p "$reports"
check_reports() {
    local status=$?
    if [ -n "$(ls -A "$reports" 2>/dev/null)" ]; then
        for f in "$reports"/*; do
            echo "---- sanitizer report $f"
            cat "$f"
        done
        echo "sanitize.sh: FAILED, sanitizer reports above" >&2
        status=1
    fi
    exit "$status"
}
trap check_reports EXIT

export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

echo "== engine unit test, sanitized, with leak detection"
ASAN_OPTIONS="${ASAN_OPTIONS/detect_leaks=0/detect_leaks=1}" "$build_dir/engine_test"

# ASan first, then the C++ runtime: the interpreter does not link libstdc++, and
# ASan must find the real __cxa_throw when it starts, or the module's first
# thrown exception stops the process. The module brings the UBSan runtime itself.
export LD_PRELOAD="$asan_runtime:$cxx_runtime${LD_PRELOAD:+:$LD_PRELOAD}"
# With both sanitizers in one build, the UBSan runtime ignores log_path from its
# options (only ASan applies it), so every interpreter started here points it at
# the reports directory itself, before anything is imported.
site_dir="$build_dir/site"
mkdir -p "$site_dir"
cat >"$site_dir/sitecustomize.py" <<'EOF'
# Written by ci/sanitize.sh: sends UBSan reports of this process to a file.
import ctypes as _ctypes
import os as _os

_path = _os.environ.get("CORVANE_UBSAN_LOG")
_runtime = _os.environ.get("CORVANE_UBSAN_RUNTIME")
if _path and _runtime:
    _ctypes.CDLL(_runtime).__sanitizer_set_report_path(_path.encode())
del _ctypes, _os, _path, _runtime
EOF
export CORVANE_UBSAN_RUNTIME
CORVANE_UBSAN_RUNTIME=$(readlink -f "$("$cxx" -print-file-name=libubsan.so)")
export CORVANE_UBSAN_LOG="$reports/ubsan"
# The pure-Python codec comes from the source tree, beside the sanitized module.
export PYTHONPATH="$site_dir:$(dirname "$so"):$root/python${PYTHONPATH:+:$PYTHONPATH}"
# Object memory from the C library's malloc (so ASan sees every object the
# module allocates or frees), with the interpreter's debug hooks on top.
export PYTHONMALLOC=malloc_debug
# Tests that cannot work under the sanitizers (memory footprint) skip on this.
export CORVANE_SANITIZED=1

echo "== checking that the sanitized build is the one imported"
"$python" - "$so" <<'EOF'
import os, sys
import corvane_acp_native as m
expected = os.path.realpath(sys.argv[1])
actual = os.path.realpath(m.__file__)
if actual != expected:
    sys.exit(f"imported {actual}, expected the sanitized build {expected}")
maps = open("/proc/self/maps").read()
if "libasan" not in maps or "libubsan" not in maps:
    sys.exit("the sanitizer runtimes are not loaded")
site = sys.modules.get("sitecustomize")
if site is None or os.path.dirname(os.path.realpath(site.__file__)) != os.path.join(os.path.dirname(expected), "site"):
    sys.exit("the UBSan report redirection did not run")
print(f"imported {actual}")
EOF

echo "== test suite against the sanitized build"
if [ "$#" -eq 0 ]; then set -- "$root/tests"; fi
"$python" -m pytest -q -p no:cacheprovider "$@"

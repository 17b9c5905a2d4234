#!/usr/bin/env bash
# Checks that the sdist holds exactly the tracked files: it builds one from a
# copy of the tracked files into which the usual strays have been dropped (a
# wheelhouse/, dist/ and build/ of earlier builds, a virtual environment, a
# built module), and compares the sdist's file list with `git ls-files`.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/corvane-sdist.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

copy="$WORK/checkout"
mkdir -p "$copy"
git -C "$ROOT" ls-files -z | (cd "$ROOT" && tar --null -T - -cf -) | tar -xf - -C "$copy"
for stray in wheelhouse/corvane_acp_native-1.0.0-cp39-cp39-manylinux_2_17_x86_64.whl \
             dist/corvane_acp_native-1.0.0.tar.gz build/cp311-cp311-linux_x86_64/objects/lib.cpp.o \
             .venv/bin/python corvane_acp_native.cpython-311-x86_64-linux-gnu.so \
             tests/__pycache__/conftest.cpython-311.pyc; do
    mkdir -p "$copy/$(dirname "$stray")"
    head -c 4096 /dev/urandom >"$copy/$stray"
done

python3 -m venv "$WORK/venv"
"$WORK/venv/bin/python" -m pip install -q build
"$WORK/venv/bin/python" -m build -q --sdist --outdir "$WORK/dist" "$copy" >"$WORK/build.log" 2>&1 ||
    { cat "$WORK/build.log" >&2; exit 1; }
sdist=$(ls "$WORK"/dist/*.tar.gz)
echo "== $(basename "$sdist"): $(stat -c %s "$sdist") bytes"

tar -tzf "$sdist" | grep -v '/$' | sed 's|^[^/]*/||' | grep -v -x 'PKG-INFO' | sort >"$WORK/sdist.txt"
git -C "$ROOT" ls-files | sort >"$WORK/tracked.txt"
if ! diff -u "$WORK/tracked.txt" "$WORK/sdist.txt" >"$WORK/diff.txt"; then
    echo "sdist.sh: the sdist's files differ from git ls-files (- tracked only, + sdist only):" >&2
    grep -E '^[-+][^-+]' "$WORK/diff.txt" >&2
    exit 1
fi
echo "sdist: the $(wc -l <"$WORK/sdist.txt") files are exactly the tracked ones"

#!/usr/bin/env bash
# Type-checks the published stubs against the built module.
#
#   ci/typecheck.sh [python]        (default: python3)
#
# Installs the project (ordinary build isolation) and mypy into a throwaway
# virtual environment made from the given interpreter, then runs:
#   1. mypy's stubtest: the stubs match the module's names, signatures, types;
#   2. mypy --strict over examples/ and over the installed corvane_acp_codec;
#   3. tests/typing/check_typing.py: correct usage type-checks (down to the
#      int of to_dict(session)["totals"]["grand_total"]["amount"]), and the
#      misuses in tests/typing/bad_usage.py (a misspelt key of a record's dict
#      form among them) are reported exactly as marked.
set -euo pipefail

PY="${1:-python3}"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/corvane-typecheck.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

echo "== typecheck with $("$PY" -c 'import sys; print(sys.executable, sys.version.split()[0])')"
"$PY" -m venv "$WORK/venv"
VPY="$WORK/venv/bin/python"
"$VPY" -m pip install -q --config-settings=build-dir="$WORK/build" "$ROOT"
"$VPY" -m pip install -q "mypy>=1.11"
"$VPY" -m mypy --version

# Run from the work directory so nothing in the source tree shadows the
# installed module and its stubs.
cd "$WORK"
echo "== stubtest"
"$VPY" -m mypy.stubtest corvane_acp_native
echo "== mypy --strict examples/"
"$VPY" -m mypy --strict --cache-dir "$WORK/mypy-cache" "$ROOT/examples"
echo "== mypy --strict corvane_acp_codec"
"$VPY" -m mypy --strict --cache-dir "$WORK/mypy-cache" -p corvane_acp_codec
echo "== usage checks"
"$VPY" "$ROOT/tests/typing/check_typing.py"
echo "typecheck: all checks passed"

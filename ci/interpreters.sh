#!/usr/bin/env bash
# Builds the module and runs the whole test suite on every extra interpreter
# found here (CPython 3.12, 3.13 from pyenv, and the system's python3), each in
# its own throwaway virtual environment. Interpreters that are not installed
# are skipped. Interpreters given as arguments replace the default list.
#
# Deprecated C API calls fail the build (-Werror=deprecated-declarations), so a
# new interpreter's deprecations show up here before they become removals.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/corvane-interpreters.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
export CXXFLAGS="${CXXFLAGS:-} -Werror=deprecated-declarations"

if [ "$#" -gt 0 ]; then
    candidates=("$@")
else
    shopt -s nullglob
    candidates=(/root/.pyenv/versions/3.12*/bin/python3 /root/.pyenv/versions/3.13*/bin/python3 /usr/bin/python3)
    shopt -u nullglob
fi

tested=0
failed=()
for py in "${candidates[@]}"; do
    if [ ! -x "$py" ]; then
        echo "== skipping $py (not installed)"
        continue
    fi
    version="$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')"
    slot="$WORK/$tested-$version"
    echo "== CPython $version ($py)"
    if ! "$py" -m venv "$slot/venv"; then
        failed+=("$version ($py): venv")
        continue
    fi
    vpy="$slot/venv/bin/python"
    if ! "$vpy" -m pip install -q --config-settings=build-dir="$slot/build" "$ROOT[test]"; then
        failed+=("$version ($py): build/install")
        tested=$((tested + 1))
        continue
    fi
    if ! (cd "$ROOT" && "$vpy" -m pytest -q -p no:cacheprovider tests); then
        failed+=("$version ($py): tests")
    fi
    tested=$((tested + 1))
done

echo "== interpreters tested: $tested"
if [ "${#failed[@]}" -gt 0 ]; then
    printf 'FAILED on %s\n' "${failed[@]}"
    exit 1
fi

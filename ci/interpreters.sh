#!/usr/bin/env bash
# Builds the module and runs the whole test suite on every extra interpreter
# found here (CPython 3.12, 3.13 from pyenv, and the system's python3), each in
# its own throwaway virtual environment: a wheel is built, its tag checked
# against the interpreter, and the suite run against it installed. Interpreters
# that are not installed are skipped. Interpreters given as arguments (paths or
# names on PATH) replace the default list, and then a missing one fails.
#
# Deprecated C API calls fail the build (-Werror=deprecated-declarations), so a
# new interpreter's deprecations show up here before they become removals.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/corvane-interpreters.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
export CXXFLAGS="${CXXFLAGS:-} -Werror=deprecated-declarations"

required=0
if [ "$#" -gt 0 ]; then
    candidates=("$@")
    required=1  # asked for by name: a missing one is a failure
else
    shopt -s nullglob
    candidates=(/root/.pyenv/versions/3.12*/bin/python3 /root/.pyenv/versions/3.13*/bin/python3 /usr/bin/python3)
    shopt -u nullglob
fi

tested=0
failed=()
for py in "${candidates[@]}"; do
    if ! resolved="$(command -v "$py")" || [ ! -x "$resolved" ]; then
        if [ "$required" = 1 ]; then
            failed+=("$py: not installed")
        else
            echo "== skipping $py (not installed)"
        fi
        continue
    fi
    py="$resolved"
    version="$("$py" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')"
    slot="$WORK/$tested-$version"
    echo "== CPython $version ($py)"
    if ! "$py" -m venv "$slot/venv"; then
        failed+=("$version ($py): venv")
        continue
    fi
    vpy="$slot/venv/bin/python"
    # A wheel first, so its tag is checked (cp314-cp314, cp314-cp314t, ...),
    # then the suite against that wheel installed.
    tag="$("$vpy" -c 'import sys, sysconfig; v = "cp%d%d" % sys.version_info[:2]; print(v + "-" + v + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')"
    if ! "$vpy" -m pip wheel -q --no-deps -w "$slot/dist" --config-settings=build-dir="$slot/build" "$ROOT"; then
        failed+=("$version ($py): build")
        tested=$((tested + 1))
        continue
    fi
    wheel="$(ls "$slot"/dist/corvane_acp_native-*.whl)"
    echo "== built $(basename "$wheel")"
    case "$(basename "$wheel")" in
        *"-$tag-"*) ;;
        *) failed+=("$version ($py): wheel tag is not $tag"); tested=$((tested + 1)); continue ;;
    esac
    if ! "$vpy" -m pip install -q "$wheel" 'pytest>=7' 'hypothesis>=6'; then
        failed+=("$version ($py): install")
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

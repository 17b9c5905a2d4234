#!/usr/bin/env bash
# Builds the module and runs the whole test suite on every promised CPython
# found here (the versions in ci/pythons.sh, looked up under pyenv's root, then
# on PATH) and on the system's python3, each in its own throwaway virtual
# environment: a wheel is built, its tag checked against the interpreter, and
# the suite run against it installed. It prints which versions it found and
# which not (3.14 and 3.15 are ci/unstable.sh's, in a chroot). Interpreters
# given as arguments (paths or names on PATH) replace the default list, and
# then a missing one fails.
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
    # shellcheck source=ci/pythons.sh
    source "$ROOT/ci/pythons.sh"
    candidates=()
    missing=()
    for version in "${CORVANE_PYTHONS[@]}"; do
        if py=$(corvane_find_python "$version"); then
            echo "== found CPython $version: $py"
            candidates+=("$py")
        else
            missing+=("$version")
        fi
    done
    [ "${#missing[@]}" -gt 0 ] && echo "== not found here: CPython ${missing[*]}"
    candidates+=(/usr/bin/python3)
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
    if ! "$vpy" -m pip install -q "$wheel" 'pytest>=7' 'hypothesis>=6' 'jsonschema>=4'; then
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

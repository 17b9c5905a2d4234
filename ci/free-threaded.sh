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
# and says so plainly when there is none.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

candidates=()
[ -n "${CORVANE_FREE_THREADED_PYTHON:-}" ] && candidates+=("$CORVANE_FREE_THREADED_PYTHON")
for v in 3.15t 3.14t; do
    if p="$(command -v "python$v")"; then candidates+=("$p"); fi
done
candidates+=(/opt/python3.15t/bin/python3.15t /opt/python3.14t/bin/python3.14t
             /usr/local/bin/python3.15t /usr/local/bin/python3.14t)

for py in "${candidates[@]}"; do
    [ -x "$py" ] || continue
    if [ "$("$py" -c 'import sysconfig; print(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))')" != True ]; then
        echo "== $py is not a free-threaded build; not used"
        continue
    fi
    echo "== free-threaded CPython: $py"
    exec env -u PYTHON_GIL bash "$ROOT/ci/interpreters.sh" "$py"
done

echo "== no free-threaded CPython installed here (looked at: ${candidates[*]}); the free-threaded run is skipped"

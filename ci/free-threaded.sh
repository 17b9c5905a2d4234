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
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# shellcheck source=ci/pythons.sh
source "$ROOT/ci/pythons.sh"
if py=$(corvane_find_free_threaded); then
    echo "== free-threaded CPython: $py"
    exec env -u PYTHON_GIL bash "$ROOT/ci/interpreters.sh" "$py"
fi

echo "== no free-threaded CPython installed here (looked at: $(corvane_free_threaded_candidates | tr '\n' ' ')); the free-threaded run is skipped"

# Sourced by the scripts that build or test for several interpreters: the one
# list of CPython versions this project promises (the README and the
# classifiers in pyproject.toml), and where each is looked for.

CORVANE_PYTHONS=(3.9 3.10 3.11 3.12 3.13 3.14 3.15)

# The interpreter of one version, X.Y: the newest pyenv install of it (under
# $PYENV_ROOT, or `pyenv root`), else pythonX.Y on PATH. Prints its path, or
# fails when there is none.
corvane_find_python() {
    local version=$1 root="${PYENV_ROOT:-}" py
    if [ -z "$root" ] && command -v pyenv >/dev/null 2>&1; then root=$(pyenv root 2>/dev/null || true); fi
    if [ -n "$root" ] && [ -d "$root/versions" ]; then
        py=$(ls -d "$root"/versions/"$version".[0-9]*/bin/python"$version" 2>/dev/null | sort -V | tail -n 1 || true)
        if [ -n "$py" ] && [ -x "$py" ]; then echo "$py"; return 0; fi
    fi
    # Not a pyenv shim: it answers for whichever version pyenv has selected.
    py=$(command -v "python$version" 2>/dev/null || true)
    if [ -n "$py" ] && [ "${py#*/shims/}" = "$py" ]; then echo "$py"; return 0; fi
    return 1
}

# Where a free-threaded CPython (3.14t or later) is looked for, in order.
corvane_free_threaded_candidates() {
    local v p
    [ -n "${CORVANE_FREE_THREADED_PYTHON:-}" ] && echo "$CORVANE_FREE_THREADED_PYTHON"
    for v in 3.15t 3.14t; do
        if p="$(command -v "python$v")"; then echo "$p"; fi
    done
    printf '%s\n' /opt/python3.15t/bin/python3.15t /opt/python3.14t/bin/python3.14t \
        /usr/local/bin/python3.15t /usr/local/bin/python3.14t
}

# The first candidate that is a free-threaded build; prints its path, or fails.
corvane_find_free_threaded() {
    local py
    while read -r py; do
        [ -x "$py" ] || continue
        if [ "$("$py" -c 'import sysconfig; print(bool(sysconfig.get_config_var("Py_GIL_DISABLED")))' 2>/dev/null)" = True ]; then
            echo "$py"
            return 0
        fi
        echo "== $py is not a free-threaded build; not used" >&2
    done < <(corvane_free_threaded_candidates)
    return 1
}

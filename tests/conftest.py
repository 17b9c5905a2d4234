"""Shared fixtures: a client, fast thread switching, the fault-injection shim
and a subprocess runner.

Anything that may poison the process-wide session store (or otherwise leave
the interpreter in a bad state) must run in a child interpreter via `run_py`.
"""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import corvane_acp_native as acp

SHIM_SOURCE = Path(__file__).resolve().parent / "faults" / "shim.c"

# Variables understood by the shim; never inherited by a child unless asked for.
SHIM_VARIABLES = (
    "CORVANE_SHIM_GETRANDOM",
    "CORVANE_SHIM_GETRANDOM_AFTER",
    "CORVANE_SHIM_CLOCK",
)


@pytest.fixture
def client():
    return acp.AcpClient()


@pytest.fixture
def session(client):
    """A fresh session of two mice and a keyboard (modules may define their own)."""
    return client.create_checkout_session([acp.RequestItem("prod_mouse_002", 2), acp.RequestItem("prod_keyboard_003", 1)])


@pytest.fixture
def totals(session):
    return session.totals


@pytest.fixture
def line(session):
    return session.items[0]


@pytest.fixture
def fast_switching(request):
    """Make the interpreter switch threads as often as the module's
    SWITCH_INTERVAL says (10 microseconds unless it says otherwise)."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(getattr(request.module, "SWITCH_INTERVAL", 1e-5))
    try:
        yield
    finally:
        sys.setswitchinterval(old)


def preload_list(preload, inherited):
    """LD_PRELOAD for a child: `preload` first, except that an inherited
    AddressSanitizer runtime stays in front (it refuses to start otherwise)."""
    entries = [e for e in (inherited or "").replace(" ", ":").split(":") if e]
    runtime = [e for e in entries if os.path.basename(e).startswith("libasan")]
    rest = [e for e in entries if e not in runtime]
    return ":".join(runtime + [str(preload)] + rest)


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    """Path of the compiled LD_PRELOAD fault shim (getrandom / clock_gettime)."""
    if not sys.platform.startswith("linux"):
        pytest.skip("the fault shim relies on LD_PRELOAD, available on Linux only")
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not cc or not shutil.which(cc):
        pytest.skip("no C compiler found (cc/gcc/clang) to build the fault shim")
    out = tmp_path_factory.mktemp("faultshim") / "faultshim.so"
    proc = subprocess.run(
        [cc, "-shared", "-fPIC", "-O1", "-o", str(out), str(SHIM_SOURCE), "-ldl"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    if proc.returncode != 0:
        pytest.fail(f"building the fault shim failed:\n{proc.stdout}\n{proc.stderr}")
    return str(out)


@pytest.fixture
def run_py():
    """Run a Python snippet in a child interpreter and return the CompletedProcess.

    run_py(code, preload=None, env=None, timeout=120)
      code     source text (dedented automatically), run with `python -c`
      preload  path of a shared object to put first in LD_PRELOAD
      env      extra environment variables for the child
    """

    def run(code, preload=None, env=None, timeout=120):
        child_env = {k: v for k, v in os.environ.items() if k not in SHIM_VARIABLES}
        if preload:
            child_env["LD_PRELOAD"] = preload_list(preload, child_env.get("LD_PRELOAD"))
        if env:
            child_env.update({k: str(v) for k, v in env.items()})
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=child_env,
            timeout=timeout,
            stdin=subprocess.DEVNULL,
        )

    return run


# The module of the engine's C++ test, once its build has been started.
_engine_test_module = []


@pytest.hookimpl(trylast=True)  # after -k and -m have deselected what they do
def pytest_collection_modifyitems(items):
    """Starts building the engine's C++ test at once, when it is going to run,
    and moves the test to the end, so that it compiles while the Python tests
    run and is ready by the time it is reached."""
    for i, item in enumerate(items):
        if item.name == "test_engine_unit_test":
            item.module.start_build()
            _engine_test_module.append(item.module)
            items.append(items.pop(i))
            break


def pytest_sessionfinish(session):
    for module in _engine_test_module:
        module.stop_build()

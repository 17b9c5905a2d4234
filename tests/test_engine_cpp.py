"""Runs the engine's own C++ unit test (plain C++, no interpreter).

CMake builds it (the engine_test target, with -DCORVANE_ENGINE_TEST=ON) in
build/engine-test-<toolchain>: configured the first time, and after that only
brought up to date, which costs next to nothing when no source has changed.
The build runs in the background from the end of collection on, beside the
Python tests.
Each toolchain (CMake, generator, compiler) gets its own tree, so a checkout
shared with a chroot never reuses a cache made with another machine's tools;
a read-only checkout builds under the temporary directory instead, in a tree
of its own.
"""

import hashlib
import os
import pathlib
import shlex
import signal
import shutil
import subprocess
import tempfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def build_dir():
    tools = [shutil.which(t) or "" for t in ("cmake", "ninja", "g++", "c++")]
    tag = hashlib.sha256("\0".join(tools + [os.uname().machine]).encode()).hexdigest()[:12]
    parent = ROOT / "build"
    if not os.access(parent if parent.exists() else ROOT, os.W_OK):
        # Checkouts mounted at the same path in turn (a chroot's /src) must not
        # share a tree: objects made from one would look newer than another's
        # sources. The checkout's own inode tells them apart.
        root = os.stat(ROOT)
        tag = hashlib.sha256(f"{tag}\0{root.st_dev}\0{root.st_ino}".encode()).hexdigest()[:12]
        parent = pathlib.Path(tempfile.gettempdir()) / "corvane-acp-build"
    return parent / f"engine-test-{tag}"


BUILD = build_dir()


SKIP_REASON = (
    "no CMake or no C++ compiler" if shutil.which("cmake") is None or shutil.which("g++") is None
    else "the sanitizer run builds and runs its own instrumented copy of this test"
    if os.environ.get("CORVANE_SANITIZED") else None
)

# The build started by start_build, while it runs and once it has ended.
_build = None


def start_build():
    """Configures (the first time) and builds the test in the background, so
    that the compiler runs on one core while the Python tests run on the other.
    conftest calls this once it knows the test is going to run. The build is
    unoptimised: it compiles in about half the time, and the optimised engine
    is what the module itself and the sanitized run test."""
    global _build
    if SKIP_REASON or _build is not None:
        return
    BUILD.mkdir(parents=True, exist_ok=True)
    steps = []
    if not (BUILD / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        steps.append(["cmake", "-S", ROOT, "-B", BUILD, *generator, "-DCMAKE_BUILD_TYPE=Debug",
                      "-DCORVANE_MODULE=OFF", "-DCORVANE_ENGINE_TEST=ON"])
    steps.append(["cmake", "--build", BUILD, "--target", "engine_test", "--parallel", "1"])
    script = " && ".join(" ".join(shlex.quote(str(a)) for a in step) for step in steps)
    log = open(BUILD / "build.log", "w")
    _build = subprocess.Popen(["sh", "-c", script], stdout=log, stderr=subprocess.STDOUT,
                              stdin=subprocess.DEVNULL, start_new_session=True)
    log.close()


def stop_build():
    """Ends a background build the session did not wait for (-x, or ^C)."""
    if _build is not None and _build.poll() is None:
        os.killpg(_build.pid, signal.SIGTERM)
        _build.wait()


@pytest.mark.skipif(SKIP_REASON is not None, reason=SKIP_REASON or "")
def test_engine_unit_test():
    start_build()  # when conftest did not (a run of this file alone does it too)
    rc = _build.wait(timeout=900)
    assert rc == 0, (BUILD / "build.log").read_text(errors="replace")
    done = subprocess.run([BUILD / "engine_test"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr

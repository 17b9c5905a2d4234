"""Runs the engine's own C++ unit test (plain C++, no interpreter).

CMake builds it (the engine_test target, with -DCORVANE_ENGINE_TEST=ON) in
build/engine-test-<toolchain>: configured the first time, and after that only
brought up to date, which costs next to nothing when no source has changed.
Each toolchain (CMake, generator, compiler) gets its own tree, so a checkout
shared with a chroot never reuses a cache made with another machine's tools;
a read-only checkout builds under the temporary directory instead.
"""

import hashlib
import os
import pathlib
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
        parent = pathlib.Path(tempfile.gettempdir()) / "corvane-acp-build"
    return parent / f"engine-test-{tag}"


BUILD = build_dir()


def run(cmd, timeout):
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, " ".join(map(str, cmd)) + "\n" + done.stdout + done.stderr
    return done


@pytest.mark.skipif(shutil.which("cmake") is None or shutil.which("g++") is None,
                    reason="no CMake or no C++ compiler")
@pytest.mark.skipif(bool(os.environ.get("CORVANE_SANITIZED")),
                    reason="the sanitizer run builds and runs its own instrumented copy of this test")
def test_engine_unit_test():
    if not (BUILD / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        run(["cmake", "-S", ROOT, "-B", BUILD, *generator, "-DCMAKE_BUILD_TYPE=Release",
             "-DCORVANE_MODULE=OFF", "-DCORVANE_ENGINE_TEST=ON"], timeout=120)
    run(["cmake", "--build", BUILD, "--target", "engine_test", "--parallel", "2"], timeout=600)
    run([BUILD / "engine_test"], timeout=120)

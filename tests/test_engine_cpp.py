"""Runs the engine's own C++ unit test (plain C++, no interpreter).

CMake builds it (the engine_test target, with -DCORVANE_ENGINE_TEST=ON) in
build/engine-test: configured the first time, and after that only brought up
to date, which costs next to nothing when no source has changed.
"""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "engine-test"


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

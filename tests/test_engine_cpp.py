"""Builds and runs the engine's own C++ unit test (plain C++, no interpreter)."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.skipif(shutil.which("g++") is None, reason="no C++ compiler")
@pytest.mark.skipif(bool(os.environ.get("CORVANE_SANITIZED")),
                    reason="the sanitizer run builds and runs its own instrumented copy of this test")
def test_engine_unit_test(tmp_path):
    exe = tmp_path / "engine_test"
    sources = sorted(str(p) for p in (ROOT / "src" / "engine").glob("*.cpp"))
    build = subprocess.run(
        ["g++", "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-I", str(ROOT / "src"), "-rdynamic", "-o", str(exe),
         str(ROOT / "tests" / "cpp" / "engine_test.cpp"), *sources, "-ldl", "-lpthread"],
        capture_output=True, text=True, timeout=300,
    )
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr

"""The engine's change check on its own: test_change_check.cpp, built with the system compiler and run
without Python, checks the stale files of random scans and the scan time each file is remembered with."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
SOURCES = [REPO / "tests" / "test_change_check.cpp", REPO / "src" / "index_engine" / "change_check.cpp",
           REPO / "src" / "index_engine" / "path_order.cpp"]
COMPILER = shutil.which(os.environ.get("CXX") or "g++")


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler: neither $CXX nor g++ is on PATH")
def test_scan_and_read_times_against_a_model(tmp_path):
    program = tmp_path / "change_check"
    # As CMakeLists.txt builds the engine: C++20 without extensions, includes named from src/.
    build = subprocess.run([COMPILER, "-std=c++20", "-Wall", "-Wextra", "-Wno-missing-field-initializers", "-O1",
                            "-I", str(REPO / "src"), *map(str, SOURCES), "-o", str(program)],
                           capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(program)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr

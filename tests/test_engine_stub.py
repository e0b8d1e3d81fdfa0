"""The engine's type stub is installed and matches the built module."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


def test_engine_stub_is_installed_and_matches_the_module(tmp_path):
    package = Path(importlib.util.find_spec("tarvex").origin).parent
    source = REPO / "src" / "tarvex" / "_index_engine.pyi"
    assert (package / "_index_engine.pyi").read_text() == source.read_text()
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "tarvex._index_engine"],
                          capture_output=True, text=True, cwd=tmp_path, env=env, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr

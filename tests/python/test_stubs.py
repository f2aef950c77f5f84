"""The stubs of `_tev` against the built module (mypy's stubtest), and the command's code against the
stubs (mypy), so that neither can drift from the module."""

import importlib.util
import subprocess
import sys

import pytest

from conftest import ROOT

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="python3-mypy is not installed")


def test_stubs_match_the_module(tmp_path):
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_tev"],
                       capture_output=True, text=True, cwd=tmp_path,
                       env={"MYPYPATH": str(ROOT / "python"), "PATH": "/usr/bin:/bin"})
    assert r.returncode == 0, r.stdout + r.stderr


def test_the_command_type_checks_against_the_stubs(tmp_path):
    r = subprocess.run([sys.executable, "-m", "mypy", "--python-version", "3.11", "--ignore-missing-imports",
                        "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(ROOT / "python" / "tev")],
                       capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr

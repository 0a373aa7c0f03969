"""The interpreter-version check: its parsing and comparison on their own
(a running interpreter cannot be swapped), and silence under the version
the module was built for."""

import importlib.machinery
import shutil
import subprocess
from pathlib import Path

import pytest

import factbrief.factbrief as fb

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_version_parsing_and_comparison(tmp_path):
    binary = tmp_path / "version_check_test"
    subprocess.run(
        ["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror",
         f"-I{ROOT / 'native'}",
         str(ROOT / "tests" / "native" / "version_check_test.cpp"),
         "-o", str(binary)], check=True, capture_output=True, text=True)
    run = subprocess.run([str(binary)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout
    assert run.stdout.strip() == "0 failure(s)"


def test_no_warning_under_the_version_built_for(run_python, tmp_path):
    # Built for this interpreter: its file carries this version's ABI tag.
    assert fb.__file__.endswith(importlib.machinery.EXTENSION_SUFFIXES[0])
    rc, _, err = run_python("import factbrief.factbrief", cwd=tmp_path)
    assert (rc, err) == (0, "")
    rc, _, err = run_python("""
        import warnings
        warnings.simplefilter("error")
        import factbrief.factbrief
    """, cwd=tmp_path)
    assert (rc, err) == (0, "")

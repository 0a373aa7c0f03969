"""Shared helpers: a fresh interpreter for import-time behaviour, and the
last traceback entry of an exception."""

import json
import subprocess
import sys
import textwrap
import traceback

import pytest

SOURCE_FILE = "factbrief\\\\factbrief"  # as every traceback entry names it


def _run_python(code, cwd=None, env=None, timeout=120):
    """Runs `code` (dedented) in a new interpreter of this environment;
    returns (returncode, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)
    return proc.returncode, proc.stdout, proc.stderr


@pytest.fixture
def run_python():
    return _run_python


@pytest.fixture
def run_json(run_python):
    """Runs `code` that prints one JSON document as its last line; returns
    that document, failing with the child's stderr when it did not exit
    cleanly."""
    def run(code, cwd=None, env=None):
        rc, out, err = run_python(code, cwd=cwd, env=env)
        assert rc == 0, err
        return json.loads(out.strip().splitlines()[-1])
    return run


def last_entry(exc):
    """(file name, function name, line) of the innermost traceback entry."""
    frame = traceback.extract_tb(exc.__traceback__)[-1]
    return frame.filename, frame.name, frame.lineno

"""Shared helpers: a fresh interpreter for import-time behaviour, and the
last traceback entry of an exception; the fixtures of tests/support."""

import ctypes
import json
import subprocess
import sys
import textwrap
import traceback

import pytest

from support.fixtures import *  # noqa: F401,F403 (shared fixtures)

# Prepended to a child's source: in_subinterpreter(source) runs `source` in
# a new interpreter of the process, made by the C API's Py_NewInterpreter
# (shared GIL), which every supported version has alike, and returns
# (status, text): 0 or -1, and what `source` passed to report().
IN_SUBINTERPRETER = r'''
import os as _os, _testcapi

def in_subinterpreter(source):
    read_end, write_end = _os.pipe()
    head = ("def report(text):\n    import os\n"
            "    os.write(%d, text.encode())\n" % write_end)
    status = _testcapi.run_in_subinterp(head + source)
    _os.close(write_end)
    with _os.fdopen(read_end) as f:
        return status, f.read()
'''


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


def traceback_entries(exc):
    """(function name, line) of every traceback entry, outermost first."""
    tb, found = exc.__traceback__, []
    while tb is not None:
        found.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


_vectorcall_method = ctypes.pythonapi.PyObject_VectorcallMethod
_vectorcall_method.restype = ctypes.py_object
_vectorcall_method.argtypes = [ctypes.py_object,
                               ctypes.POINTER(ctypes.py_object),
                               ctypes.c_size_t, ctypes.py_object]


def vectorcall_method(name, args, kwnames, kwvalues):
    """args[0].<name>(*args[1:], **kw) as a fast call with `kwnames`
    passed as they are: duplicates and names that are not strings reach
    the method."""
    items = list(args) + list(kwvalues)
    array = (ctypes.py_object * len(items))(*items)
    return _vectorcall_method(name, array, len(args), tuple(kwnames))

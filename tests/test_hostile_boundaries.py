"""Attacks at the module's boundaries that once crashed the process or
lost an exception: shutdown with daemon threads inside our calls, the
collector's clear step, re-entry from C, allocation failures at every
position. Each runs in its own process, so a crash is an exit status."""

import os
import pathlib
import signal

import pytest

import factbrief.factbrief as fb

TESTS = str(pathlib.Path(__file__).resolve().parent)

# The client double stands in for the whole `openai` package, so that the
# child starts quickly.
IN_PROCESS_CLIENT = f"""
import sys, types
sys.path.insert(0, {TESTS!r})
from support.doubles import ClientDouble
sys.modules["openai"] = types.ModuleType("openai")
sys.modules["openai"].OpenAI = ClientDouble("hi", record=False)
import factbrief.factbrief as fb
ai = fb.AISummary("http://127.0.0.1:1/v1", "k", "m")
"""


def exited_cleanly(run_python, code, **kw):
    rc, out, err = run_python(code, **kw)
    assert rc == 0, f"exit status {rc} " \
        f"({signal.Signals(-rc).name if rc < 0 else rc}): {err[-2000:]}"
    return out


# ---- interpreter shutdown while daemon threads are inside our calls ----

def shutdown_environment():
    """This environment, but under the sanitizers without the exit leak
    scan: whatever a daemon thread holds when shutdown ends it is never
    released, ours or the interpreter's (its thread start-up block, its
    frames), and that is not what these tests look for."""
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] = env["ASAN_OPTIONS"].replace(
            "detect_leaks=1", "detect_leaks=0")
    return env


def test_module_carries_no_cxx_exception_cleanups():
    # The forced unwind that ends daemon threads at shutdown must pass our
    # frames as it passes C frames; code built with exception support
    # would run destructors without the interpreter lock, then terminate.
    built = pathlib.Path(fb.__file__).read_bytes()
    if not built.startswith(b"\x7fELF"):
        pytest.skip("checked on ELF builds only")
    assert b"__gxx_personality_v0" not in built


@pytest.mark.parametrize("run", range(6))
def test_exit_with_daemon_threads_in_calls(run_python, run):
    exited_cleanly(run_python, IN_PROCESS_CLIENT + """
import threading, time
def spin():
    while True:
        ai.extract("some text, here")
for _ in range(1 + run % 3):
    threading.Thread(target=spin, daemon=True).start()
time.sleep(0.2)
""".replace("run", str(run)), env=shutdown_environment())


@pytest.mark.parametrize("run", range(2))
def test_exit_with_daemon_threads_in_real_requests(run_python, tmp_path, run):
    exited_cleanly(run_python, """
import io, sys, threading, time
import factbrief.factbrief as fb
from factbrief.standin import StandIn
server = StandIn().__enter__()
ai = fb.AISummary(server.base_url, "key", "stand-in")
sys.stderr = io.StringIO()
def spin():
    while True:
        ai.extract("some text, here")
for _ in range(6):
    threading.Thread(target=spin, daemon=True).start()
time.sleep(0.5)
""", cwd=tmp_path, env=shutdown_environment())


# ---- the collector's clear step ----

def test_method_object_met_during_clear(run_json, tmp_path):
    # A finalizer run by the collector's clear step still reaches the
    # method through a weak reference made after weak references were
    # cleared; its name and qualified name must still be valid.
    seen = run_json("""
import gc, json, pickle, weakref
import factbrief.factbrief as fb
f = fb.AISummary.__dict__["extract"]
del fb.AISummary.extract
seen = []
class Reporter:
    def __init__(self, ref):
        self.ref = ref
    def __del__(self):
        g = self.ref()
        if g is None:
            return
        seen.extend([repr(g).split(" at ")[0], g.__qualname__,
                     g.__name__, g.__reduce__()])
        try:
            pickle.dumps(g)
        except Exception as e:
            seen.append(type(e).__name__)
class Seed:
    def __init__(self, f):
        self.f = f
    def __del__(self):
        self.f.__dict__["reporter"] = Reporter(weakref.ref(self.f))
f.seed = Seed(f)
del f
gc.collect()
print(json.dumps(seen))
""", cwd=tmp_path)
    assert seen[:4] == ["<function AISummary.extract", "AISummary.extract",
                        "extract", "AISummary.extract"]


def test_method_object_releases_what_it_holds(run_json, tmp_path):
    # Freed by reference count and by the collector: the attribute dict,
    # annotations and a str-subclass qualified name in a cycle all go.
    alive = run_json("""
import gc, json, weakref
import factbrief.factbrief as fb
class Marker: pass
class Name(str): pass
def orphan(attr):
    f = fb.AISummary.__dict__[attr]
    delattr(fb.AISummary, attr)
    return f
refs = {}
f = orphan("__init__")
f.held = Marker()
refs["dict"] = weakref.ref(f.held)
f.__annotations__["x"] = Marker()
refs["annotations"] = weakref.ref(f.__annotations__["x"])
del f
f = orphan("extract")
f.__dict__["self"] = f
refs["dict cycle"] = weakref.ref(f)
del f
f = orphan("refined_title")
f.__qualname__ = Name("AISummary.refined_title")
f.__qualname__.back = f
refs["qualname cycle"] = weakref.ref(f)
del f
gc.collect()
print(json.dumps(sorted(k for k, r in refs.items() if r() is not None)))
""", cwd=tmp_path)
    assert alive == []


# ---- re-entry through C-level callables ----

def test_reentry_through_partial_is_a_recursion_error(run_json, tmp_path):
    facts = run_json("""
import functools, io, json, re, sys, types
import factbrief.factbrief as fb
ai = fb.AISummary("http://127.0.0.1:1/v1", "k", "m")
fb.re = types.SimpleNamespace(
    compile=functools.partial(fb.AISummary.extract, ai), sub=re.sub)
sys.stderr = printed = io.StringIO()
record = ai.extract("hello")
sys.stderr = sys.__stderr__
print(json.dumps({"record": record, "printed": printed.getvalue()}))
""", cwd=tmp_path)
    assert facts["record"] == {"summary": "", "content": "",
                               "status": "error"}
    assert ("RecursionError: maximum recursion depth exceeded while "
            "calling a Python object") in facts["printed"]


def test_reentry_through_setattr_is_a_recursion_error(run_python, tmp_path):
    # Assigning an attribute calls the type's __setattr__ with no guard of
    # its own; with __init__ there, only ours ends the chain.
    out = exited_cleanly(run_python, """
import factbrief.factbrief as fb
class Sub(fb.AISummary):
    __setattr__ = fb.AISummary.__init__
try:
    Sub("u", "k")
except RecursionError as e:
    print(type(e).__name__)
""", cwd=tmp_path)
    assert out.strip() == "RecursionError"


# ---- one failed allocation at each position in turn ----

SWEEP = """
import io, os, re, sys, _testcapi
import factbrief.factbrief as fb
sys.path.insert(0, {tests!r})
from support.lines import PATTERN
ai = fb.AISummary("http://127.0.0.1:1/v1", "k", "m")
PATH = "{path}"
if PATH == "native":
    sys.modules["binding_runtime"].cline_in_traceback = True
if PATH == "answered":
    from support.doubles import ClientDouble
    fb.OpenAI = ClientDouble("hi", record=False)
# The pattern in re's own cache: the positions swept are the call's, not
# the thousands of the regular-expression compiler's.
re.compile(PATTERN)
CALLS = {{
    "binding": lambda: ai.extract(),
    "native": lambda: ai.refined_title(),
    "caught": lambda: ai.extract(None),
    "answered": lambda: ai.extract("some text, here"),
}}
call = CALLS[PATH]

def attempt(n):
    # From 3.11 frame objects are made lazily; when making a caller's fails
    # while an exception unwinds, the interpreter drops the exception
    # (SystemError: error return without exception set), with or without
    # us. The callers' frame objects are made before any allocation fails.
    sys._getframe(0), sys._getframe(1)
    _testcapi.set_nomemory(n, n + 1)
    try:
        return call()
    finally:
        _testcapi.remove_mem_hooks()

def chain(e):
    while e is not None:
        yield type(e).__name__
        e = e.__cause__ or e.__context__

def outcome(n):
    # (sound, hit): no SystemError and the right kind of result; and
    # whether the failed allocation showed at all

    sys.stderr = printed = io.StringIO()
    try:
        r = attempt(n)
    except BaseException as e:
        kinds = list(chain(e))
        sound = "SystemError" not in kinds and kinds[0] in (
            "TypeError", "MemoryError")
        return sound, "MemoryError" in kinds
    sound = isinstance(r, dict) and list(r)[1:] == ["content", "status"]
    return sound, "MemoryError" in printed.getvalue()

# Each position in a fresh fork, so that the code-object cache is cold;
# the sweep ends once 25 positions in a row no longer reach the call.
bad, unhit, n = [], 0, 0
while unhit < 25 and n < 3000:
    pid = os.fork()
    if pid == 0:
        sound, hit = outcome(n)
        os._exit((0 if sound else 2) + (1 if hit else 0))
    _, status = os.waitpid(pid, 0)
    code = os.waitstatus_to_exitcode(status)
    if code not in (0, 1):
        bad.append((n, code))
    unhit = unhit + 1 if code == 0 else 0
    n += 1
print(n, bad)
"""


@pytest.mark.parametrize("path", ["binding", "native", "caught", "answered"])
def test_failed_allocation_at_every_position(run_python, tmp_path, path):
    out = exited_cleanly(run_python, SWEEP.format(path=path, tests=TESTS), cwd=tmp_path)
    positions, bad = out.split(" ", 1)
    assert bad.strip() == "[]"
    assert int(positions) > 25  # the sweep reached past the call's end

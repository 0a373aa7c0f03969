"""Repeat each path through the module thousands of times: allocated
blocks and the reference counts of what the caller passed in must come
back to where they were. A lost reference or block per call shows up as
growth proportional to the count in every round; caches and the
allocator's own churn settle, so one quiet round is enough to pass."""

import contextlib
import gc
import pathlib
import re
import sys
import warnings

import pytest

import factbrief.factbrief as fb
from support.doubles import ClientDouble, module_global, null_stderr
from support.fixtures import cline_in_traceback

TESTS = pathlib.Path(__file__).parent
WARMUP = 300
CALLS = 2000
ROUNDS = 4
QUIET_BLOCKS = CALLS // 10   # a leak of one block a call gains CALLS


def growth(call, objects, calls=CALLS):
    """(blocks gained, reference-count changes) over `calls` calls."""
    gc.collect()
    before_refs = [sys.getrefcount(o) for o in objects]
    before = sys.getallocatedblocks()
    for _ in range(calls):
        call()
    gc.collect()
    after = sys.getallocatedblocks()
    after_refs = [sys.getrefcount(o) for o in objects]
    changed = [(i, b, a) for i, (b, a)
               in enumerate(zip(before_refs, after_refs)) if a != b]
    return after - before, changed


def steady(call, objects):
    """None when some round of calls gained (almost) no blocks and moved
    no reference count; else what every round saw."""
    for _ in range(WARMUP):
        call()
    seen = []
    for _ in range(ROUNDS):
        blocks, changed = growth(call, objects)
        if blocks < QUIET_BLOCKS and not changed:
            return None
        seen.append((blocks, changed))
    return seen


def assert_steady(call, objects):
    seen = steady(call, objects)
    assert seen is None, \
        f"every round grew: (blocks, moved reference counts) {seen}"


# Fresh, non-interned objects so that their counts are ours alone.
def _text(s):
    return "".join([s, "\u00e9"])[:-1] + "\u00e9"


class Arguments:
    def __init__(self):
        self.url = _text("http://127.0.0.1:9/v1")
        self.key = _text("key")
        self.model = _text("model")
        self.obj = fb.AISummary(self.url, self.key, self.model)
        self.content = _text("Hello, world! 你好，世界。")
        self.prompt = _text("short")
        self.length = 123456789
        self.reply = _text("reply")
        self.bad_keyword = _text("promptx")

    def all(self):
        return [self.obj, self.url, self.key, self.model, self.content,
                self.prompt, self.length, self.reply, self.bad_keyword]


def _service_call(name):
    def run(a):
        getattr(a.obj, name)(a.content, a.prompt, length=a.length)
    return run


def _binding_errors(a):
    for call in (lambda: a.obj.extract(),
                 lambda: a.obj.refined_title(a.content, a.prompt, 1, 2),
                 lambda: a.obj.extract(a.content, **{a.bad_keyword: 1}),
                 lambda: a.obj.extract(a.content, content=a.prompt),
                 lambda: fb.AISummary(a.url)):
        try:
            call()
        except TypeError:
            pass
        else:
            raise AssertionError("binding error expected")


def _passes_interrupt(a):
    try:
        a.obj.refined_title(a.content, a.prompt)
    except KeyboardInterrupt:
        pass
    else:
        raise AssertionError("KeyboardInterrupt expected")


def _construct(a):
    fb.AISummary(a.url, a.key, a.model)
    fb.AISummary(base_url=a.url, model_id=a.model, api_key=a.key)
    a.obj.__init__(a.url, a.key)


def _method_attributes(a):
    f = fb.AISummary.extract
    for name in ("__name__", "__qualname__", "__doc__", "__dict__",
                 "__globals__", "__closure__", "__code__", "__defaults__",
                 "__kwdefaults__", "__annotations__", "_is_coroutine",
                 "__module__", "func_name", "func_defaults"):
        getattr(f, name)
    f.__reduce__()
    repr(f)
    f.__doc__ = a.prompt
    del f.__doc__
    f.__name__ = f.__name__
    f.__qualname__ = f.__qualname__
    f.__defaults__ = f.__defaults__
    f.__kwdefaults__ = None
    f.__annotations__ = None
    f.__module__ = a.prompt
    f.__module__ = "factbrief.factbrief"
    f.__dict__ = {}
    for name, value in (("__name__", 1), ("__qualname__", None),
                        ("__defaults__", []), ("__kwdefaults__", ()),
                        ("__annotations__", 0), ("__dict__", a.prompt)):
        try:
            setattr(f, name, value)
        except TypeError:
            pass
        else:
            raise AssertionError(f"assigning {name} should fail")


def _last_entry_name(a):
    try:
        a.obj.extract()
    except TypeError as e:
        tb = e.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_name


def _tracebacks(a):
    _binding_errors(a)
    a.obj.extract(a.content, a.prompt)   # caught, entries printed


# name -> (client double's faults, or None for no client; call)
PATHS = {
    "extract ok": ({}, _service_call("extract")),
    "refined_title ok": ({}, _service_call("refined_title")),
    "extract caught": ({"create": RuntimeError},
                       _service_call("extract")),
    "refined_title caught in client": (
        {"client": ValueError}, _service_call("refined_title")),
    "binding errors": (None, _binding_errors),
    "KeyboardInterrupt": ({"create": KeyboardInterrupt},
                          _passes_interrupt),
    "constructor": (None, _construct),
    "method attributes": (None, _method_attributes),
    "native traceback entries": ({"create": OSError}, _tracebacks),
}


@pytest.mark.parametrize("path", list(PATHS))
def test_path_keeps_memory_and_references(path):
    client_kw, body = PATHS[path]
    a = Arguments()
    objects = a.all()
    with contextlib.ExitStack() as stack:
        stack.enter_context(null_stderr())
        if client_kw is not None:
            client = ClientDouble(a.reply, record=False, **client_kw)
            objects.append(client)
            stack.enter_context(module_global(fb, "OpenAI", client))
        if path == "method attributes":
            stack.enter_context(warnings.catch_warnings())
            warnings.simplefilter("ignore", RuntimeWarning)
            f = fb.AISummary.extract
            saved = f.__defaults__, f.__module__
            stack.callback(setattr, f, "__defaults__", saved[0])
            stack.callback(setattr, f, "__module__", saved[1])
            objects += list(saved)
        if path == "native traceback entries":
            stack.enter_context(cline_in_traceback(True))
            assert re.search(r"\(.+:\d+\)$", _last_entry_name(a))
        assert_steady(lambda: body(a), objects)


def test_reimport_keeps_memory(run_python, tmp_path):
    # Create hands back the loaded module; the state block the interpreter
    # allocates for it again must not pile up. In its own process: the
    # re-import leaves the module's loader entries changed.
    rc, out, err = run_python(f"""
import importlib, sys
sys.path.insert(0, {str(TESTS)!r})
import test_soak
import factbrief.factbrief as fb
def reimport():
    del sys.modules["factbrief.factbrief"]
    assert importlib.import_module("factbrief.factbrief") is fb
print(test_soak.steady(reimport, [fb]))
""", cwd=tmp_path)
    assert rc == 0, err
    assert out.strip() == "None", f"every round grew: {out}"


@pytest.mark.parametrize("leak", ["block", "reference"])
def test_one_lost_block_or_reference_per_call_is_caught(leak):
    # The check itself must notice the smallest per-call leak.
    kept = []
    a = Arguments()
    if leak == "block":
        def call():
            kept.append(object())
    else:
        def call():
            kept.append(a.content)
    seen = steady(call, a.all())
    assert seen is not None and len(seen) == ROUNDS
    if leak == "block":
        assert all(blocks >= QUIET_BLOCKS for blocks, _ in seen)
    else:
        assert all(changed for _, changed in seen)

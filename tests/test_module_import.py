"""What importing factbrief.factbrief builds, and how import behaves when
repeated, refused or broken. Import-time cases each run in a new
interpreter, one per group of related checks."""

import builtins
import inspect
import os
import re
import sys
import textwrap
import traceback as traceback_module

import pytest

import factbrief.factbrief as fb
from conftest import IN_SUBINTERPRETER
from support.lines import CODE_FILE, METHODS, SOURCE_FILE

A = fb.AISummary
SERVICE_LOCALS = ("pattern", "messages", "client", "response")

# Prepended to each child: attempt() imports the module and describes the
# outcome, including our traceback entries and the globals they carry
# (the failed module's dict, which nothing else still reaches).
ATTEMPT = r'''
import json, os, sys

def attempt():
    try:
        import factbrief.factbrief as m
    except Exception as e:
        entries, names = [], None
        tb = e.__traceback__
        while tb is not None:
            code = tb.tb_frame.f_code
            if code.co_filename == "factbrief\\\\factbrief":
                entries.append([code.co_name, tb.tb_lineno])
                names = list(tb.tb_frame.f_globals)
            tb = tb.tb_next
        return {"error": type(e).__name__, "message": str(e),
                "entries": entries, "globals": names}
    return {"module": id(m), "path_tail": sys.path[-3:]}
'''

BODY_GLOBALS = ["__name__", "__doc__", "__package__", "__loader__",
                "__spec__", "__file__", "__builtins__"]


def body_failure(line, error, globals_after):
    """The outcome of attempt() for a module body failing at `line`."""
    return {"error": error, "entries": [["init factbrief.factbrief", line]],
            "globals": BODY_GLOBALS + globals_after}


# ---- what a successful import built ----

def test_module_dictionary():
    d = vars(fb)
    assert d["__builtins__"] is builtins
    assert d["__doc__"] is None
    assert d["__file__"] == fb.__spec__.origin
    assert d["__loader__"] is fb.__spec__.loader
    assert d["__package__"] == "factbrief"
    assert d["__test__"] == {} and type(d["__test__"]) is dict
    assert [d[n] for n in ("os", "sys", "re", "traceback")] == [
        os, sys, re, traceback_module]
    assert "binding_runtime" in sys.modules


def test_class_dictionary():
    assert type(A) is type and A.__bases__ == (object,)
    assert A.__module__ == "factbrief.factbrief"
    assert A.__qualname__ == A.__name__ == "AISummary"
    assert "__orig_bases__" not in vars(A) and A.__doc__ is None
    assert list(vars(A))[:4] == ["__module__", "__init__", "extract",
                                 "refined_title"]
    assert A.extract.__defaults__ is A.refined_title.__defaults__


@pytest.mark.parametrize("name, signature", [
    ("__init__", "(self, base_url, api_key, model_id='')"),
    ("extract", "(self, content, prompt='', length=200)"),
    ("refined_title", "(self, content, prompt='', length=200)"),
])
def test_code_objects_and_signatures(name, signature):
    method = METHODS[name]
    varnames = method.params
    if method.answer_key:
        varnames += SERVICE_LOCALS + (method.answer_key, "e")
    func = vars(A)[name]
    code = func.__code__
    assert (code.co_name, code.co_firstlineno, code.co_varnames) == (
        name, method.def_line, varnames)
    assert (code.co_argcount, code.co_posonlyargcount,
            code.co_kwonlyargcount, code.co_nlocals) == (4, 0, 0,
                                                         len(varnames))
    assert code.co_flags & (inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS) == 3
    assert code.co_filename == CODE_FILE
    assert str(inspect.signature(func)) == signature
    bound = "(" + signature.split(", ", 1)[1]
    assert str(inspect.signature(getattr(A("u", "k"), name))) == bound


def test_class_signature():
    assert str(inspect.signature(A)) == "(base_url, api_key, model_id='')"


# ---- import-time behaviour, each group in a new interpreter ----

def test_import_once_per_process(run_json, tmp_path):
    facts = run_json("""
        import importlib, json, os, sys
        sys.path.insert(0, os.getcwd())
        before = list(sys.path)
        import factbrief.factbrief as m
        import binding_runtime
        first = list(sys.path)
        out = {"appended": first[len(before):],
               "globals": list(vars(m)),
               "switch_before": "cline_in_traceback" in vars(binding_runtime)}
        del sys.modules["factbrief.factbrief"]
        import factbrief.factbrief as again
        out["same"] = again is m and importlib.reload(m) is m
        out["path_unchanged"] = sys.path == first
        try:
            m.AISummary()
        except TypeError:
            pass
        out["switch_after"] = vars(binding_runtime)["cline_in_traceback"]
        print(json.dumps(out))
    """, cwd=tmp_path)
    # The working directory goes last, though it is already first.
    assert facts["appended"] == [str(tmp_path)]
    assert facts["globals"] == BODY_GLOBALS + [
        "os", "sys", "re", "traceback", "OpenAI", "AISummary", "__test__"]
    assert facts["same"] and facts["path_unchanged"]
    assert facts["switch_before"] is False
    assert facts["switch_after"] is False


def test_deleted_working_directory(run_json, tmp_path):
    gone = tmp_path / "gone"
    gone.mkdir()
    facts = run_json(ATTEMPT + """
os.rmdir(os.getcwd())
failed = attempt()
os.chdir("/")
print(json.dumps([failed, attempt()]))
""", cwd=gone)
    failed, retried = facts
    assert failed.pop("message").startswith("[Errno 2]")
    assert failed == body_failure(3, "FileNotFoundError", ["os", "sys"])
    assert retried["path_tail"][-1] == "/"


def test_missing_or_broken_openai(run_json, tmp_path):
    hostile = "def __getattr__(name):\n    raise ValueError('hostile')\n"
    for name, init in [("empty", ""), ("broken", "raise LookupError('x')"),
                       ("hostile", hostile)]:
        (tmp_path / name / "openai").mkdir(parents=True)
        (tmp_path / name / "openai" / "__init__.py").write_text(init)
    facts = run_json(ATTEMPT + """
import types
out = {}
start = len(sys.path)
sys.modules["openai"] = None
out["missing"] = attempt()
del sys.modules["openai"]
sys.path.insert(0, "broken")
out["broken"] = attempt()
sys.path[0] = "empty"
out["no_name"] = attempt()
del sys.modules["openai"]
sys.path[0] = "hostile"
out["hostile"] = attempt()
del sys.modules["openai"]
sys.path[0] = "empty"
sub = sys.modules["openai.OpenAI"] = types.ModuleType("openai.OpenAI")
out["submodule"] = attempt()
import factbrief.factbrief as m
out["uses_submodule"] = m.OpenAI is sub
out["appended"] = sys.path[start + 1:]
reg = sys.modules["_binding_shared"]
out["same_type"] = type(m.AISummary.extract) is reg.method_function
print(json.dumps(out))
""", cwd=tmp_path)
    after_line_5 = ["os", "sys", "re", "traceback"]
    missing = facts["missing"]
    assert "openai" in missing.pop("message")
    assert missing == body_failure(6, "ModuleNotFoundError", after_line_5)
    assert facts["broken"] == {**body_failure(6, "LookupError",
                                              after_line_5),
                               "message": "x"}
    assert facts["no_name"] == {**body_failure(6, "ImportError",
                                               after_line_5),
                                "message": "cannot import name OpenAI"}
    # an attribute read failing otherwise than with AttributeError
    assert facts["hostile"] == facts["no_name"]
    assert "module" in facts["submodule"] and facts["uses_submodule"]
    # every attempt ran the whole body again
    assert facts["appended"] == [str(tmp_path)] * 5
    assert facts["same_type"]


def test_replaced_import_function_is_not_called(run_json, tmp_path):
    seen = run_json("""
        import builtins, importlib, json
        real = builtins.__import__
        seen = []

        def spy(name, globals=None, *args, **kwargs):
            seen.append([name, (globals or {}).get("__name__")])
            return real(name, globals, *args, **kwargs)

        builtins.__import__ = spy
        importlib.import_module("factbrief.factbrief")
        exec("import colorsys", {"__name__": "probe"})  # the spy works
        builtins.__import__ = real
        print(json.dumps([s for s in seen
                          if s[1] in ("factbrief.factbrief", "probe")]))
    """, cwd=tmp_path)
    assert seen == [["colorsys", "probe"]]


def test_second_interpreter_is_refused(run_json, tmp_path):
    facts = run_json(IN_SUBINTERPRETER + textwrap.dedent("""
        import json
        import factbrief.factbrief as fb
        _, result = in_subinterpreter('''if 1:
            try:
                import factbrief.factbrief
                report("imported")
            except BaseException as e:
                report(type(e).__name__ + ": " + str(e))
        ''')
        try:
            fb.AISummary("u")
        except TypeError as e:
            error = str(e)
        print(json.dumps([result, fb.AISummary("u", "k").api_key, error]))
    """), cwd=tmp_path)
    assert facts == [
        "ImportError: Interpreter change detected - this module can only "
        "be loaded into one interpreter per process.",
        "k", "__init__() takes at least 3 positional arguments (2 given)"]


def test_exec_on_a_second_module_object(run_json, tmp_path):
    facts = run_json("""
        import importlib.util, json, sys
        found = importlib.util.find_spec("factbrief.factbrief")
        spec = importlib.util.spec_from_file_location(
            "elsewhere.factbrief", found.origin)
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        out = {"distinct": first is not second}
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            out["refused"] = str(e)
        import factbrief.factbrief as m
        out["registered"] = m is first and (
            importlib.util.module_from_spec(spec) is first)
        out["names"] = [first.__name__, first.AISummary.__module__]
        out["works"] = first.AISummary("u", "k").base_url
        print(json.dumps(out))
    """, cwd=tmp_path)
    assert facts == {
        "distinct": True,
        "refused": "Module 'factbrief' has already been imported. "
                   "Re-initialisation is not supported.",
        # registered under its full name whatever the spec calls it
        "registered": True,
        "names": ["elsewhere.factbrief", "factbrief.factbrief"],
        "works": "u"}


def test_shared_type_must_fit(run_json, tmp_path):
    size = type(A.extract).__basicsize__
    slots = (size - object.__basicsize__) // tuple.__itemsize__
    facts = run_json(ATTEMPT + """
import types
registry = sys.modules["_binding_shared"] = types.ModuleType("_binding_shared")
out = []
# a foreign type of the very size of ours: slots make up the size
same_size = type("method_function", (), {
    "__slots__": tuple(f"s{i}" for i in range(SLOTS))})
for shared in (5, type("method_function", (), {}), same_size):
    registry.method_function = shared
    out.append(attempt())
del registry.method_function
out.append("module" in attempt())
import factbrief.factbrief as m
out.append(type(m.AISummary.extract) is registry.method_function)
print(json.dumps(out))
""".replace("SLOTS", str(slots)), cwd=tmp_path)
    not_type, wrong_size, foreign, imported, registered = facts
    assert {not_type["error"], wrong_size["error"],
            foreign["error"]} == {"TypeError"}
    assert "not a type object" in not_type["message"]
    assert "wrong size" in wrong_size["message"]
    assert "wrong layout" in foreign["message"]
    assert not_type["entries"] == wrong_size["entries"] == []
    assert imported and registered


NATIVE = r" \(\w+\.cpp:\d+\)"


def test_native_location_switch(run_json, tmp_path):
    facts = run_json(ATTEMPT + """
import types, traceback
options = sys.modules["binding_runtime"] = types.ModuleType("binding_runtime")
options.cline_in_traceback = True
sys.modules["openai"] = None
out = {"body": attempt()["entries"]}
del sys.modules["openai"]
import factbrief.factbrief as fb
obj = fb.AISummary("u", "k")

def entry(call):
    try:
        call()
    except TypeError as e:
        last = traceback.extract_tb(e.__traceback__)[-1]
        return [last.filename, last.name, last.lineno]

out["shown"] = [entry(obj.extract), entry(obj.refined_title),
                entry(fb.AISummary), entry(obj.extract)]
options.cline_in_traceback = 0
out["hidden"] = [entry(obj.extract), entry(obj.refined_title)]
print(json.dumps(out))
""", cwd=tmp_path)
    [[name, line]] = facts["body"]
    assert re.fullmatch("init factbrief\\.factbrief" + NATIVE, name)
    assert line == 6
    shown = facts["shown"]
    for (file, name, line), method in zip(shown, [
            "extract", "refined_title", "__init__", "extract"]):
        assert file == SOURCE_FILE and line == METHODS[method].def_line
        assert re.fullmatch(re.escape(METHODS[method].traceback_name)
                            + NATIVE, name)
    assert shown[0] == shown[3]
    assert facts["hidden"] == [
        [SOURCE_FILE, METHODS[m].traceback_name, METHODS[m].def_line]
        for m in ("extract", "refined_title")]


def test_package_import_is_quiet(run_python, tmp_path):
    """`import factbrief` loads nothing but itself, so the module body's
    `import re` is the first, and a failure of it is the module's."""
    rc, out, err = run_python("""
import sys
class NoRe:
    def find_spec(self, name, path=None, target=None):
        if name == "re":
            raise ImportError("re is blocked")
before = set(sys.modules)
import factbrief
print(sorted(set(sys.modules) - before))
sys.meta_path.insert(0, NoRe())
try:
    import factbrief.factbrief
except ImportError as e:
    tb = e.__traceback__
    while not tb.tb_frame.f_code.co_name.startswith("init "):
        tb = tb.tb_next
    print(e, tb.tb_frame.f_code.co_name, tb.tb_lineno)
""", cwd=tmp_path)
    assert rc == 0, err
    assert out.splitlines() == [
        "['factbrief']", "re is blocked init factbrief.factbrief 4"]

"""The method function objects of AISummary: their attributes, how they bind
to instances, pickle, compare and take part in garbage collection."""

import copy
import gc
import pickle
import re
import sys
import types
import warnings
import weakref

import pytest

import factbrief.factbrief as fb

A = fb.AISummary
MF = type(A.extract)
ATTRS = ["__name__", "__qualname__", "__doc__", "__dict__", "__defaults__",
         "__kwdefaults__", "__annotations__", "__module__"]
DELETE = object()  # stands for `del f.attr` in the tables


class StrSub(str):
    pass


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


@pytest.fixture
def f():
    """A.refined_title, its attributes put back afterwards (the objects are
    shared by the whole process)."""
    func = A.refined_title
    saved = {name: getattr(func, name) for name in ATTRS}
    for name in ("__dict__", "__annotations__"):  # may be changed in place
        saved[name] = dict(saved[name])
    yield func
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for name, value in saved.items():
            setattr(func, name, value)


def change(func, attr, value):
    if value is DELETE:
        delattr(func, attr)
    else:
        setattr(func, attr, value)


@pytest.mark.parametrize("name, qualname, defaults", [
    ("__init__", "AISummary.__init__", ("",)),
    ("extract", "AISummary.extract", ("", 200)),
    ("refined_title", "AISummary.refined_title", ("", 200)),
])
def test_fresh_attributes(name, qualname, defaults):
    func = A.__dict__[name]
    assert func.__name__ == func.func_name == name
    assert func.__name__ is sys.intern(name)
    assert func.__qualname__ == qualname
    assert func.__module__ == "factbrief.factbrief"
    assert func.__defaults__ == func.func_defaults == defaults
    assert func.__globals__ is func.func_globals is vars(fb)
    assert func.__code__ is func.func_code
    assert func.__code__.co_name == name
    for attr in ["__doc__", "func_doc", "__closure__", "func_closure",
                 "__kwdefaults__"]:
        assert getattr(func, attr) is None, attr
    assert func._is_coroutine is False
    # made on first read, then kept
    assert func.__annotations__ == {}
    assert func.__annotations__ is func.__annotations__
    assert func.__dict__ is func.func_dict is func.__dict__


@pytest.mark.parametrize("attr, value, read_as, expected", [
    ("__name__", "renamed", "func_name", "renamed"),
    ("func_name", StrSub("sub"), "__name__", "sub"),
    ("__qualname__", "X.y", "__qualname__", "X.y"),
    ("__doc__", "text", "func_doc", "text"),
    ("func_doc", 5, "__doc__", 5),
    ("__doc__", DELETE, "__doc__", None),
    ("__dict__", {"k": 1}, "func_dict", {"k": 1}),
    ("func_dict", DictSub(k=2), "__dict__", {"k": 2}),
    ("__annotations__", {"a": int}, "__annotations__", {"a": int}),
    ("__module__", 5, "__module__", 5),
    ("__module__", DELETE, "__module__", None),
])
def test_assign_and_delete(f, attr, value, read_as, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # these never warn
        change(f, attr, value)
    assert getattr(f, read_as) == expected
    if value is not DELETE:
        assert getattr(f, read_as) is value


@pytest.mark.parametrize("value", [None, DELETE])
def test_annotations_emptied_then_made_anew(f, value):
    old = f.__annotations__
    old["x"] = int
    change(f, "__annotations__", value)
    assert f.__annotations__ == {} and f.__annotations__ is not old


@pytest.mark.parametrize("attr, value, message", [
    ("__name__", 1, "__name__ must be set to a string object"),
    ("__name__", DELETE, "__name__ must be set to a string object"),
    ("__qualname__", b"x", "__qualname__ must be set to a string object"),
    ("__qualname__", DELETE, "__qualname__ must be set to a string object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("func_dict", DELETE, "function's dictionary may not be deleted"),
    ("__defaults__", [""], "__defaults__ must be set to a tuple object"),
    ("func_defaults", {}, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object"),
])
def test_wrong_type_changes_nothing(f, attr, value, message):
    before = {name: getattr(f, name) for name in ATTRS}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with pytest.raises(TypeError) as info:
            change(f, attr, value)
    assert str(info.value) == message
    after = {name: getattr(f, name) for name in ATTRS}
    assert all(after[n] is before[n] for n in ATTRS)


@pytest.mark.parametrize("attr", [
    "__globals__", "func_globals", "__closure__", "func_closure",
    "__code__", "func_code", "_is_coroutine"])
@pytest.mark.parametrize("value", [None, DELETE])
def test_read_only(f, attr, value):
    before = getattr(f, attr)
    with pytest.raises(AttributeError, match="not writable"):
        change(f, attr, value)
    assert getattr(f, attr) is before


@pytest.mark.parametrize("attr, value, expected", [
    ("__defaults__", ("x", 1), ("x", 1)),
    ("func_defaults", TupleSub(("y",)), ("y",)),
    ("func_defaults", DELETE, None),
    ("__kwdefaults__", {"prompt": "p"}, {"prompt": "p"}),
    ("__kwdefaults__", None, None),
    ("__kwdefaults__", DELETE, None),
])
def test_defaults_warn_and_are_only_reported(f, attr, value, expected):
    canonical = {"func_defaults": "__defaults__"}.get(attr, attr)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        change(f, attr, value)
    assert [w.category for w in caught] == [RuntimeWarning]
    assert re.search(rf"\b{canonical}\b", str(caught[0].message))
    assert caught[0].filename == __file__  # blamed on the assigning line
    assert getattr(f, attr) == expected


@pytest.mark.parametrize("attr, value", [
    ("__defaults__", ("x",)), ("__defaults__", DELETE),
    ("__kwdefaults__", {}), ("__kwdefaults__", DELETE)])
def test_defaults_warning_as_error_keeps_old_value(f, attr, value):
    before = getattr(f, attr)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match=attr):
            change(f, attr, value)
    assert getattr(f, attr) is before


def test_arbitrary_attributes_live_in_the_dict(f):
    f.note = [1]
    assert f.__dict__ == {"note": [1]} and vars(f) is f.__dict__
    assert f.note is f.__dict__["note"]
    del f.note
    with pytest.raises(AttributeError):
        f.note


# ---- reduce and pickle ----

def test_reduce_returns_the_qualified_name():
    assert A.extract.__reduce__() == "AISummary.extract"
    assert A.extract.__reduce__(1, "ignored") == "AISummary.extract"
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        A.extract.__reduce__(protocol=2)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", ["__init__", "extract", "refined_title"])
def test_pickle_round_trip_is_identity(name, protocol):
    func = A.__dict__[name]
    assert pickle.loads(pickle.dumps(func, protocol)) is func


def test_pickle_follows_the_current_qualified_name(f):
    f.__qualname__ = "AISummary.extract"
    assert f.__reduce__() == "AISummary.extract"
    with pytest.raises(pickle.PicklingError, match="not the same object"):
        pickle.dumps(f)
    assert copy.deepcopy(A.extract) is A.extract


# ---- repr, equality, hash, weak references ----

def test_repr_names_qualname_and_address(f):
    pattern = r"<\w+ {} at (0x[0-9a-f]+)>"
    match = re.fullmatch(pattern.format(r"AISummary\.refined_title"),
                         repr(f))
    assert match and int(match.group(1), 16) == id(f)
    f.__qualname__ = "Other.name"
    assert re.fullmatch(pattern.format(r"Other\.name"), repr(f))


def test_equality_and_hash_by_identity():
    e, t = A.extract, A.refined_title
    assert e == e and e != t and not (e == t)
    assert hash(e) == object.__hash__(e) and hash(e) != hash(t)
    assert {e: 1, t: 2}[A.extract] == 1


def test_weak_reference():
    assert weakref.ref(A.extract)() is A.extract


# ---- the type ----

def test_type_is_shared_through_the_registry():
    registry = sys.modules["_binding_shared"]
    assert registry.method_function is MF
    assert MF.__name__ == "method_function"
    assert MF.__module__ == "_binding_shared"
    assert all(type(v) is MF for k, v in vars(A).items()
               if k in ("__init__", "extract", "refined_title"))


def test_type_can_be_subclassed_but_not_called():
    class Sub(MF):
        pass
    assert Sub.__mro__[1:] == (MF, object)
    with pytest.raises(TypeError, match="cannot create"):
        MF()


def test_garbage_collector_sees_the_references(f):
    assert gc.is_tracked(f)
    payload = object()
    f.payload = payload
    refs = gc.get_referents(f)
    for held in (f.__qualname__, f.__globals__, f.__code__, f.__defaults__,
                 f.__dict__, f.__module__):
        assert any(r is held for r in refs)
    assert payload in f.__dict__.values()


# ---- descriptor behaviour ----

def test_class_access_gives_the_object_itself():
    func = A.__dict__["extract"]
    assert A.extract is func
    assert func.__get__(None, A) is func
    assert MF.__get__(func, None, A) is func


def test_instance_access_gives_a_new_bound_method_each_time():
    obj = A("u", "k")
    first, second = obj.extract, obj.extract
    assert type(first) is types.MethodType and first is not second
    assert first.__func__ is A.extract and first.__self__ is obj
    assert first == second
    assert A.__init__.__get__(obj, A).__func__ is A.__init__

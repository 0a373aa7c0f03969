"""Argument binding of the three methods: what each wrong call raises and
where its traceback points, and what a right call hands the body."""

import functools
import sys
import traceback
import warnings

import pytest

import factbrief.factbrief as fb
from conftest import last_entry, vectorcall_method
from support.doubles import ClientDouble
from support.lines import METHODS, SOURCE_FILE

A = fb.AISummary
pytestmark = pytest.mark.usefixtures("plain_entries")


class StrKey(str):
    """A keyword name that is a str, but not exactly one."""


class BadEq(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise ValueError("compared")


def runtime_text(text):
    """An equal str that is not the interned constant."""
    made = "".join(list(text))
    assert made is not sys.intern(text)
    return made


def count(name, word, expected, given):
    return (f"{name}() takes {word} {expected} positional arguments "
            f"({given} given)")


def multiple(name, key):
    return f"{name}() got multiple values for keyword argument '{key}'"


def unexpected(name, key):
    return f"{name}() got an unexpected keyword argument '{key}'"


@pytest.fixture
def obj():
    return A("http://127.0.0.1:9/v1", "key")


BINDING_ERRORS = [
    # counts, positional only
    ("__init__", lambda o: A(), count("__init__", "at least", 3, 1)),
    ("__init__", lambda o: A("u"), count("__init__", "at least", 3, 2)),
    ("__init__", lambda o: A("u", "k", "m", "x"),
     count("__init__", "at most", 4, 5)),
    ("extract", lambda o: o.extract(), count("extract", "at least", 2, 1)),
    ("extract", lambda o: A.extract(o), count("extract", "at least", 2, 1)),
    ("extract", lambda o: A.extract(), count("extract", "at least", 2, 0)),
    ("extract", lambda o: o.extract("t", "p", 1, 2),
     count("extract", "at most", 4, 5)),
    ("refined_title", lambda o: o.refined_title(),
     count("refined_title", "at least", 2, 1)),
    # counts with keywords: too many positionals win over any keyword
    ("__init__", lambda o: A("u", "k", "m", "x", bogus=1),
     count("__init__", "at most", 4, 5)),
    ("extract", lambda o: A.extract(content="t"),
     count("extract", "at least", 2, 0)),
    ("extract", lambda o: o.extract(prompt="p"),
     count("extract", "at least", 2, 1)),
    ("__init__", lambda o: A.__init__(o, base_url="u"),
     count("__init__", "at least", 3, 2)),
    # a missing required parameter is reported before an unknown keyword
    ("extract", lambda o: o.extract(bogus=1),
     count("extract", "at least", 2, 1)),
    # multiple values
    ("extract", lambda o: o.extract("t", content="x"),
     multiple("extract", "content")),
    ("extract", lambda o: A.extract(o, "t", self=o),
     multiple("extract", "self")),
    ("__init__", lambda o: A("u", "k", base_url="v"),
     multiple("__init__", "base_url")),
    ("refined_title", lambda o: o.refined_title("t", "p", 3, length=4),
     multiple("refined_title", "length")),
    ("extract", lambda o: o.extract("t", **{runtime_text("content"): "x"}),
     multiple("extract", "content")),
    ("extract", lambda o: o.extract("t", **{StrKey("content"): "x"}),
     multiple("extract", "content")),
    # unexpected keywords; the first offending keyword decides
    ("extract", lambda o: o.extract("t", bogus=1),
     unexpected("extract", "bogus")),
    ("__init__", lambda o: A("u", "k", model="m"),
     unexpected("__init__", "model")),
    ("extract", lambda o: o.extract("t", bogus=1, content="x"),
     unexpected("extract", "bogus")),
    ("extract", lambda o: o.extract("t", content="x", bogus=1),
     multiple("extract", "content")),
    # keyword names that are not strings, handed over as a name tuple
    ("extract", lambda o: vectorcall_method("extract", [o, "t"], [1], [2]),
     "extract() keywords must be strings"),
    ("__init__",
     lambda o: vectorcall_method("__init__", [o, "u", "k"], [None], [2]),
     "__init__() keywords must be strings"),
]


@pytest.mark.parametrize("method, call, message", BINDING_ERRORS)
def test_binding_error_text_and_entry(obj, method, call, message):
    with pytest.raises(TypeError) as info:
        call(obj)
    assert str(info.value) == message
    assert last_entry(info.value) == (
        SOURCE_FILE, METHODS[method].traceback_name,
        METHODS[method].def_line)


@pytest.mark.parametrize("call", [
    lambda f, o: f(o, **{1: 2}),
    lambda f, o: type(f).__call__(f, o, "t", **{1: 2}),
    lambda f, o: functools.partial(f, o, "t")(**{1: 2}),
], ids=["direct", "type-call-slot", "partial"])
def test_keyword_dict_with_a_non_string_key(obj, call):
    # A dict of keywords is turned into names before binding starts.
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        call(A.extract, obj)


def test_failing_keyword_comparison_propagates(obj):
    with pytest.raises(ValueError, match="compared") as info:
        obj.extract(**{BadEq("content"): "t"})
    names = [(f.name, f.lineno)
             for f in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == [(METHODS["extract"].traceback_name,
                           METHODS["extract"].def_line),
                          ("__eq__", names[-1][1])]


# ---- calls that bind: the body sees the bound values ----

@pytest.fixture
def sent(use_client):
    """Calls a method; returns the text the body put in its request."""
    client = use_client(ClientDouble())

    def send(call):
        assert call()["status"] == "ok"
        return client.requests[-1]["messages"][0]["content"]
    return send


@pytest.mark.parametrize("call, same_as", [
    (lambda o: o.extract("t"), lambda o: o.extract("t", "", 200)),
    (lambda o: o.extract(content="t"), lambda o: o.extract("t", "", 200)),
    (lambda o: A.extract(self=o, content="t"),
     lambda o: o.extract("t", "", 200)),
    (lambda o: o.extract(length=5, content="t", prompt="p"),
     lambda o: o.extract("t", "p", 5)),
    (lambda o: o.extract(**{runtime_text("content"): "t",
                            runtime_text("length"): 5}),
     lambda o: o.extract("t", "", 5)),
    (lambda o: o.extract("t", **{StrKey("prompt"): "p"}),
     lambda o: o.extract("t", "p", 200)),
    (lambda o: o.refined_title("t"), lambda o: o.refined_title("t", "")),
    (lambda o: o.refined_title(prompt="p", content="t"),
     lambda o: o.refined_title("t", "p")),
], ids=["defaults", "content-kw", "self-kw", "all-kw", "runtime-names",
        "str-subclass-name", "title-default", "title-kw"])
def test_bound_call_equals_positional_call(obj, sent, call, same_as):
    assert sent(lambda: call(obj)) == sent(lambda: same_as(obj))


def test_defaults_stay_after_defaults_are_reassigned(obj, sent):
    before = sent(lambda: obj.extract("t"))
    saved = A.extract.__defaults__, A.__init__.__defaults__
    try:
        with pytest.warns(RuntimeWarning):
            A.extract.__defaults__ = ("changed", 7)
        with pytest.warns(RuntimeWarning):
            A.__init__.__defaults__ = ("changed",)
        assert A.extract.__defaults__ == ("changed", 7)
        assert sent(lambda: obj.extract("t")) == before
        assert sent(lambda: obj.extract("t")) != sent(
            lambda: obj.extract("t", "changed", 7))
        assert A("u", "k").model_id == ""
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            A.extract.__defaults__, A.__init__.__defaults__ = saved

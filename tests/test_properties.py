"""Random calls against the model of binding in binding_model.py (for the
exact messages) and against Python's own binding of the same signatures
(for what binds), and random text through both service methods.

Example counts stay small for CI; FACTBRIEF_PROPERTY_PROFILE=deep runs
many more.
"""

import contextlib
import io
import inspect
import os
import re
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import factbrief.factbrief as fb
from binding_model import bind
from conftest import traceback_entries, vectorcall_method
from support.doubles import ClientDouble, module_global
from support.lines import METHODS, failure, message_for, record

_PROFILES = {"ci": 150, "deep": 5000}
SETTINGS = settings(
    max_examples=_PROFILES[os.environ.get("FACTBRIEF_PROPERTY_PROFILE",
                                          "ci")],
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow,
                           HealthCheck.function_scoped_fixture])


pytestmark = pytest.mark.usefixtures("plain_entries")


class Name(str):
    """A keyword name that is a str subclass."""


class Explosive:
    """A keyword name whose comparison fails."""

    def __eq__(self, other):
        raise ValueError("cannot compare this name")

    __hash__ = object.__hash__

    def __repr__(self):
        return "Explosive()"


def _copy(s):
    # Equal to s, never the same object (nor interned).
    return "".join(["\x00", s])[1:] if s else "".join([])


def _materialise(kind, name):
    return {"interned": lambda n: sys.intern(n), "copy": _copy,
            "subclass": Name}[kind](name)


UNKNOWN = ["model", "contents", "Content", "selff", "x", "", "é", "长度",
           "base", "length_", "api-key"]
NON_STR = [1, None, b"content", 2.5, ("content",)]

# Routes: how the call reaches the method. "generic" routes pass keywords
# through a dict; "vectorcall" hands a keyword-name tuple straight over.
ROUTES = {
    "__init__": ["instance", "class", "construct", "vectorcall"],
    "extract": ["instance", "class", "vectorcall"],
    "refined_title": ["instance", "class", "vectorcall"],
}


@st.composite
def call_shapes(draw):
    """(method, route, positionals after the instance, keyword names).

    Mostly calls that could bind (each parameter past the positionals
    given or not by keyword), with noise added to a third of them:
    repeated, unknown and non-string names.
    """
    method = draw(st.sampled_from(sorted(METHODS)))
    route = draw(st.sampled_from(ROUTES[method]))
    params = METHODS[method].params
    extra = draw(st.one_of(st.integers(0, 3), st.integers(0, 5)))
    k = extra if route == "class" else extra + 1
    names = [_materialise(kind, p) for p, kind in
             ((p, draw(_rendering)) for p in params[k:])
             if draw(st.booleans())]
    if draw(st.integers(0, 2)) == 0:
        for _ in range(draw(st.integers(1, 3))):
            names.append(draw(_noise(params, route)))
    return method, route, extra, draw(st.permutations(names))


_rendering = st.sampled_from(["interned", "copy", "subclass"])


@st.composite
def _noise(draw, params, route):
    what = draw(st.sampled_from(["param", "unknown", "odd"]))
    if what == "param":
        return _materialise(draw(_rendering), draw(st.sampled_from(params)))
    if what == "unknown":
        return _materialise(draw(_rendering), draw(st.sampled_from(UNKNOWN)))
    odd = NON_STR + ([Explosive()] if route == "vectorcall" else [])
    return draw(st.sampled_from(odd))


def _fresh(tag):
    return object.__new__(fb.AISummary)


def _service_self(tag):
    return fb.AISummary(f"http://{tag}.invalid/v1", f"key-{tag}",
                        f"model-{tag}")


def _expected(method, route, args, names, values):
    """The binding the model predicts, or the exception it raises."""
    if route != "vectorcall":
        if any(not isinstance(n, str) for n in names):
            return TypeError("keywords must be strings")
        kw = {}
        for n, v in zip(names, values):
            kw[n] = v          # an equal later key keeps the first object
        names, values = list(kw), list(kw.values())
    try:
        return bind(METHODS[method], args, names, values)
    except Exception as e:      # the model's verdict, compared below
        return e


# Python's own binding of the same signatures: an oracle that shares no
# code with the model. Calls through a keyword dict (unique string names)
# bind, or fail, exactly when Python's would; only the messages differ.
def _init(self, base_url, api_key, model_id=""): pass
def _service(self, content, prompt="", length=200): pass


SIGNATURES = {"__init__": inspect.signature(_init),
              "extract": inspect.signature(_service),
              "refined_title": inspect.signature(_service)}


def _python_binding(method, args, names, values):
    """Parameter values Python binds for the call, or None if it refuses;
    nothing to say (...) for calls a keyword dict cannot carry."""
    if not all(isinstance(n, str) for n in names):
        return ...
    kw = {}
    for n, v in zip(names, values):
        kw[n] = v
    try:
        bound = SIGNATURES[method].bind(*args, **kw)
    except TypeError:
        return None
    bound.apply_defaults()
    return dict(bound.arguments)


def _make_call(method, route, extra, names):
    """(model positional arguments, keyword values, the call, selves)."""
    make_self = _fresh if method == "__init__" else _service_self
    a_self, b_self = make_self("a"), make_self("b")
    texts = [f"p{i}" for i in range(1, extra + 1)]
    values = [b_self if isinstance(n, str) and n == "self" else f"k{j}"
              for j, n in enumerate(names)]
    if route == "class":
        # The instance may be left out, or given by keyword.
        args = ([a_self] + texts)[:extra]
    else:
        args = [a_self] + texts

    def call():
        if route == "vectorcall":
            return vectorcall_method(method, args, names, values)
        kw = {}
        for n, v in zip(names, values):
            kw[n] = v
        if route == "instance":
            return getattr(a_self, method)(*args[1:], **kw)
        if route == "construct":
            return fb.AISummary(*args[1:], **kw)
        return getattr(fb.AISummary, method)(*args, **kw)

    return args, values, call, (a_self, b_self)


def _outcome(expected):
    if not isinstance(expected, Exception):
        return "binds"
    text = str(expected)
    for kind in ("takes at least", "takes at most", "multiple values",
                 "unexpected keyword", "() keywords must be", "keywords"):
        if kind in text:
            return kind
    return type(expected).__name__


@SETTINGS
@given(call_shapes())
def test_calls_bind_as_the_model_says(shape):
    method, route, extra, names = shape
    args, values, call, selves = _make_call(method, route, extra, names)
    if route == "construct":
        # The new instance is unknown until made; bind against a stand-in.
        args = [selves[0]] + args[1:]
    expected = _expected(method, route, args, names, values)
    if route != "vectorcall":
        python = _python_binding(method, args, names, values)
        if python is not ...:
            assert python == (None if isinstance(expected, Exception)
                              else expected), (python, expected)
    client = ClientDouble(reply=lambda kw: kw["messages"][0]["content"])
    with module_global(fb, "OpenAI", client):
        try:
            result = call()
        except Exception as e:
            got = e
        else:
            got = None

    event(_outcome(expected))
    if isinstance(expected, Exception):
        assert type(got) is type(expected), (got, expected)
        assert str(got) == str(expected)
        assert client.clients == []
        # The interpreter refuses non-string keys of a dict before the
        # method runs; everything else failed inside the method.
        if route == "vectorcall" or str(got) != "keywords must be strings":
            entry = (METHODS[method].traceback_name,
                     METHODS[method].def_line)
            entries = traceback_entries(got)
            if isinstance(got, TypeError):
                # Raised by the binding itself: its entry is innermost.
                assert entries[-1] == entry
            else:
                assert entry in entries
        if method == "__init__":
            assert all(vars(s) == {} for s in selves)
        return
    assert got is None, got
    if method == "__init__":
        target = result if route == "construct" else expected["self"]
        assert vars(target) == {"base_url": expected["base_url"],
                                "api_key": expected["api_key"],
                                "model_id": expected["model_id"]}
        return
    bound_self = expected["self"]
    assert client.clients == [{"base_url": bound_self.base_url,
                               "api_key": bound_self.api_key}]
    message = message_for(method, expected["content"], expected["prompt"],
                          expected["length"])
    [request] = client.requests
    assert request == {"model": bound_self.model_id, "stream": False,
                       "messages": [{"role": "user", "content": message}]}
    assert result == record(method, message, expected["content"])


@pytest.mark.parametrize("method,route,args,kw,message", [
    ("__init__", "construct", (), {},
     "__init__() takes at least 3 positional arguments (1 given)"),
    ("__init__", "construct", ("u", "k", "m", "x"), {},
     "__init__() takes at most 4 positional arguments (5 given)"),
    ("__init__", "construct", ("u", "k"), {"model": "m"},
     "__init__() got an unexpected keyword argument 'model'"),
    ("extract", "instance", (), {},
     "extract() takes at least 2 positional arguments (1 given)"),
    ("extract", "class", (), {"content": "t"},
     "extract() takes at least 2 positional arguments (0 given)"),
    ("extract", "instance", ("t",), {"content": "t"},
     "extract() got multiple values for keyword argument 'content'"),
    ("refined_title", "instance", (), {"nope": 1},
     "refined_title() takes at least 2 positional arguments (1 given)"),
    ("refined_title", "instance", ("t",), {"nope": 1},
     "refined_title() got an unexpected keyword argument 'nope'"),
])
def test_model_and_module_agree_on_known_messages(method, route, args, kw,
                                                  message):
    obj = _service_self("m")
    model_args = list(args) if route == "class" else [obj, *args]
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        bind(METHODS[method], model_args, list(kw), list(kw.values()))
    target = {"construct": fb.AISummary,
              "instance": getattr(obj, method, None),
              "class": getattr(fb.AISummary, method)}[route]
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        target(*args, **kw)


# ---- text ----

def _interesting():
    return st.sampled_from(list(
        "\x00\t\n\r \u3000\u00a0_,.!?;:'\"()[]{}<>@#%&*+-=/\\|~`^$"
        "，。！？、；：「」『』（）《》【】—…·ａ１Ａ＿ⅫⅧ١٢"
        "\u0301\u200b\u200d\ufeff\U0001F600\U0001F1E8\ud800\udfff"))


def _chars():
    return st.one_of(st.characters(), st.characters(categories=["Cs"]),
                     _interesting())


class Text(str):
    """A str subclass with its own str() and repr."""

    def __str__(self):
        return Text("<" + str.__str__(self) + ">")

    def __repr__(self):
        return "Text(%s)" % str.__repr__(self)


class Shouting(str):
    pass


class Refuses:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc("no text for you")

    def __add__(self, other):
        raise self.exc("no sum for you")


class NotText:
    def __str__(self):
        return 42


class Adds:
    def __add__(self, other):
        return "ADDS" + other


def _texts():
    plain = st.text(_chars(), max_size=60)
    long = st.builds(lambda s, n: s * n, st.text(_chars(), min_size=1,
                                                 max_size=8),
                     st.integers(500, 20000))
    # Drawn as (kind, text) and wrapped by `_made`: hypothesis keeps
    # drawn strings as plain str.
    return st.tuples(st.sampled_from(["str", "Text", "Shouting"]),
                     st.one_of(plain, plain, long))


def _made(value):
    if type(value) is tuple and len(value) == 2 and value[0] in _KINDS:
        return _KINDS[value[0]](value[1])
    return value


_KINDS = {"str": str, "Text": Text, "Shouting": Shouting}


def _objects():
    return st.one_of(
        st.none(), st.binary(max_size=20), st.integers(), st.floats(),
        st.lists(st.integers(), max_size=3),
        st.sampled_from([Refuses(ValueError), Refuses(MemoryError),
                         NotText(), Adds(), bytearray(b"ab, c"),
                         memoryview(b"x, y")]))


def _model_record(method, content, prompt, length):
    """What Python itself makes of these values: (record, message)."""
    try:
        message = message_for(method, content, prompt, length)
    except Exception:
        return failure(method), None
    return record(method, message, content), message


@SETTINGS
@given(method=st.sampled_from(["extract", "refined_title"]),
       content=st.one_of(_texts(), _texts(), _objects()),
       prompt=st.one_of(_texts(), _objects()),
       length=st.one_of(st.just(200), st.integers(), _texts(), _objects()))
def test_any_text_gives_a_well_formed_record(method, content, prompt,
                                             length):
    content, prompt, length = map(_made, (content, prompt, length))
    expected, message = _model_record(method, content, prompt, length)
    client = ClientDouble(reply=lambda kw: kw["messages"][0]["content"])
    err = io.StringIO()
    obj = _service_self("t")
    with module_global(fb, "OpenAI", client), \
            contextlib.redirect_stderr(err):
        record = getattr(obj, method)(content, prompt, length)

    assert type(record) is dict
    assert list(record) == list(expected)
    assert record == expected
    assert type(record["content"]) is type(expected["content"])
    if message is None:
        assert client.requests == []
        assert "Traceback" in err.getvalue()
        assert f"factbrief.factbrief.AISummary.{method}" in err.getvalue()
    else:
        assert err.getvalue() == ""
        [request] = client.requests
        assert request["messages"][0]["content"] == message
    assert vars(obj) == vars(_service_self("t"))


@pytest.mark.parametrize("method", ["extract", "refined_title"])
@pytest.mark.parametrize("where", ["content", "prompt", "length"])
def test_base_exceptions_from_arguments_pass_through(method, where):
    # Text conversion that raises KeyboardInterrupt must not become a
    # record; where the method never converts the argument, it binds.
    values = {"content": "text, here", "prompt": "p", "length": 7}
    values[where] = Refuses(KeyboardInterrupt)
    converts = (where == "length" and method == "extract") or \
        where == "prompt"
    client = ClientDouble()
    err = io.StringIO()
    with module_global(fb, "OpenAI", client), contextlib.redirect_stderr(err):
        if where == "content":
            # re.sub refuses non-text with a TypeError: a record.
            record = getattr(_service_self("k"), method)(**values)
            assert record["status"] == "error"
            return
        if converts:
            with pytest.raises(KeyboardInterrupt):
                getattr(_service_self("k"), method)(**values)
            assert client.clients == []
        else:
            assert getattr(_service_self("k"), method)(
                **values)["status"] == "ok"
    assert err.getvalue() == "" or where == "content"

"""The service methods step by step through their module globals
(`OpenAI`, `re`, `traceback` replaced by recorders), and what the handler
does with each kind of exception."""

import builtins
import re
import sys
import traceback
import weakref

import pytest

import factbrief.factbrief as fb
from support.doubles import ClientDouble as Client
from support.lines import (LEAD_IN, METHODS, MIDDLE, PATTERN, STOP,
                           SERVICE_METHODS, failure, record)


def line(method, step):
    return METHODS[method].line(step)


class Watched(fb.AISummary):
    """Logs reads of the three settings."""
    log = []

    def __getattribute__(self, name):
        if name in ("base_url", "api_key", "model_id"):
            Watched.log.append("self." + name)
        return super().__getattribute__(name)


class RecordingRe:
    """Takes the place of the `re` module; with `then`, compile swaps the
    module global for it, so only a second lookup finds the new one."""

    def __init__(self, log, label="re", then=None):
        self.log, self.label, self.then = log, label, then

    def compile(self, *args, **kw):
        self.log.append((self.label + ".compile", args, kw))
        if self.then is not None:
            fb.re = self.then
        return re.compile(*args, **kw)

    def sub(self, *args, **kw):
        self.log.append((self.label + ".sub", args, kw))
        return re.sub(*args, **kw)


class Printer:
    """Takes the place of the `traceback` module."""

    def __init__(self, raises=None):
        self.calls, self.raises = [], raises

    def print_exc(self, *args, **kw):
        self.calls.append((args, kw, sys.exc_info()[1]))
        if self.raises is not None:
            raise self.raises


class Fancy(str):
    """str() gives a str subclass, which then goes through format()."""
    log = []

    def __str__(self):
        Fancy.log.append(str.__str__(self))
        return Fancy("s:" + str.__str__(self))

    def __format__(self, spec):
        return "f:" + str.__str__(self)


class Joins(str):
    def __add__(self, other):
        return "<" + str.__str__(self) + other + ">"


def entries(exc):
    return [(f.name, f.lineno)
            for f in traceback.extract_tb(exc.__traceback__)]


@pytest.mark.parametrize("method", SERVICE_METHODS)
def test_steps_run_in_order_through_the_globals(monkeypatch, method):
    log = []
    monkeypatch.setattr(Watched, "log", log)
    client = Client(reply="the answer", log=log, trace=True)
    monkeypatch.setattr(fb, "OpenAI", client)
    monkeypatch.setattr(fb, "re", RecordingRe(
        log, "first", then=RecordingRe(log, "second")))
    monkeypatch.setattr(Fancy, "log", [])
    obj, content = Watched("http://u/v1", "k", "m"), "Hi, there!"
    if method == "extract":
        result = obj.extract(content, Fancy("p"), Fancy("9"))
        message = LEAD_IN + "f:s:9" + MIDDLE + "f:s:p" + STOP + "Hi there"
        assert Fancy.log == ["9", "p"]   # length's text first
    else:
        result = obj.refined_title(content, Joins("p"))
        message = "<p" + STOP + ">Hi there"

    assert log == [
        ("first.compile", (PATTERN,), {}),
        ("second.sub", (re.compile(PATTERN), "", content), {}),
        "self.base_url", "self.api_key",
        ("OpenAI", (), [("base_url", "http://u/v1"), ("api_key", "k")]),
        "client.chat", "chat.completions", "completions.create",
        "self.model_id",
        ("create", (), [("model", "m"),
                        ("messages", [{"role": "user", "content": message}]),
                        ("stream", False)]),
        "response.choices", ("choices[]", 0), "choice.message",
        "message.content",
    ]
    assert log[1][1][2] is content
    [(_, _, [_, (_, messages), (_, stream)])] = client.calls("create")
    assert stream is False and type(messages) is list
    assert list(messages[0]) == ["role", "content"]
    assert type(messages[0]["content"]) is str
    assert list(result.items()) == list(
        record(method, "the answer", content).items())


def test_globals_fall_back_to_builtins(monkeypatch):
    log = []
    monkeypatch.delattr(fb, "re")
    monkeypatch.setattr(builtins, "re", RecordingRe(log), raising=False)
    monkeypatch.setattr(fb, "OpenAI", Client())
    assert fb.AISummary("u", "k").extract("a, b")["content"] == "a b"
    assert [e[0] for e in log] == ["re.compile", "re.sub"]


@pytest.mark.parametrize("args,tail", [
    (("Hello, world! 你好，世界。",),
     "200" + MIDDLE + STOP + "Hello world 你好世界"),
    (("x", "简短", "一百五十"), "一百五十" + MIDDLE + "简短" + STOP + "x"),
    (("x", None, 150.5), "150.5" + MIDDLE + "None" + STOP + "x"),
], ids=["defaults", "str-length", "float-and-none"])
def test_extract_prompt_text(monkeypatch, args, tail):
    assert (len(LEAD_IN), len(LEAD_IN.encode())) == (47, 137)
    assert (len(MIDDLE), len(STOP)) == (8, 1)
    client = Client(reply=None)
    monkeypatch.setattr(fb, "OpenAI", client)
    result = fb.AISummary("u", "k").extract(*args)
    [request] = client.requests
    assert request["messages"][0]["content"] == LEAD_IN + tail
    assert result == record("extract", None, args[0])


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


# how it fails, step blamed, last line printed, clients made, requests
FAULTS = [
    ("no-re", "compile", "NameError: name 're' is not defined", 0, 0),
    ("re-without-compile", "compile", "AttributeError", 0, 0),
    ("content-none", "sub", "TypeError", 0, 0),
    ("bad-prompt", "text", None, 0, 0),
    ("no-openai", "client", "NameError: name 'OpenAI' is not defined", 0, 0),
    ("client-raises", "client", "ConnectionError: down", 1, 0),
    ("chat-raises", "create", "LookupError: chat", 1, 0),
    ("no-model-id", "create", "AttributeError", 1, 0),
    ("create-raises", "create", "MemoryError: late", 1, 1),
    ("no-choices", "answer", "IndexError", 1, 1),
    ("content-raises", "answer", "ValueError: content", 1, 1),
]


@pytest.mark.parametrize("method", SERVICE_METHODS)
@pytest.mark.parametrize("how,step,last,clients,requests", FAULTS,
                         ids=[f[0] for f in FAULTS])
def test_ordinary_exception_gives_failure_record(
        monkeypatch, capsys, method, how, step, last, clients, requests):
    client = Client(**{
        "client-raises": {"client": ConnectionError("down")},
        "create-raises": {"create": MemoryError("late")},
        "chat-raises": {"chat": LookupError("chat")},
        "no-choices": {"choices": []},
        "content-raises": {"content": ValueError("content")}}.get(how, {}))
    monkeypatch.setattr(fb, "OpenAI", client)
    obj, args = fb.AISummary("u", "k", "m"), ["a, b", ""]
    if how == "no-re":
        monkeypatch.delattr(fb, "re")
    elif how == "re-without-compile":
        monkeypatch.setattr(fb, "re", object())
    elif how == "content-none":
        args[0] = None
    elif how == "bad-prompt":
        # extract converts the prompt with str(); refined_title adds it.
        args[1] = Unprintable() if method == "extract" else 5
        last = "ValueError" if method == "extract" else "TypeError"
    elif how == "no-openai":
        monkeypatch.delattr(fb, "OpenAI")
    elif how == "no-model-id":
        del obj.model_id

    assert getattr(obj, method)(*args) == failure(method)
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("Traceback")
    assert (f"line {line(method, step)}, in "
            f"{METHODS[method].traceback_name}\n") in err
    assert err.splitlines()[-1].startswith(last)
    # Nothing reaches the service before its step; never more than once.
    assert len(client.calls("OpenAI")) == clients
    assert len(client.calls("create")) == requests


class Boom(Exception):
    """Unlike Exception itself, can be referred to weakly."""


def test_caught_exception_is_released(monkeypatch, capsys):
    client = Client(create=Boom())
    caught = weakref.ref(client.faults["create"])
    monkeypatch.setattr(fb, "OpenAI", client)
    assert fb.AISummary("u", "k").extract("t") == failure("extract")
    assert "Boom" in capsys.readouterr().err
    client.faults.clear()   # the last reference outside the method
    assert caught() is None


@pytest.mark.parametrize("method,error,step", [
    ("extract", KeyboardInterrupt(), "create"),
    ("refined_title", KeyboardInterrupt(), "answer"),
    ("extract", SystemExit(3), "client"),
    ("refined_title", GeneratorExit(), "create"),
])
def test_base_exceptions_pass_through(monkeypatch, capsys, method, error,
                                      step):
    client = Client(**{{"answer": "content"}.get(step, step): error})
    monkeypatch.setattr(fb, "OpenAI", client)
    with pytest.raises(type(error)) as caught:
        getattr(fb.AISummary("u", "k"), method)("t")
    assert caught.value is error and error.__context__ is None
    assert (METHODS[method].traceback_name,
            line(method, step)) in entries(error)
    assert capsys.readouterr() == ("", "")
    assert len(client.calls("create")) == (step != "client")


@pytest.mark.parametrize("method", SERVICE_METHODS)
@pytest.mark.parametrize("how", ["no-traceback", "print-exc-raises"])
def test_failure_in_the_handler_propagates(monkeypatch, method, how):
    caught = ConnectionError("first")
    monkeypatch.setattr(fb, "OpenAI", Client(create=caught))
    # MemoryError: ordinary, yet the handler must not catch it again.
    printer = Printer(raises=MemoryError("printer broke"))
    if how == "no-traceback":
        monkeypatch.delattr(fb, "traceback")
        expected = NameError("name 'traceback' is not defined")
    else:
        monkeypatch.setattr(fb, "traceback", printer)
        expected = printer.raises
    with pytest.raises(type(expected)) as info:
        getattr(fb.AISummary("u", "k"), method)("t")
    assert str(info.value) == str(expected)
    assert info.value.__context__ is caught
    assert (METHODS[method].traceback_name,
            line(method, "print")) in entries(info.value)
    if how == "print-exc-raises":
        # Called bare, while the caught exception is the handled one.
        assert printer.calls == [((), {}, caught)]


@pytest.mark.parametrize("method", SERVICE_METHODS)
@pytest.mark.parametrize("path", ["success", "caught", "base-exception",
                                  "handler-fails"])
def test_callers_handled_exception_is_restored(monkeypatch, capsys, method,
                                               path):
    fault = {"success": None, "base-exception": KeyboardInterrupt()}.get(
        path, OSError("x"))
    monkeypatch.setattr(fb, "OpenAI", Client(create=fault) if fault
                        else Client())
    if path == "handler-fails":
        monkeypatch.setattr(fb, "traceback", Printer(raises=ValueError()))
    call = getattr(fb.AISummary("u", "k"), method)
    try:
        raise KeyError("outer")
    except KeyError:
        before = sys.exc_info()
        if path in ("success", "caught"):
            assert call("t")["status"] == ("ok" if path == "success"
                                           else "error")
        else:
            with pytest.raises((KeyboardInterrupt, ValueError)):
                call("t")
        assert sys.exc_info() == before
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("method", SERVICE_METHODS)
def test_a_generators_own_handled_exception_is_kept(monkeypatch, capsys,
                                                    method):
    # A generator has its own handled-exception state: a caught failure
    # while its caller handles an exception must not leave the caller's
    # exception in it for when it is resumed elsewhere.
    monkeypatch.setattr(fb, "OpenAI", Client(create=OSError("x")))
    call = getattr(fb.AISummary("u", "k"), method)

    def steps():
        yield call("t")["status"], sys.exc_info()[1]
        yield sys.exc_info()[1]

    gen = steps()
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert next(gen) == ("error", outer)
    assert next(gen) is None

"""pytest fixtures over the doubles: the stand-in service, the real client
or the double as the module's `OpenAI`, plain traceback entry names, the
command run in this process."""

import contextlib
import io
import sys

import pytest

import factbrief.factbrief as fb
from factbrief.standin import StandIn, answer_for
from support.cli import Result
from support.doubles import bounded, client_environment, real_openai
from support.lines import message_for, record


@contextlib.contextmanager
def cline_in_traceback(value):
    """Sets the switch that adds native locations to our traceback entry
    names, for the block."""
    options = sys.modules["binding_runtime"]
    saved = options.__dict__.get("cline_in_traceback", None)
    options.cline_in_traceback = value
    try:
        yield
    finally:
        if saved is None:
            options.__dict__.pop("cline_in_traceback", None)
        else:
            options.cline_in_traceback = saved


@pytest.fixture
def plain_entries():
    """Entry names are checked: keep native locations out of them."""
    with cline_in_traceback(False):
        yield


@pytest.fixture
def standins():
    """standins(mode=..., status=..., delay=..., message=...): a running
    stand-in service, stopped after the test."""
    started = []

    def start(**kw):
        started.append(StandIn(**kw).start())
        return started[-1]
    yield start
    for server in started:
        server.stop()


@pytest.fixture
def standin(standins):
    return standins()


@pytest.fixture
def client_env(monkeypatch, tmp_path):
    """The caller's environment kept out of the real client."""
    for name, value in client_environment(str(tmp_path)).items():
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)


@pytest.fixture
def cli(tmp_path, monkeypatch, client_env):
    """cli(args, env, stdin): runs the command's main() in this process,
    in tmp_path, with `env` as its whole environment and `stdin` as
    standard input; a support.cli.Result."""
    from factbrief.cli import main
    monkeypatch.chdir(tmp_path)

    def run(args, env=None, stdin=b""):
        out = io.TextIOWrapper(io.BytesIO(), encoding="utf-8")
        err = io.StringIO()
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(
            io.BytesIO(stdin), encoding="utf-8"))
        monkeypatch.setattr(sys, "stdout", out)
        monkeypatch.setattr(sys, "stderr", err)
        try:
            status = main(args, dict(env or {}))
        except SystemExit as e:  # --help, --version
            status = e.code
        out.flush()
        return Result(status, out.buffer.getvalue(), err.getvalue())
    return run


@pytest.fixture
def real_client(monkeypatch, client_env):
    """The real client class as the module's `OpenAI`, whatever an
    earlier test left there."""
    monkeypatch.setattr(fb, "OpenAI", real_openai())


@pytest.fixture
def use_client(monkeypatch):
    """use_client(double): makes `double` the module's `OpenAI` for the
    test; returns it."""
    def use(double):
        monkeypatch.setattr(fb, "OpenAI", double)
        return double
    return use


def assert_answered(standin, method, args, model="m"):
    """Calls `method` through the stand-in, with the client the module
    holds; checks the one request sent and the record returned."""
    obj = fb.AISummary(standin.base_url, "sk-local", model)
    before = len(standin.received)
    result = bounded(lambda: getattr(obj, method)(*args))
    message = message_for(method, *args)
    # Dict equality: nothing besides these three keys went out.
    assert standin.received[before:] == [
        {"model": model, "stream": False,
         "messages": [{"role": "user", "content": message}]}]
    assert list(standin.received[-1]["messages"][0]) == ["role", "content"]
    expected = record(method, answer_for(message), args[0])
    assert list(result.items()) == list(expected.items())

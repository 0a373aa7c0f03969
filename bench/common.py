"""What the benchmark scripts share: the two implementations, the texts,
the in-process stand-in for the client class, and the local HTTP service
for end-to-end runs."""

import contextlib
import os
import subprocess
import sys
import types
from pathlib import Path

import factbrief.factbrief as ours
import baseline as plain

BENCH_DIR = Path(__file__).resolve().parent
IMPLEMENTATIONS = {"ours": ours, "plain": plain}

BASE_URL = "http://127.0.0.1:9/v1"
API_KEY = "bench-key"
MODEL = "bench-model"
REPLY = "Revenue rose 12.5% in the third quarter."

# About 100 characters: ASCII and CJK words, digits, an underscore, and the
# punctuation and symbols that cleaning removes.
SHORT = ("Q3 revenue rose 12.5% to $4.2bn (up from $3.7bn), said CFO_Li "
         "on Tuesday; 季度收入增长百分之十二，创历史新高！")


def sized_text(chars):
    """SHORT and a line break repeated, cut to `chars` characters."""
    unit = SHORT + "\n"
    return (unit * (chars // len(unit) + 1))[:chars]


TEXTS = {"short": SHORT, "10k": sized_text(10_000),
         "1m": sized_text(1_000_000)}


# ---- the in-process stand-in for `openai.OpenAI` ----

_RESPONSE = types.SimpleNamespace(choices=[types.SimpleNamespace(
    message=types.SimpleNamespace(role="assistant", content=REPLY))])


class _Completions:
    def create(self, *, model, messages, stream):
        return _RESPONSE


class _Chat:
    completions = _Completions()


class StandInOpenAI:
    """Called as `OpenAI(base_url=..., api_key=...)`; its `chat.completions
    .create(model=..., messages=..., stream=...)` answers REPLY at once.
    As cheap as a client can be, so that what remains is the caller's."""

    chat = _Chat()

    def __init__(self, *, base_url, api_key):
        pass


class RecordingOpenAI:
    """Like StandInOpenAI, and keeps every client's and request's keyword
    arguments in `calls`, in order, to compare two callers."""

    calls = []

    def __init__(self, **kw):
        RecordingOpenAI.calls.append(("client", kw))
        self.chat = self

    @property
    def completions(self):
        return self

    def create(self, **kw):
        RecordingOpenAI.calls.append(("create", kw))
        return _RESPONSE


def use_client(module, client_class):
    """Makes `client_class` the `OpenAI` that `module` looks up."""
    module.OpenAI = client_class


@contextlib.contextmanager
def null_stderr():
    """Standard error sent to the null device for the block."""
    saved = sys.stderr
    with open(os.devnull, "w") as sink:
        sys.stderr = sink
        try:
            yield
        finally:
            sys.stderr = saved


# ---- the real client against a local service ----

# Read by the client at construction; a caller's settings must not steer
# the benchmark elsewhere.
CLIENT_ENVIRONMENT = (
    "OPENAI_API_KEY", "OPENAI_BASE_URL", "OPENAI_ORG_ID",
    "OPENAI_PROJECT_ID", "OPENAI_ADMIN_KEY", "OPENAI_WEBHOOK_SECRET",
    "OPENAI_CUSTOM_HEADERS", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",
    "http_proxy", "https_proxy", "all_proxy")


def quiet_client_environment():
    for name in CLIENT_ENVIRONMENT:
        os.environ.pop(name, None)
    os.environ["NO_PROXY"] = "127.0.0.1"


def real_openai():
    import openai
    return openai.OpenAI


class LocalService:
    """bench/service.py in a child process, on 127.0.0.1. It stops when
    this side closes its standard input, or at its own deadline."""

    def __init__(self, lifetime=1800):
        self._proc = subprocess.Popen(
            [sys.executable, str(BENCH_DIR / "service.py"), str(lifetime)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        port = self._proc.stdout.readline().strip()
        if not port.isdigit():
            self.stop()
            raise RuntimeError("the local service did not start")
        self.base_url = f"http://127.0.0.1:{port}/v1"

    def stop(self):
        if self._proc.poll() is None:
            self._proc.stdin.close()
            try:
                self._proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
        self._proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

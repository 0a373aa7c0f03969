"""What the benchmark scripts share: the two implementations, the texts,
and, from tests/support, the in-process client double; the package's own
stand-in service, run in a child process for end-to-end runs."""

import os
import subprocess
import sys
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
RESULTS_DIR = BENCH_DIR / "results"
# The doubles the tests use; bench/ runs from a checkout, beside tests/.
sys.path.insert(0, str(BENCH_DIR.parent / "tests"))

import factbrief.factbrief as ours  # noqa: E402
import baseline as plain  # noqa: E402
from support.doubles import (ClientDouble, client_environment,  # noqa: E402
                             null_stderr, real_openai, resident_kib)

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

# Answers REPLY at once and keeps nothing: as cheap as a client can be,
# so that what remains is the caller's.
STAND_IN = ClientDouble(REPLY, record=False)


def use_client(module, client):
    """Makes `client` the `OpenAI` that `module` looks up; returns it."""
    module.OpenAI = client
    return client


def quiet_client_environment():
    """Keeps the caller's settings from steering the real client."""
    for name, value in client_environment().items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


# Serves until its standard input closes, which happens when this side
# closes it or dies.
_SERVE = """import sys
from factbrief.standin import StandIn
with StandIn() as server:
    print(server.base_url, flush=True)
    sys.stdin.read()
"""


class LocalService:
    """The stand-in service in a child process on 127.0.0.1 (under
    callgrind, so that its work is not counted as ours)."""

    def __init__(self):
        self._proc = subprocess.Popen(
            [sys.executable, "-c", _SERVE], stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, text=True)
        self.base_url = self._proc.stdout.readline().strip()
        if not self.base_url.startswith("http://127.0.0.1:"):
            self.stop()
            raise RuntimeError("the local service did not start")

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

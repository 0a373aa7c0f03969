"""Running the `factbrief` command in tests: in this process through the
`cli` fixture (fast), or as `python -m factbrief` in a process of its own
(run), so that the installed package is what runs."""

import json
import os
import subprocess
import sys
from typing import NamedTuple

KEY = "sk-factbrief-test-7f3a9c1e5b"
MODEL = "test-model"


class Result(NamedTuple):
    returncode: int
    stdout: bytes
    stderr: str

    @property
    def records(self):
        return [json.loads(line) for line in self.stdout.splitlines()]

    @property
    def lines(self):
        return self.stderr.splitlines()


def settings_for(url, key=KEY):
    return {"OPENAI_BASE_URL": url, "OPENAI_API_KEY": key,
            "FACTBRIEF_MODEL": MODEL}


def own_environment():
    """This environment without the settings the command reads."""
    return {k: v for k, v in os.environ.items()
            if not k.startswith(("OPENAI_", "FACTBRIEF_"))}


def run(args, tmp_path, env=None, stdin=b"", **kw):
    """`python -m factbrief ARGS` in `tmp_path`, with `env` added to
    own_environment(); the CompletedProcess."""
    base = own_environment()
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(
        [sys.executable, "-m", "factbrief", *args], input=stdin,
        env={**base, **(env or {})}, cwd=tmp_path, timeout=60, **kw)

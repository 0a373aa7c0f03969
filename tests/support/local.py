"""For the local service's tests without the model: the command run in a
process of its own on a cache folder of the test's, and the stand-in for
llama-server (tests/local_fake_serve.py) as that cache's server."""

import os
import re
import subprocess
import sys
from pathlib import Path

from factbrief.local import process

FAKE = Path(__file__).resolve().parents[1] / "local_fake_serve.py"


def environment(cache_home, env=None):
    """This environment with $XDG_CACHE_HOME at `cache_home`, none of
    the caller's service settings, and `env`."""
    base = {k: v for k, v in os.environ.items()
            if not k.startswith(("OPENAI_", "FACTBRIEF_", "XDG_"))}
    return {**base, "XDG_CACHE_HOME": str(cache_home), **(env or {})}


def run(args, cache_home, stdin="", env=None, cwd=None,
        command=(sys.executable, "-m", "factbrief"), **kw):
    """`factbrief ARGS` in environment(cache_home, env); text in and
    out."""
    return subprocess.run([*command, *args],
                          env=environment(cache_home, env), input=stdin,
                          cwd=cwd or cache_home, capture_output=True,
                          text=True, timeout=120, **kw)


def one_line(result):
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    return lines[0]


def fake_server(folder):
    """An executable in `folder` that runs the stand-in."""
    wrapper = Path(folder) / "fake-llama-server"
    wrapper.write_text(f"#!/bin/sh\nexec {sys.executable} {FAKE} \"$@\"\n")
    wrapper.chmod(0o700)
    return wrapper


def install_fake(cache, folder):
    """Makes the stand-in the server `cache` keeps, as if built there."""
    from factbrief.local.server import ServerBuild
    ServerBuild(cache).keep(fake_server(folder))


def servers_running(cache):
    """The pids of the stand-ins started from `cache` that still run."""
    pids = []
    for log in cache.logs.glob("*.log"):
        pids += map(int, re.findall(r"main: pid = (\d+)", log.read_text()))
    return [pid for pid in pids if process.alive(pid)]

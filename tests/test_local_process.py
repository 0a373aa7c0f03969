"""The local server process without the model (tests/local_fake_serve.py
plays llama-server): found ready, answering only its fresh key, stopped
with its caller however the caller ends, refused on a port in use, and
reported when it dies while loading; the record of a detached one obeyed
only when it can be trusted. Callers run in their own sessions, as a
shell runs a command."""

import contextlib
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
import urllib.error
import urllib.request

import pytest

from factbrief.local import process
from factbrief.local.cache import Cache, LocalError
from factbrief.local.progress import Progress
from support.local import fake_server

QUIET = Progress(open(os.devnull, "w"))


def gone(pid, within=30.0):
    """True once pid has ended (or is a zombie) within `within` seconds."""
    deadline = time.monotonic() + within
    while process.alive(pid):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


@pytest.fixture
def fake(tmp_path):
    return fake_server(tmp_path)


def server(fake, tmp_path, model="ok.gguf", **kw):
    return process.ServerProcess(fake, tmp_path / model, "fake",
                                 tmp_path / "log", **kw)


def get(server_or_url, path, key=None):
    url = getattr(server_or_url, "base_url", server_or_url)
    request = urllib.request.Request(
        url.removesuffix("/v1") + path,
        headers={"Authorization": f"Bearer {key}"} if key else {})
    with urllib.request.urlopen(request, timeout=10) as r:
        return json.load(r)


def test_started_ready_answering_its_key_only_and_stopped(fake, tmp_path,
                                                          monkeypatch):
    # llama-server would take these as options or a key: it must not see
    # them.
    monkeypatch.setenv("LLAMA_ARG_PORT", "1")
    monkeypatch.setenv("LLAMA_ARG_HOST", "0.0.0.0")
    monkeypatch.setenv("LLAMA_API_KEY", "known")
    with server(fake, tmp_path, "slow.gguf") as s, \
            server(fake, tmp_path, detached=True) as other:
        s.wait_ready(QUIET)
        other.wait_ready(QUIET)
        pids = [s.server_pid(), other.server_pid()]
        assert process.answers(s.base_url)
        seen = get(s, "/v1/env", s.api_key)
        with pytest.raises(urllib.error.HTTPError) as refused:
            get(s, "/v1/models", other.api_key)
        assert refused.value.code == 401
    assert all(gone(pid) for pid in pids)
    assert not process.answers(s.base_url)
    assert len(s.api_key) >= 40 and s.api_key != other.api_key
    assert "PATH" in seen["env"] and "OMP_WAIT_POLICY" in seen["env"]
    assert not [n for n in seen["env"] if n.startswith("LLAMA_ARG_")]
    assert s.api_key not in " ".join(seen["argv"])  # ps shows arguments


CALLER = textwrap.dedent("""
    import os, sys, time
    from factbrief.local import process
    from factbrief.local.progress import Progress
    s = process.ServerProcess(sys.argv[2], "ok.gguf", "fake", sys.argv[1])
    with s:
        s.wait_ready(Progress(open(os.devnull, "w")))
        print(s.server_pid(), s.proc.pid, s.port, flush=True)
        time.sleep(60)
""")


def start_caller(tmp_path, fake):
    caller = subprocess.Popen(
        [sys.executable, "-c", CALLER, str(tmp_path / "log"), str(fake)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True)
    line = caller.stdout.readline()
    assert line, caller.stderr.read()
    pid, launcher, port = map(int, line.split())
    return caller, pid, launcher, port


@pytest.mark.parametrize("how", ["ctrl-c", "crash", "terminate",
                                 "launcher killed"])
def test_the_server_ends_with_its_caller(tmp_path, fake, how):
    caller, pid, launcher, port = start_caller(tmp_path, fake)
    try:
        assert process.answers(f"http://127.0.0.1:{port}/v1")
        if how == "ctrl-c":  # the terminal signals the foreground group
            os.killpg(caller.pid, signal.SIGINT)
        elif how == "crash":
            caller.kill()
        elif how == "terminate":
            caller.terminate()
        else:  # the parent-death signal alone
            os.kill(launcher, signal.SIGKILL)
        assert gone(pid)
    finally:
        caller.kill()
        if not gone(pid, 0):  # not to outlive a failed test
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)


TIED_CALLER = textwrap.dedent("""
    import sys
    from factbrief.local.tied import run_tied
    # A build step whose child makes a session of its own, as Ninja does
    # for each compile, when asked; the pids are printed once it has.
    child = ("import os, sys, time; "
             "os.setsid() if sys.argv[1] == 'own' else None; "
             "print(flush=True); time.sleep(60)")
    build = ("import os, subprocess, sys, time; "
             "p = subprocess.Popen([sys.executable, '-c', %r, sys.argv[1]], "
             "stdout=subprocess.PIPE); p.stdout.readline(); "
             "print(os.getpid(), p.pid, flush=True); time.sleep(60)")
    run_tied([sys.executable, "-c", build % child, sys.argv[1]], sys.stdout)
""")


@pytest.mark.parametrize("session", ["shared", "own"])
@pytest.mark.parametrize("how", ["ctrl-c", "crash"])
def test_a_set_up_step_ends_with_its_caller(how, session):
    """pip and the compilers it started: the whole tree goes."""
    caller = subprocess.Popen([sys.executable, "-c", TIED_CALLER, session],
                              stdout=subprocess.PIPE, text=True,
                              start_new_session=True)
    pids = [int(p) for p in caller.stdout.readline().split()]
    try:
        assert len(pids) == 2 and not any(gone(p, 0) for p in pids)
        if how == "ctrl-c":
            os.killpg(caller.pid, signal.SIGINT)
        else:
            caller.kill()
        caller.wait(timeout=20)
        assert all(gone(p) for p in pids)
    finally:
        caller.kill()
        for p in pids:
            if not gone(p, 0):  # not to outlive a failed test
                with contextlib.suppress(ProcessLookupError):
                    os.kill(p, signal.SIGKILL)


def test_a_port_in_use_is_refused_before_the_server_starts(fake, tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        s = server(fake, tmp_path, port=port)
        with pytest.raises(LocalError, match=rf"^port {port} on 127.0.0.1 "
                           r"is in use.*--port"):
            s.start()
        assert s.proc is None


def test_a_server_that_dies_while_loading_is_reported(fake, tmp_path):
    (tmp_path / "log").write_text("error: from an earlier run\n")
    s = server(fake, tmp_path, "die.gguf").start()
    with pytest.raises(LocalError, match=r"stopped while loading the model "
                       r"\(exit status 1: srv load_model: failed to load "
                       r"model, '.*die.gguf'\); see .*log"):
        s.wait_ready(QUIET)
    s.stop()


def test_the_detached_service_is_recorded_found_and_stopped(fake, tmp_path):
    cache = Cache(tmp_path / "cache")
    cache.make()
    s = server(fake, tmp_path, detached=True).start()
    s.wait_ready(QUIET)
    process.record_running(cache, s, "model.gguf")
    assert cache.running.stat().st_mode & 0o777 == 0o600  # it holds the key
    state = process.running_service(cache)
    assert (state["pid"], state["base_url"], state["api_key"]) == (
        s.proc.pid, s.base_url, s.api_key)
    assert process.stop_running(cache)["pid"] == s.proc.pid
    assert gone(s.proc.pid)
    assert not cache.running.exists()
    assert process.stop_running(cache) is None


@pytest.fixture
def sleeper():
    """A process of ours, in a session of its own."""
    proc = subprocess.Popen([sys.executable, "-c",
                             "import time; time.sleep(60)"],
                            start_new_session=True)
    yield proc
    proc.kill()
    proc.wait()


def record_of(live, changes):
    state = {"pid": live, "since": process.start_time(live), "port": 8080,
             "base_url": "http://127.0.0.1:8080/v1", "model": "m",
             "model_file": "m.gguf", "slots": 4, "api_key": "k"}
    state.update(changes)
    return {k: v for k, v in state.items() if v is not ...}


@pytest.mark.parametrize("changes", [
    {},  # the control: a record that is obeyed
    {"base_url": "http://192.0.2.2:8080/v1"},  # the text would leave
    {"base_url": "http://example.com:8080/v1"},
    {"base_url": "http://localhost.example.com:8080/v1"},
    {"since": ...},  # a missing start time is a mismatch
    {"since": None},
    {"since": 1},  # a reused pid: another start time
    {"pid": 0}, {"pid": "init"}, {"pid": -1}, {"pid": True},
    {"pid": 2 ** 22 + 1},  # no such process
    {"api_key": ""}, {"slots": 0},
])
def test_a_record_is_obeyed_only_when_trusted(tmp_path, sleeper, changes):
    cache = Cache(tmp_path)
    changes = dict(changes)
    if changes.get("pid") == "init":
        changes.update(pid=1, since=process.start_time(1))
    state = record_of(sleeper.pid, changes)
    cache.running.write_text(json.dumps(state))
    found = process.running_service(cache)
    if not changes:
        assert found == state
        return
    assert found is None
    assert not cache.running.exists()  # a stale record is removed
    cache.running.write_text(json.dumps(state))
    assert process.stop_running(cache) is None
    assert sleeper.poll() is None  # nothing was signalled

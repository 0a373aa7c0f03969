"""The local server process without the model (tests/local_fake_serve.py
plays the server): it is found ready, stopped with its caller however the
caller ends, refused on a port in use, and reported when it dies while
loading. Callers run in their own sessions, as a shell runs a command."""

import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time
import urllib.request
from pathlib import Path

import pytest

from factbrief.local import process
from factbrief.local.cache import Cache, LocalError
from factbrief.local.progress import Progress

FAKE = [sys.executable, str(Path(__file__).with_name("local_fake_serve.py"))]
QUIET = Progress(open(os.devnull, "w"))


def gone(pid, within=30.0):
    """True once pid has ended (or is a zombie) within `within` seconds."""
    deadline = time.monotonic() + within
    while process._alive(pid):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def server(tmp_path, model="ok", **kw):
    return process.ServerProcess(FAKE, model, "fake", tmp_path / "log",
                                 **kw)


def test_started_ready_and_stopped(tmp_path):
    with server(tmp_path, "slow") as s:
        s.wait_ready(QUIET)
        assert process.answers(s.base_url)
        pid = s.proc.pid
        with urllib.request.urlopen(f"{s.base_url}/env") as r:
            env = json.load(r)
    assert gone(pid)
    assert not process.answers(s.base_url)
    # The server's settings would read these; it must not see them.
    assert "PATH" in env and "OMP_WAIT_POLICY" in env
    assert not {"API_KEY", "PORT", "CONFIG_FILE", "MODEL"} & set(env)


CALLER = textwrap.dedent("""
    import os, sys, time
    from factbrief.local import process
    from factbrief.local.progress import Progress
    os.environ.update(API_KEY="x", PORT="1", CONFIG_FILE="/none", MODEL="m")
    s = process.ServerProcess(sys.argv[2:], "ok", "fake", sys.argv[1])
    with s:
        s.wait_ready(Progress(open(os.devnull, "w")))
        print(s.proc.pid, s.port, flush=True)
        time.sleep(60)
""")


def start_caller(tmp_path):
    caller = subprocess.Popen(
        [sys.executable, "-c", CALLER, str(tmp_path / "log"), *FAKE],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        start_new_session=True)
    line = caller.stdout.readline()
    assert line, caller.stderr.read()
    pid, port = map(int, line.split())
    return caller, pid, port


@pytest.mark.parametrize("how", ["ctrl-c", "crash", "terminate"])
def test_the_server_ends_with_its_caller(tmp_path, how):
    caller, pid, port = start_caller(tmp_path)
    try:
        assert process.answers(f"http://127.0.0.1:{port}/v1")
        if how == "ctrl-c":  # the terminal signals the foreground group
            os.killpg(caller.pid, signal.SIGINT)
        elif how == "crash":
            caller.kill()
        else:
            caller.terminate()
        caller.wait(timeout=20)
        assert gone(pid)
    finally:
        caller.kill()
        if not gone(pid, 0):
            os.kill(pid, signal.SIGKILL)  # not to outlive a failed test


TIED_CALLER = textwrap.dedent("""
    import sys
    from factbrief.local.tied import run_tied
    build = ("import os, subprocess, sys, time; "
             "p = subprocess.Popen([sys.executable, '-c', "
             "'import time; time.sleep(60)']); "
             "print(os.getpid(), p.pid, flush=True); time.sleep(60)")
    run_tied([sys.executable, "-c", build], sys.stdout)
""")


@pytest.mark.parametrize("how", ["ctrl-c", "crash"])
def test_a_set_up_step_ends_with_its_caller(how):
    """pip and the compilers it started: the whole group goes."""
    caller = subprocess.Popen([sys.executable, "-c", TIED_CALLER],
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
            if not gone(p, 0):
                os.kill(p, signal.SIGKILL)  # not to outlive a failed test


def test_the_server_ends_when_its_lifeline_closes(tmp_path):
    """The pipe alone, as where the kernel offers no parent-death signal."""
    sock = process.listen()
    child = subprocess.Popen(
        [*FAKE, "--model", "ok", "--alias", "x", "--fd", str(sock.fileno()),
         "--parent", str(os.getpid())], stdin=subprocess.PIPE,
        pass_fds=(sock.fileno(),))
    sock.close()
    try:
        time.sleep(0.5)
        assert child.poll() is None
        child.stdin.close()
        child.wait(timeout=10)
    finally:
        child.kill()
        child.wait()


def test_a_port_in_use_is_refused(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        s = server(tmp_path, port=port)
        with pytest.raises(LocalError, match=rf"^port {port} on 127.0.0.1 "
                           r"is in use.*--port"):
            s.start()
        assert s.proc is None


def test_a_server_that_dies_while_loading_is_reported(tmp_path):
    (tmp_path / "log").write_text("error: from an earlier run\n")
    s = server(tmp_path, "die")
    s.start()
    with pytest.raises(LocalError, match=r"stopped while loading the model "
                       r"\(exit status \d+: error: failed to load model from "
                       r"die\); see .*log"):
        s.wait_ready(QUIET)
    s.stop()


def test_the_detached_service_is_recorded_found_and_stopped(tmp_path):
    cache = Cache(tmp_path)
    s = server(tmp_path, detached=True).start()
    s.wait_ready(QUIET)
    process.record_running(cache, s, "model.gguf")
    state = process.running_service(cache)
    assert state["pid"] == s.proc.pid and state["base_url"] == s.base_url
    assert process.stop_running(cache)["pid"] == s.proc.pid
    assert gone(s.proc.pid)
    assert not cache.running.exists()
    assert process.stop_running(cache) is None


def test_a_stale_record_is_never_acted_on(tmp_path):
    cache = Cache(tmp_path)
    # This test's own process is alive, but not the one recorded.
    for pid in (os.getpid(), 2 ** 22 + 1):
        cache.running.write_text(json.dumps({"pid": pid, "port": 1}))
        assert process.running_service(cache) is None
        assert process.stop_running(cache) is None
        assert not cache.running.exists()

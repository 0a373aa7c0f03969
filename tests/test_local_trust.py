"""The local service on a shared machine: nothing in the cache is used
unless the caller alone could have written it; "verified" means hashed;
a record names only the caller's own service; the cache's lock holds even
while `local remove` deletes it. Another local user is played by uid
65534 through setpriv (needs root); the caller's commands run in
processes of their own."""

import grp
import json
import os
import pwd
import shutil
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import pytest

from factbrief.local import process
from factbrief.local.cache import Cache
from factbrief.local.model import DEFAULT_MODEL
from support.local import FAKE, one_line, run

OTHER = 65534
SETPRIV = ["setpriv", f"--reuid={OTHER}", f"--regid={OTHER}",
           "--clear-groups"]


def other_python():
    """A Python the other user can run, or None."""
    for python in (sys.executable, shutil.which("python3"),
                   "/usr/bin/python3"):
        if python and subprocess.run([*SETPRIV, python, "-c", ""],
                                     capture_output=True).returncode == 0:
            return python
    return None


@pytest.fixture
def intruder():
    """(python, shared): what another user runs, and a folder both users
    may write, as /tmp is (sticky)."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("playing a second user needs root and setpriv")
    python = other_python()
    if python is None:
        pytest.skip("no Python that user 65534 can run")
    shared = Path(tempfile.mkdtemp(prefix="factbrief-shared-"))
    shared.chmod(0o1777)
    yield python, shared
    shutil.rmtree(shared)


PLANT = textwrap.dedent("""
    import json, os, sys
    root, marker, size, sha = sys.argv[1:]
    program = "#!/bin/sh\\ntouch " + marker + "\\n"
    # A server where this factbrief and the one before look for it.
    for path in ("server/llama-server", "server/venv/bin/python"):
        os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
        with open(os.path.join(root, path), "w") as f:
            f.write(program)
        os.chmod(os.path.join(root, path), 0o755)
    with open(os.path.join(root, "server/venv/.factbrief-ready"), "w") as f:
        f.write("0.3.36\\n")
    # A model of the right size, all zeros, and stamps that vouch for both.
    os.makedirs(os.path.join(root, "models"))
    model = os.path.join(root, "models", "qwen2.5-coder-1.5b-instruct.gguf")
    with open(model, "wb") as f:
        f.truncate(int(size))
    for path, extra in ((model, {"sha256": sha}), (
            os.path.join(root, "server/llama-server"),
            {"sha256": "0" * 64, "version": "0.3.36"})):
        st = os.stat(path)
        with open(path + ".stamp", "w") as f:
            json.dump({"size": st.st_size, "mtime_ns": st.st_mtime_ns,
                       "inode": st.st_ino, **extra}, f)
""")


def test_a_cache_another_user_made_is_refused(intruder, tmp_path):
    python, shared = intruder
    marker = shared / "planted-program-ran"
    subprocess.run([*SETPRIV, python, "-c", PLANT, str(shared / "factbrief"),
                    str(marker), str(DEFAULT_MODEL.size),
                    DEFAULT_MODEL.sha256], check=True)
    refusal = (f"factbrief: {shared / 'factbrief'} belongs to another user "
               f"(uid {OTHER}), so factbrief will not use it")
    for args in (["local", "status"], ["extract", "--local", "-"],
                 ["local", "start"]):
        result = run(args, shared, "text", cwd=tmp_path)
        assert result.returncode == 1, result
        assert one_line(result).startswith(refusal)
        assert "XDG_CACHE_HOME" in one_line(result)
    assert not marker.exists()


@pytest.mark.parametrize("where,mode,group,fix", [
    ("factbrief", 0o777, None, "chmod 700"),
    ("factbrief/models", 0o775, OTHER, "chmod 700"),
    ("factbrief/running.json", 0o666, None, "chmod 600"),
    ("factbrief/logs/server.log", 0o620, OTHER, "chmod 600"),
    # Group-writable for the caller's own group (one per user, umask 002)
    ("factbrief/models", 0o775, "own", None),
])
def test_what_others_can_write_is_refused(tmp_path, where, mode, group, fix):
    cache = Cache(tmp_path / "factbrief")
    cache.make(cache.models, cache.logs)
    path = tmp_path / where
    if not path.exists():
        path.write_text("{}")
    path.chmod(mode)
    if group == "own":
        user = pwd.getpwuid(os.geteuid())
        if grp.getgrgid(user.pw_gid).gr_name != user.pw_name:
            pytest.skip("the caller has no group of their own")
        os.chown(path, -1, user.pw_gid)
    elif group is not None:
        if os.geteuid() != 0:
            pytest.skip("giving a file to another group needs root")
        os.chown(path, -1, group)
    result = run(["local", "status"], tmp_path)
    if fix is None:
        assert result.returncode == 0, result.stderr
        return
    assert result.returncode == 1
    assert one_line(result) == (
        f"factbrief: {path} can be written by other users (mode {mode:o}), "
        f"so factbrief will not use it: they could plant a server or model; "
        f"make it yours alone with: {fix} {path}")


def test_a_cache_in_a_folder_others_can_change_is_refused(tmp_path):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o777)  # no sticky bit: anyone may rename what is in it
    result = run(["local", "status"], shared)
    assert result.returncode == 1
    assert one_line(result).startswith(
        f"factbrief: the cache folder {shared / 'factbrief'} lies in "
        f"{shared}, which another user can change")
    assert not (shared / "factbrief").exists()


def test_verified_means_the_sha256_was_checked(tmp_path):
    # A file of the model's size that was never hashed (all zeros).
    cache = Cache(tmp_path / "factbrief")
    cache.make(cache.models)
    with open(cache.models / DEFAULT_MODEL.file_name, "wb") as f:
        f.truncate(DEFAULT_MODEL.size)
    result = run(["local", "status"], tmp_path)
    assert result.returncode == 0, result.stderr
    [line] = [ln for ln in result.stdout.splitlines()
              if ln.startswith("model:")]
    assert "verified" in line and "not verified" in line


def test_a_record_another_user_wrote_is_not_obeyed(intruder, tmp_path):
    """Their service would get the text; and the caller's key."""
    python, shared = intruder
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    theirs = subprocess.Popen(
        [*SETPRIV, python, str(FAKE), "-m", "ok.gguf", "-a", "m", "--host",
         "127.0.0.1", "--port", str(port)], stdout=subprocess.DEVNULL,
        env={"PATH": os.environ["PATH"]})
    try:
        url = f"http://127.0.0.1:{port}/v1"
        deadline = time.monotonic() + 30
        while not process.answers(url):
            assert time.monotonic() < deadline
            time.sleep(0.1)
        cache = Cache(tmp_path / "factbrief")
        cache.make()
        cache.running.write_text(json.dumps({
            "pid": theirs.pid, "since": process.start_time(theirs.pid),
            "port": port, "base_url": url, "model": "m", "slots": 4,
            "api_key": "k", "model_file": str(
                cache.models / DEFAULT_MODEL.file_name)}))
        os.chown(cache.running, OTHER, OTHER)
        result = run(["extract", "--local", "-"], tmp_path, "text")
        assert (result.returncode, result.stdout) == (1, "")
        assert one_line(result).startswith(
            f"factbrief: {cache.running} belongs to another user")
        assert run(["local", "stop"], tmp_path).returncode == 1
        assert theirs.poll() is None  # and nothing was signalled
    finally:
        theirs.kill()
        theirs.wait()


def test_stop_never_signals_its_own_process_group(tmp_path):
    cache = Cache(tmp_path / "factbrief")
    cache.make()
    cache.running.write_text(json.dumps({"pid": 0}))
    result = run(["-c", f"{sys.executable} -m factbrief local stop; "
                        f"echo the shell survived"], tmp_path,
                 command=["bash"], start_new_session=True)
    assert result.stdout == ("local service: was not running\n"
                             "the shell survived\n")


LOCKER = textwrap.dedent("""
    import sys, time
    from factbrief.local.cache import Cache
    with Cache(sys.argv[1]).locked(lambda: print("waiting", flush=True)):
        print("in", time.monotonic(), flush=True)
        time.sleep(float(sys.argv[2]))
        print("out", time.monotonic(), flush=True)
""")


def locker(root, hold):
    return subprocess.Popen([sys.executable, "-c", LOCKER, str(root),
                             str(hold)], stdout=subprocess.PIPE, text=True)


def span(proc):
    lines = proc.communicate(timeout=60)[0].split()
    return float(lines[lines.index("in") + 1]), \
        float(lines[lines.index("out") + 1])


def test_the_lock_holds_while_remove_deletes_it(tmp_path):
    cache = Cache(tmp_path / "factbrief")
    with cache.locked():
        waiter = locker(cache.root, 3)
        assert waiter.stdout.readline() == "waiting\n"
        time.sleep(0.5)  # blocked on the lock file about to go
        shutil.rmtree(cache.root)  # what `local remove` does, holding it
    newcomer = locker(cache.root, 1)
    (a, b), (c, d) = sorted([span(waiter), span(newcomer)])
    assert b <= c, "two processes held the cache's lock at once"

"""The server as a child process: started on a socket made here, waited
for until it answers, stopped with its whole process group.

A server started for one run is tied to its caller (see serve.py): it
ends on Ctrl-C, on exit, and when the caller is killed. A detached one
(`factbrief local start`) is recorded in the cache's running.json so that
`factbrief local stop` and later runs find it.
"""

import errno
import json
import os
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request
from pathlib import Path

from .cache import LocalError, human_time, publish, remove_quietly
from .tied import telling_line

SERVE_SCRIPT = Path(__file__).with_name("serve.py")
# The server's settings classes read any environment variable named like
# a setting (PORT, MODEL, API_KEY, CONFIG_FILE...): it gets these only.
PASSED_ENV = ("PATH", "HOME", "LANG", "LC_ALL", "LC_CTYPE", "TMPDIR", "TZ",
              "OMP_WAIT_POLICY")
# llama.cpp's OpenMP threads spin while they wait for each other. When the
# cores are busy with other work that collapses: on 2 shared cores, 0.8
# tokens/s spinning against 9 to 16 passive (bench/local_model.py).
WAIT_POLICY = "PASSIVE"
_NO_PROXY = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def listen(port=0):
    """A socket listening on 127.0.0.1:port (0: a free port)."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind(("127.0.0.1", port))
    except OSError as e:
        sock.close()
        if e.errno in (errno.EADDRINUSE, errno.EACCES):
            raise LocalError(
                f"port {port} on 127.0.0.1 is in use or not allowed; choose "
                f"another with --port, or leave --port out to take a free "
                f"one") from None
        raise
    sock.listen(64)
    return sock


def server_environ(environ):
    env = {k: environ[k] for k in PASSED_ENV if k in environ}
    env.setdefault("OMP_WAIT_POLICY", WAIT_POLICY)
    return env


def answers(base_url, timeout=2.0):
    """True when the service at base_url lists its models."""
    try:
        with _NO_PROXY.open(f"{base_url}/models", timeout=timeout) as r:
            return r.status == 200
    except (OSError, ValueError):
        return False


class ServerProcess:
    """One server; `command` is the program and its leading arguments
    (normally the server environment's `python -I serve.py`)."""

    def __init__(self, command, model, alias, log_path, port=0,
                 detached=False, max_tokens=1024, n_ctx=4096, threads=None):
        self.command = list(command)
        self.model = str(model)
        self.alias = alias
        self.log_path = Path(log_path)
        self.port = port
        self.detached = detached
        self.max_tokens = max_tokens
        self.n_ctx = n_ctx
        self.threads = threads  # None: one per CPU
        self.proc = None
        self._lifeline = None
        self._log_start = 0

    @property
    def base_url(self):
        return f"http://127.0.0.1:{self.port}/v1"

    def start(self):
        sock = listen(self.port)
        self.port = sock.getsockname()[1]
        read_end = None
        if not self.detached:
            read_end, self._lifeline = os.pipe()
        args = [*self.command, "--model", self.model, "--alias", self.alias,
                "--fd", str(sock.fileno()), "--n-ctx", str(self.n_ctx),
                "--max-tokens", str(self.max_tokens),
                "--parent", "0" if self.detached else str(os.getpid())]
        if self.threads:
            args += ["--threads", str(self.threads)]
        self.log_path.parent.mkdir(parents=True, exist_ok=True)
        try:
            with open(self.log_path, "ab") as log:
                self._log_start = log.seek(0, os.SEEK_END)
                self.proc = subprocess.Popen(
                    args, stdin=read_end if read_end is not None
                    else subprocess.DEVNULL, stdout=log,
                    stderr=subprocess.STDOUT, pass_fds=(sock.fileno(),),
                    start_new_session=True,
                    env=server_environ(os.environ),
                    cwd=self.log_path.parent)
        except BaseException:
            self.stop()  # closes the lifeline
            raise
        finally:
            sock.close()  # the child holds its own copy
            if read_end is not None:
                os.close(read_end)
        return self

    def wait_ready(self, progress, timeout=300.0):
        """Returns once the server answers; raises LocalError if it ends
        first or takes longer than `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with progress.step("loading the model", "a few seconds") as step:
            while True:
                if self.proc.poll() is not None:
                    raise LocalError(
                        f"the local server stopped while loading the model "
                        f"(exit status {self.proc.returncode}: "
                        f"{telling_line(self.log_path, self._log_start)});"
                        f" see {self.log_path}")
                if answers(self.base_url):
                    return
                left = deadline - time.monotonic()
                if left <= 0:
                    self.stop()
                    raise LocalError(
                        f"the local server did not answer within "
                        f"{human_time(timeout)}; see {self.log_path}")
                step.update(f"(pid {self.proc.pid})")
                time.sleep(min(0.2, left))

    def stop(self, grace=10.0):
        """Ends the server's process group: SIGTERM, then SIGKILL."""
        proc, self.proc = self.proc, None
        if self._lifeline is not None:
            os.close(self._lifeline)
            self._lifeline = None
        if proc is None:
            return
        if proc.poll() is None:
            stop_group(proc.pid, grace, proc.wait)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def stop_group(pid, grace, wait):
    """SIGTERM to the group led by pid, SIGKILL after `grace` seconds;
    `wait(timeout)` returns once pid has ended, or raises TimeoutExpired."""
    for sig, patience in ((signal.SIGTERM, grace), (signal.SIGKILL, grace)):
        try:
            os.killpg(pid, sig)
        except ProcessLookupError:
            return
        try:
            wait(timeout=patience)
            return
        except subprocess.TimeoutExpired:
            continue


# --- The detached service, recorded in running.json -----------------------

def record_running(cache, server, model_file):
    state = {"pid": server.proc.pid, "since": _start_time(server.proc.pid),
             "port": server.port,
             "base_url": server.base_url, "model": server.alias,
             "model_file": str(model_file), "log": str(server.log_path),
             "started": time.time()}
    temp = cache.running.with_suffix(".tmp")
    temp.write_text(json.dumps(state, indent=1) + "\n")
    publish(temp, cache.running)
    return state


def running_service(cache):
    """The recorded detached service if its process still runs, else
    None (and a stale record is removed)."""
    try:
        state = json.loads(cache.running.read_text())
        pid = int(state["pid"])
    except (OSError, ValueError, KeyError, TypeError):
        return None
    if not _alive(pid) or _start_time(pid) != state.get("since"):
        remove_quietly(cache.running)
        return None
    return state


def stop_running(cache, grace=10.0):
    """Stops the detached service; its state, or None if none ran."""
    state = running_service(cache)
    if state is None:
        return None
    pid = state["pid"]

    def wait(timeout):
        deadline = time.monotonic() + timeout
        while _alive(pid):
            if time.monotonic() > deadline:
                raise subprocess.TimeoutExpired(str(pid), timeout)
            time.sleep(0.1)

    stop_group(pid, grace, wait)
    remove_quietly(cache.running)
    return state


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie (ended, not yet reaped by its parent) no longer serves.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return True


def _start_time(pid):
    """When pid started (clock ticks since boot), where /proc tells: a
    recycled pid of some other program never matches the record."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[19])
    except (OSError, IndexError, ValueError):
        return None

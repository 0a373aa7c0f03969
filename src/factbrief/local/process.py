"""The server as a child process: llama-server on 127.0.0.1 with a fresh
random key, waited for until it answers, and stopped.

A server started for one run is tied to its caller (tied.py): it ends on
Ctrl-C, on exit, and when the caller is killed. A detached one (`factbrief
local start`) is recorded, key included, in the cache's running.json
(0600) so that `factbrief local stop` and later runs find it. A record is
obeyed only when its process is the caller's, started when recorded, and
serves a loopback address.
"""

import contextlib
import errno
import ipaddress
import json
import os
import secrets
import signal
import socket
import subprocess
import time
import urllib.parse
import urllib.request
from pathlib import Path

from factbrief.display import human_time

from .cache import (LocalError, check_own, open_private,
                    remove_quietly, write_private)
from .launch import descendants
from .tied import Tied, telling_line

# llama-server reads LLAMA_ARG_* variables as options (and others): it
# gets these only, and its key, which thus stays off its command line.
PASSED_ENV = ("PATH", "HOME", "LANG", "LC_ALL", "LC_CTYPE", "TMPDIR", "TZ",
              "OMP_WAIT_POLICY")
KEY_ENV = "LLAMA_API_KEY"
# llama.cpp's OpenMP threads spin while they wait for each other. When the
# cores are busy with other work that collapses: on 2 shared cores, 0.8
# tokens/s spinning against 9 to 16 passive (bench/local_model.py).
WAIT_POLICY = "PASSIVE"
# No prompt reuse: a prompt continued from a slot's cache is evaluated in
# other batches than a fresh one, and the same request got another answer
# at temperature 0 (measured). Fresh each time, a text sent again gets
# the same answer; and the cache in memory (8 GiB at most by default)
# does not grow a long-running service.
NO_PROMPT_CACHE = ("--no-cache-prompt", "--cache-ram", "0")
STOP_GRACE = 10.0
BIND_FAILED = "couldn't bind HTTP server socket"
NO_PROXY = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def cpus():
    """The CPUs this process may use: os.process_cpu_count() (3.13), else
    the affinity mask where there is one, else all the machine's."""
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return count() or 1
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:
        return os.cpu_count() or 1


def free_port(port=0):
    """`port` on 127.0.0.1 if it is free (0: a free one); LocalError if it
    is taken or not allowed. The server binds it itself, before it loads
    the model."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind(("127.0.0.1", port))
        except OSError as e:
            if e.errno in (errno.EADDRINUSE, errno.EACCES):
                raise _port_in_use(port) from None
            raise
        return sock.getsockname()[1]


def _port_in_use(port):
    return LocalError(f"port {port} on 127.0.0.1 is in use or not allowed; "
                      f"choose another with --port, or leave --port out to "
                      f"take a free one")


def server_environ(environ, api_key):
    env = {k: environ[k] for k in PASSED_ENV if k in environ}
    env.setdefault("OMP_WAIT_POLICY", WAIT_POLICY)
    env[KEY_ENV] = api_key
    return env


def answers(base_url, timeout=2.0):
    """True when the service at base_url says it is ready."""
    root = base_url.removesuffix("/").removesuffix("/v1")
    try:
        with NO_PROXY.open(f"{root}/health", timeout=timeout) as r:
            return r.status == 200
    except (OSError, ValueError):
        return False


class ServerProcess:
    """One llama-server serving `model` as `alias`, its log appended to
    `log_path`: `slots` requests at once, each with a context of
    `slot_context` tokens, answers of at most `max_tokens` at temperature 0
    unless a request asks otherwise."""

    def __init__(self, executable, model, alias, log_path, *, port=0,
                 detached=False, slots=4, slot_context=5120,
                 max_tokens=1024, threads=None):
        self.executable = str(executable)
        self.model = os.path.abspath(model)
        self.alias = alias.replace(",", "_")  # it splits aliases on commas
        self.log_path = Path(log_path)
        self.port = self._asked_port = port
        self.detached = detached
        self.slots = slots
        self.slot_context = slot_context
        self.max_tokens = max_tokens
        self.threads = threads or cpus()
        self.api_key = secrets.token_urlsafe(32)
        self.proc = None
        self._tied = None
        self._log_start = 0

    @property
    def base_url(self):
        return f"http://127.0.0.1:{self.port}/v1"

    def argv(self):
        return [self.executable, "-m", self.model, "-a", self.alias,
                "--host", "127.0.0.1", "--port", str(self.port),
                "-np", str(self.slots),
                "-c", str(self.slots * self.slot_context),
                "--temp", "0", "-n", str(self.max_tokens),
                "-t", str(self.threads), "--no-webui", *NO_PROMPT_CACHE]

    def start(self):
        self.port = free_port(self._asked_port)
        env = server_environ(os.environ, self.api_key)
        self.log_path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        with open_private(self.log_path) as log:
            self._log_start = log.seek(0, os.SEEK_END)
            if self.detached:
                self.proc = subprocess.Popen(
                    self.argv(), stdin=subprocess.DEVNULL, stdout=log,
                    stderr=subprocess.STDOUT, env=env,
                    start_new_session=True, cwd=self.log_path.parent)
            else:
                self._tied = Tied(self.argv(), log, env, grace=STOP_GRACE,
                                  cwd=self.log_path.parent)
                self.proc = self._tied.proc
        return self

    def server_pid(self):
        """The pid of llama-server itself (a tied one runs under the
        launcher), or None once it has ended."""
        if self.proc is None or self.proc.poll() is not None:
            return None
        if self.detached:
            return self.proc.pid
        found = descendants(self.proc.pid)
        return found[0] if found else None

    def wait_ready(self, progress, timeout=300.0, retries=3):
        """Returns once the server answers; raises LocalError if it ends
        first or takes longer than `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with progress.step("loading the model", "a few seconds") as step:
            while True:
                if self.proc.poll() is not None:
                    why = telling_line(self.log_path, self._log_start)
                    if BIND_FAILED not in why:
                        raise LocalError(
                            f"the local server stopped while loading the "
                            f"model (exit status {self.proc.returncode}: "
                            f"{why}); see {self.log_path}")
                    # Taken between the check and the server's bind.
                    if self._asked_port or retries == 0:
                        raise _port_in_use(self.port)
                    retries -= 1
                    self.start()
                if self._listening() and answers(self.base_url):
                    return
                left = deadline - time.monotonic()
                if left <= 0:
                    self.stop()
                    raise LocalError(
                        f"the local server did not answer within "
                        f"{human_time(timeout)}; see {self.log_path}")
                step.update(f"(pid {self.proc.pid})")
                time.sleep(min(0.2, left))

    def _listening(self):
        """Whether this server's log says it listens on its port: then the
        port is its own, and what answers there is this server."""
        try:
            with open(self.log_path, "rb") as f:
                f.seek(self._log_start)
                text = f.read().decode("utf-8", "replace")
        except OSError:
            return False
        return f"listening on http://127.0.0.1:{self.port}\n" in text

    def stop(self):
        """Ends the server: SIGTERM, then SIGKILL after a grace."""
        proc, self.proc = self.proc, None
        tied, self._tied = self._tied, None
        if tied is not None:
            tied.end()
        elif proc is not None and proc.poll() is None:
            stop_process(proc.pid, STOP_GRACE, proc.wait)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def stop_process(pid, grace, wait):
    """SIGTERM to pid (its group when it leads one), SIGKILL after `grace`
    seconds; `wait(timeout)` returns once pid has ended, or raises
    TimeoutExpired."""
    try:
        group = os.getpgid(pid) == pid
    except ProcessLookupError:
        return
    for sig, patience in ((signal.SIGTERM, grace), (signal.SIGKILL, grace)):
        try:
            (os.killpg if group else os.kill)(pid, sig)
        except ProcessLookupError:
            return
        try:
            wait(timeout=patience)
            return
        except subprocess.TimeoutExpired:
            continue


# --- The detached service, recorded in running.json -----------------------

def record_running(cache, server, model_file):
    pid = server.proc.pid
    state = {"pid": pid, "since": start_time(pid), "port": server.port,
             "base_url": server.base_url, "model": server.alias,
             "model_file": str(model_file), "slots": server.slots,
             "api_key": server.api_key, "log": str(server.log_path),
             "started": time.time()}
    write_private(cache.running,
                  (json.dumps(state, indent=1) + "\n").encode())
    return state


def running_service(cache):
    """The recorded detached service if the record can be trusted and its
    process still runs, else None (and a stale record is removed)."""
    if not os.path.lexists(cache.running):
        return None
    check_own(cache.running)  # LocalError for someone else's record
    try:
        state = json.loads(cache.running.read_text())
    except (OSError, ValueError):
        state = None
    if not _trusted(state):
        with contextlib.suppress(OSError):  # a folder in its place stays
            os.unlink(cache.running)
        return None
    return state


def _trusted(state):
    """A record of a running server of the caller's on a loopback address
    (a reused pid never matches: its start time differs)."""
    try:
        pid, since = state["pid"], state["since"]
        url = urllib.parse.urlsplit(state["base_url"])
        host = ipaddress.ip_address(url.hostname or "")
        fields = (type(pid) is int and pid > 1 and type(since) is int
                  and url.scheme == "http" and host.is_loopback
                  and url.port == state["port"]
                  and isinstance(state["api_key"], str) and state["api_key"]
                  and type(state["slots"]) is int and state["slots"] > 0
                  and isinstance(state["model"], str))
    except (TypeError, KeyError, ValueError):
        return False
    return bool(fields) and alive(pid) and start_time(pid) == since \
        and _owner(pid) == os.geteuid()


def stop_running(cache, grace=STOP_GRACE):
    """Stops the detached service; its state, or None if none ran."""
    state = running_service(cache)
    if state is None:
        return None
    pid = state["pid"]

    def wait(timeout):
        deadline = time.monotonic() + timeout
        while alive(pid):
            if time.monotonic() > deadline:
                raise subprocess.TimeoutExpired(str(pid), timeout)
            time.sleep(0.1)

    stop_process(pid, grace, wait)
    remove_quietly(cache.running)
    return state


def alive(pid):
    if not _exists(pid):
        return False
    # A zombie (ended, not yet reaped by its parent) no longer serves.
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return _exists(pid)  # reaped since, or no /proc here


def _exists(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass  # another user's: it exists
    return True


def start_time(pid):
    """When pid started (clock ticks since boot), where /proc tells: a
    recycled pid of some other program never matches the record."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[19])
    except (OSError, IndexError, ValueError):
        return None


def _owner(pid):
    try:
        return os.stat(f"/proc/{pid}").st_uid
    except OSError:
        return None

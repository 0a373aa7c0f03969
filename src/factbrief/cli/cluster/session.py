"""The Ray session of a run: connected to a cluster for the run, or a Ray
instance started on this machine for it, with its files in a private
folder that is removed after."""

import contextlib
import fcntl
import logging
import os
import shutil
import signal
import tempfile
import time
import threading

from factbrief.cli.argparser import LOCAL_RAY
from factbrief.cli.exceptions import ClusterError
from factbrief.cli.inputs import shown_name

# Ray puts sockets 62 bytes below its folder (".../session_DATE_TIME_US_PID
# /sockets/plasma_store"), and a socket's path holds at most 107.
SOCKET_ROOM = 107 - 62
PREFIX = "fbray-"
LOCK = "fbray.lock"  # held by the run that owns the folder, for its life
ENDING = (signal.SIGINT, signal.SIGTERM)


@contextlib.contextmanager
def _entrypoint_shown(ray):
    """Ray sends this process's command line to its head as UTF-8: a file
    name that is not (a surrogate) would stop the start, so it goes
    escaped as records show it."""
    utils = getattr(getattr(ray, "_private", None), "utils", None)
    named = getattr(utils, "get_entrypoint_name", None)
    if named is None:
        yield
        return
    utils.get_entrypoint_name = lambda: shown_name(named())
    try:
        yield
    finally:
        utils.get_entrypoint_name = named


class Stops:
    """Ctrl-C and SIGTERM for a run on Ray, taken for the block of
    `taken()` (main thread only: the others do not take signals). Each
    raises KeyboardInterrupt, or within `held()` waits for its end, and is
    noted: a raise that lands where Python only reports it (an at-fork
    hook, a finalizer) is lost, and `check` raises it again."""

    def __init__(self):
        self.noted = None
        self._holding = self._escapable = False
        self._held_back = 0

    def __call__(self, signum, frame):
        self.noted = signum
        self._held_back += 1
        if not self._holding or (self._escapable and self._held_back > 1):
            raise KeyboardInterrupt

    def check(self):
        if self.noted is not None:
            raise KeyboardInterrupt

    @contextlib.contextmanager
    def held(self, escapable=False):
        """Ctrl-C and SIGTERM wait for the block, then raise: Ray's start,
        its shutdown and the folder's removal are not to be cut short.
        With `escapable`, a second one raises at once, for a start that
        does not end. (A signal mask would not do: the signal reaches
        Python's handler through any thread that leaves it unblocked.)"""
        before = self._holding, self._escapable
        self._holding, self._escapable = True, escapable
        self._held_back = 0
        try:
            yield
        finally:
            self._holding, self._escapable = before
        self.check()

    @contextlib.contextmanager
    def taken(self):
        if threading.current_thread() is not threading.main_thread():
            yield self
            return
        before = {s: signal.signal(s, self) for s in ENDING}
        try:
            yield self
        finally:
            for signum, handler in before.items():
                signal.signal(signum, handler)

    def retaken(self):
        """Sets these handlers again where something below Python's
        signal module replaced them."""
        if threading.current_thread() is threading.main_thread():
            for signum in ENDING:
                if signal.getsignal(signum) is self:
                    signal.signal(signum, self)


@contextlib.contextmanager
def _handlers_kept(ray):
    """Ray's start neither sets its own SIGTERM handler (it exits the
    process without our cleanup) nor, where its constant allows, the
    native crash handler that takes SIGTERM below Python and ends the
    process outright; its shutdown then leaves SIGTERM unhandled."""
    utils = getattr(getattr(ray, "_private", None), "utils", None)
    constants = getattr(getattr(ray, "_private", None), "ray_constants",
                        None)
    setter = getattr(utils, "set_sigterm_handler", None)
    flag = "RAY_DISABLE_FAILURE_SIGNAL_HANDLER"
    native = getattr(constants, flag, None)
    if setter is not None:
        utils.set_sigterm_handler = lambda handler: None
    if native is not None:
        setattr(constants, flag, True)
    try:
        yield
    finally:
        if setter is not None:
            utils.set_sigterm_handler = setter
        if native is not None:
            setattr(constants, flag, native)

# How long Ray's own processes get to end after its shutdown, before
# their folder is removed: one still ending may write to it again.
PROCESS_GRACE = 5.0


def _stop(ray, scratch, stops):
    with stops.held():
        with contextlib.suppress(Exception):
            ray.shutdown()
        stops.retaken()
        if scratch:
            os.close(scratch[1])
            _removed(scratch[0])


def _removed(folder, tries=3):
    """Removes Ray's folder once the processes that name it have ended,
    trying again while one still ending writes to it; what is left the
    next run sweeps (its lock is free)."""
    for _ in range(tries):
        _ended(folder, PROCESS_GRACE)
        shutil.rmtree(folder, ignore_errors=True)
        if not os.path.lexists(folder):
            return


def _ended(folder, seconds):
    """Waits up to `seconds` for the processes whose command line names
    `folder` to end (where /proc tells)."""
    needle = os.fsencode(folder)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and _naming(needle):
        time.sleep(0.1)


def _naming(needle):
    try:
        pids = [p for p in os.listdir("/proc") if p.isdigit()]
    except OSError:
        return False
    for pid in pids:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if needle in f.read():
                    return True
        except OSError:
            continue
    return False


@contextlib.contextmanager
def connected(ray, address, stops):
    """Connected to the cluster at `address` for the block; for `local`,
    a Ray instance of this machine's, on 127.0.0.1 with its files in a
    private folder, stopped after, however the block or the start ends.
    `stops` (a taken Stops) stays the handler of Ctrl-C and SIGTERM."""
    if ray.is_initialized():  # a caller in Python connected already
        yield
        return
    address = address or os.environ.get("RAY_ADDRESS") or LOCAL_RAY
    options = dict(address=address, logging_level=logging.WARNING,
                   log_to_driver=True)
    scratch = None
    try:
        if address == LOCAL_RAY:
            with stops.held():
                scratch = _scratch()
            options.update(include_dashboard=False, _temp_dir=scratch[0],
                           _node_ip_address="127.0.0.1")
        # A KeyboardInterrupt raised inside Ray's start could leave it
        # waiting for ever on a server it had half started.
        with _entrypoint_shown(ray), _handlers_kept(ray), \
                stops.held(escapable=True):
            try:
                ray.init(**options)
            finally:
                stops.retaken()
    except Exception as e:
        _stop(ray, scratch, stops)
        doing = ("start Ray on this machine" if scratch
                 else f"connect to the Ray cluster at {address}")
        raise ClusterError(f"cannot {doing}: {type(e).__name__}: {e}") \
            from None
    except SystemExit:  # a handler of Ray's, where it set one after all
        _stop(ray, scratch, stops)
        raise KeyboardInterrupt from None
    except BaseException:  # Ctrl-C during the start: Ray may be half up
        _stop(ray, scratch, stops)
        raise
    try:
        yield
    finally:
        _stop(ray, scratch, stops)


def _scratch():
    """(folder, lock descriptor): a new private folder for a Ray
    instance's files, in the temporary folder, or in /tmp when that is
    too deep for Ray's sockets. The folders that runs killed outright
    (SIGKILL) left there go first: their lock is free."""
    base = tempfile.gettempdir()
    if len(os.path.join(base, "fbray-12345678")) > SOCKET_ROOM:
        base = "/tmp"
    _sweep(base)
    folder = tempfile.mkdtemp(prefix=PREFIX, dir=base)
    fd = os.open(os.path.join(folder, LOCK), os.O_RDWR | os.O_CREAT
                 | os.O_CLOEXEC, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return folder, fd


def _sweep(base):
    """Removes the caller's own fbray- folders in `base` whose run is
    gone: each holds a lock its run keeps for its life. A folder without
    the lock file is left alone (a run may be making it now)."""
    try:
        names = [n for n in os.listdir(base) if n.startswith(PREFIX)]
    except OSError:
        return
    for name in names:
        folder = os.path.join(base, name)
        try:
            if os.lstat(folder).st_uid != os.geteuid():
                continue
            fd = os.open(os.path.join(folder, LOCK),
                         os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            continue  # its run is alive
        else:
            shutil.rmtree(folder, ignore_errors=True)
        finally:
            os.close(fd)

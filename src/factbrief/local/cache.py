"""Where the local service keeps its files, and the few rules for writing
them: a file appears under its final name only when it is complete.

    $XDG_CACHE_HOME/factbrief/      (default ~/.cache/factbrief)
        server/venv/                the server's own virtual environment
        server/wheels/              the built server wheel, kept
        models/                     the joined, verified model
        downloads/                  model parts, removed once joined
        logs/                       build and server logs
        running.json                the service `factbrief local start` left
        lock                        held while setting up
"""

import contextlib
import fcntl
import os
import shutil
from pathlib import Path

GB = 1000 ** 3
MB = 1000 ** 2


class LocalError(Exception):
    """A failure of the local service, told in one line with what to do."""


class Cache:
    """The paths of one cache folder; creates nothing until asked."""

    def __init__(self, root):
        self.root = Path(root)
        self.server = self.root / "server"
        self.venv = self.server / "venv"
        self.wheels = self.server / "wheels"
        self.models = self.root / "models"
        self.downloads = self.root / "downloads"
        self.logs = self.root / "logs"
        self.running = self.root / "running.json"

    @classmethod
    def default(cls, environ=None):
        environ = os.environ if environ is None else environ
        base = environ.get("XDG_CACHE_HOME") or ""
        # An XDG path must be absolute; a relative one is to be ignored.
        if not os.path.isabs(base):
            base = os.path.join(os.path.expanduser("~"), ".cache")
        return cls(Path(base) / "factbrief")

    def make(self, *dirs):
        for d in dirs or (self.root,):
            d.mkdir(parents=True, exist_ok=True)

    @contextlib.contextmanager
    def locked(self, on_wait=None):
        """Holds the cache's lock: one set-up at a time, across processes.
        `on_wait()` is called first if another process holds it."""
        self.make()
        with open(self.root / "lock", "a") as f:
            try:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                if on_wait is not None:
                    on_wait()
                fcntl.flock(f, fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(f, fcntl.LOCK_UN)


def need_space(folder, needed, what):
    """Raises LocalError unless `folder`'s file system has `needed` bytes."""
    folder = Path(folder)
    probe = folder
    while not probe.exists():
        probe = probe.parent
    free = shutil.disk_usage(probe).free
    if free < needed:
        raise LocalError(
            f"not enough disk space for {what}: it needs about "
            f"{needed / GB:.1f} GB free in {folder}, there are "
            f"{free / GB:.1f} GB; free some space or set XDG_CACHE_HOME to "
            f"a folder on a larger disk")


def publish(temp, final):
    """Moves the complete, flushed `temp` to `final` for good.

    The rename is atomic, and syncing the folder afterwards makes the new
    name survive a power cut: a reader sees the old state or the whole file.
    """
    os.replace(temp, final)
    fd = os.open(os.path.dirname(os.path.abspath(final)), os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def remove_quietly(path):
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


def human_size(n):
    return f"{n / GB:.1f} GB" if n >= GB else f"{n / MB:.0f} MB"


def human_time(seconds):
    seconds = int(seconds)
    if seconds < 60:
        return f"{seconds} s"
    return f"{seconds // 60} min {seconds % 60:02d} s"

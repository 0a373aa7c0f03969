"""Where the local service keeps its files, the rules for writing them (a
file appears under its final name only when complete; folders 0700,
files 0600), and the check that the whole cache is the caller's alone.

    $XDG_CACHE_HOME/factbrief/      (default ~/.cache/factbrief)
        server/llama-server         the server, built here, and its stamp
        models/                     the joined, verified model and its stamp
        downloads/                  model parts, removed once joined
        tools/                      pip, CMake and Ninja while setting up
        logs/                       build and server logs
        running.json                the service `factbrief local start` left
        lock                        held while setting up or starting
"""

import contextlib
import errno
import fcntl
import grp
import hashlib
import json
import os
import pwd
import shutil
import stat
from pathlib import Path

from factbrief.display import GB

CHUNK = 1 << 20
# Written by group or others: such a file or folder is not the caller's
# alone, whoever owns it (but see _shared_write).
SHARED_WRITE = stat.S_IWGRP | stat.S_IWOTH


class LocalError(Exception):
    """A failure of the local service, told in one line with what to do."""


class Cache:
    """The paths of one cache folder; creates nothing until asked."""

    def __init__(self, root):
        self.root = Path(root)
        self.server = self.root / "server"
        self.models = self.root / "models"
        self.downloads = self.root / "downloads"
        self.tools = self.root / "tools"
        self.logs = self.root / "logs"
        self.running = self.root / "running.json"
        self.lock = self.root / "lock"

    @classmethod
    def default(cls, environ=None):
        environ = os.environ if environ is None else environ
        base = environ.get("XDG_CACHE_HOME") or ""
        # An XDG path must be absolute; a relative one is to be ignored.
        if not os.path.isabs(base):
            base = os.path.join(os.path.expanduser("~"), ".cache")
        return cls(Path(base) / "factbrief")

    def make(self, *dirs):
        """Creates the folders (default: the root), each 0700, after
        checking that the cache is the caller's alone."""
        with os_errors("creating the cache folder"):
            _make_dirs(self.root)
            self.check()
            for d in dirs:
                _make_dirs(d)

    def check(self):
        """Raises LocalError unless the root, the folders above it and
        everything in it can be changed by the caller alone (or root).

        Another user able to write here could plant a server that the
        caller would run, a model it would trust, or a record of a
        service that takes the caller's texts.
        """
        uid = os.geteuid()
        with os_errors("checking the cache folder"):
            _check_above(self.root, uid)
            real = Path(os.path.realpath(self.root))
            if real != Path(os.path.abspath(self.root)):
                _check_above(real, uid)  # where a linked cache really is
            if not os.path.lexists(self.root):
                return
            _check_own(self.root, uid)
            for top, dirs, files in os.walk(self.root):
                for name in dirs + files:
                    _check_own(Path(top) / name, uid)

    @contextlib.contextmanager
    def locked(self, on_wait=None):
        """Holds the cache's lock: one set-up or start at a time, across
        processes. `on_wait()` is called first if another process holds
        it."""
        while True:
            self.make()
            with os_errors("taking the cache's lock"):
                fd = _open_private(self.lock, os.O_RDWR)
            try:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    if on_wait is not None:
                        on_wait()
                        on_wait = None
                    fcntl.flock(fd, fcntl.LOCK_EX)
                # `local remove` deletes the lock file with the cache while
                # holding it: a lock taken on a deleted file guards nothing.
                if _same_file(fd, self.lock):
                    break
            except BaseException:
                os.close(fd)
                raise
            os.close(fd)
        try:
            yield
        finally:
            os.close(fd)  # releases the lock


def _make_dirs(path):
    path = Path(path)
    if not path.is_dir():
        _make_dirs(path.parent)
        with contextlib.suppress(FileExistsError):
            os.mkdir(path, 0o700)


def _same_file(fd, path):
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return False
    own = os.fstat(fd)
    return (st.st_dev, st.st_ino) == (own.st_dev, own.st_ino)


def check_own(path):
    """Raises LocalError unless `path` (followed if a link) is the
    caller's and written by no one else."""
    with os_errors("checking the cache folder"):
        _check_own(path, os.geteuid())


def _check_own(path, uid):
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return  # a dangling link or a file just removed: nothing to trust
    # Root could change anything anyway; another user must not have.
    if st.st_uid not in (uid, 0):
        raise LocalError(
            f"{path} belongs to another user (uid {st.st_uid}), so factbrief "
            f"will not use it: it could hold a server or model planted by "
            f"them; remove it (as that user or root), or set XDG_CACHE_HOME "
            f"to a folder of your own")
    if _shared_write(st):
        fix = "700" if stat.S_ISDIR(st.st_mode) else "600"
        raise LocalError(
            f"{path} can be written by other users (mode "
            f"{stat.S_IMODE(st.st_mode):o}), so factbrief will not use it: "
            f"they could plant a server or model; make it yours alone with: "
            f"chmod {fix} {path}")


def _check_above(root, uid):
    """The folders that hold the cache: another user who can rename or
    replace entries in one of them could swap the whole cache."""
    found = changeable_folder_above(root, uid)
    if found is not None:
        folder, st = found
        raise LocalError(
            f"the cache folder {root} lies in {folder}, which another "
            f"user can change (owner uid {st.st_uid}, mode "
            f"{stat.S_IMODE(st.st_mode):o}), so they could replace the "
            f"cache; set XDG_CACHE_HOME to a folder of your own")


def foreign(st, uid):
    """Whether the file of stat `st` is not the caller's alone (uid):
    owned by another user than them or root, or written by others."""
    return st.st_uid not in (uid, 0) or _shared_write(st)


def changeable_folder_above(path, uid):
    """(folder, its stat) for the first folder above `path` that another
    user than `uid` (or root) owns, or may write without the sticky bit;
    None when there is none."""
    here = Path(os.path.abspath(path)).parent
    for folder in (here, *here.parents):
        try:
            st = os.stat(folder)
        except FileNotFoundError:
            continue  # created 0700 by make()
        sticky = st.st_mode & stat.S_ISVTX
        if (st.st_uid not in (uid, 0)
                or (_shared_write(st) and not sticky)):
            return folder, st
    return None


def _shared_write(st):
    """Whether someone besides the caller may write: others, or a group
    that is not the caller's private group. Systems with a group per user
    (umask 002) make the caller's own folders group-writable, harmlessly."""
    if st.st_mode & stat.S_IWOTH:
        return True
    return bool(st.st_mode & stat.S_IWGRP) and not _private_group(st.st_gid)


def _private_group(gid):
    """The caller's primary group, named after them, with no other
    members."""
    try:
        user = pwd.getpwuid(os.geteuid())
        group = grp.getgrgid(gid)
    except KeyError:
        return False
    return (gid == user.pw_gid and group.gr_name == user.pw_name
            and set(group.gr_mem) <= {user.pw_name})


@contextlib.contextmanager
def os_errors(doing):
    """Turns an OSError of the block into the one-line LocalError."""
    try:
        yield
    except OSError as e:
        where = f" ({e.filename})" if e.filename else ""
        full = e.errno in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG)
        hint = ("; free some space, or set XDG_CACHE_HOME to a folder on a "
                "larger disk" if full else "")
        raise LocalError(f"{doing} failed: {e.strerror or e}{where}"
                         f"{hint}") from None


def _open_private(path, flags, mode=0o600):
    return os.open(path, flags | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC,
                   mode)


def open_private(path, how="ab"):
    """The file at `path`, opened for writing ("ab" or "wb"), created 0600
    if missing; never through a symbolic link."""
    flags = os.O_WRONLY | (os.O_APPEND if how == "ab" else os.O_TRUNC)
    return os.fdopen(_open_private(path, flags), how)


def write_private(path, data, mode=0o600):
    """Writes `data` (bytes) to `path` in one step: a reader sees the old
    file or the whole new one."""
    temp = Path(f"{path}.tmp-{os.getpid()}")
    remove_quietly(temp)
    try:
        with os.fdopen(_open_private(temp, os.O_WRONLY | os.O_EXCL, mode),
                       "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        publish(temp, path)
    finally:
        remove_quietly(temp)


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


# --- Stamps: "verified" means hashed, and the hash still applies ----------

def _stamp_path(path):
    return Path(f"{path}.stamp")


def _identity(st):
    return {"size": st.st_size, "mtime_ns": st.st_mtime_ns,
            "inode": st.st_ino}


def sha256_of(path, on_chunk=None):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(CHUNK):
            digest.update(chunk)
            if on_chunk is not None:
                on_chunk(len(chunk))
    return digest.hexdigest()


def write_stamp(path, sha256, **extra):
    """Records that `path`, as it is now, has this sha256 (computed by the
    caller from the very bytes written)."""
    record = {**_identity(os.stat(path)), "sha256": sha256, **extra}
    write_private(_stamp_path(path), json.dumps(record).encode() + b"\n")


def read_stamp(path):
    """The stamp of `path` as a dict, with "current": whether the file is
    still the one stamped (same size, time and inode); None if there is
    no readable stamp."""
    try:
        record = json.loads(_stamp_path(path).read_text())
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    if not isinstance(record, dict):
        return None
    current = all(record.get(k) == v for k, v in _identity(st).items())
    return {**record, "current": current}


def remove_stamp(path):
    remove_quietly(_stamp_path(path))


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


def remove_quietly(path):
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


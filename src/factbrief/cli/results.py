"""The --output file of a resumable run: one JSON record per line,
appended as each input finishes.

A rerun with the same file keeps every "ok" record and does those inputs
no more; before it starts it drops the other records of its own inputs
(errors, skips), whose inputs it runs again, and a last line cut short by
a killed run. So when a run ends, each of its inputs has exactly one
record in the file, and records of inputs the run was not given stay as
they were.
"""

import fcntl
import json
import os
import tempfile

from factbrief.cli.corpus import record_key
from factbrief.cli.exceptions import UsageError
from factbrief.cli.writer import write_all

SYNC_SECONDS = 2.0  # how often appended records are forced to the disk


def _records(f, path):
    """(line, record or None) per line of `f`; None for a last line cut
    short or blank. A line that is no record of ours stops the run: the
    file is someone else's, and it is not ours to rewrite."""
    f.seek(0)
    for number, line in enumerate(f, 1):
        try:
            record = (json.loads(line) if line.endswith(b"\n")
                      and line.strip() else None)
        except ValueError:
            record = {}
        if record is not None and (not isinstance(record, dict)
                                   or record_key(record) is None
                                   or "status" not in record):
            raise UsageError(f"factbrief: {path} line {number} is not a "
                             f"factbrief record; give --output a new file "
                             f"or one an earlier run wrote")
        yield line, record


class Results:
    """The output file, locked against a second run for as long as this
    one holds it open."""

    def __init__(self, path):
        self.path = path
        self._fd = -1
        self._synced = 0.0
        self._count = 0  # lines found in the file
        self.dropped = 0  # earlier records superseded by this run

    def open(self, keys):
        """Opens the file (creating it), and drops the records this run
        supersedes; returns the keys among `keys` that have an "ok"
        record already."""
        self._fd = self._locked(self.path)
        with os.fdopen(os.dup(self._fd), "rb") as f:
            done, keep, torn = self._survey(f, keys)
        if len(keep) < self._count or torn:
            self._rewrite(keep)
        return done

    def _survey(self, f, keys):
        done, keep, torn = set(), set(), False
        for number, (_, record) in enumerate(_records(f, self.path)):
            self._count += 1
            if record is None:
                torn = True
                continue
            key = record_key(record)
            if record["status"] == "ok" and key not in done:
                done.add(key)
                keep.add(number)
            elif key not in keys:
                keep.add(number)
        self.dropped = self._count - len(keep)
        return done & keys, keep, torn

    @staticmethod
    def _locked(path):
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND
                     | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise UsageError(f"factbrief: another factbrief run is writing "
                             f"{path}") from None
        return fd

    def _rewrite(self, keep):
        """Replaces the file by the lines to keep, atomically: a run
        killed meanwhile leaves the file as it was."""
        folder = os.path.dirname(os.path.abspath(self.path))
        fd, temporary = tempfile.mkstemp(dir=folder, prefix=".factbrief-")
        try:
            with os.fdopen(os.dup(self._fd), "rb") as f, \
                    os.fdopen(fd, "wb") as out:
                for number, (line, _) in enumerate(_records(f, self.path)):
                    if number in keep:
                        out.write(line)
                out.flush()
                os.fchmod(out.fileno(), os.fstat(self._fd).st_mode & 0o777)
                os.fsync(out.fileno())
            os.replace(temporary, self.path)
        except BaseException:
            os.unlink(temporary)
            raise
        old, self._fd = self._fd, self._locked(self.path)
        os.close(old)

    def append(self, record, now):
        """Writes one record as one line, in one write: a killed run
        leaves whole records (and at worst a last line cut short, which
        the next run drops)."""
        data = (json.dumps(record, ensure_ascii=False) + "\n").encode()
        write_all(self._fd, data)
        if now - self._synced >= SYNC_SECONDS:
            os.fsync(self._fd)
            self._synced = now

    def close(self):
        if self._fd >= 0:
            try:
                os.fsync(self._fd)
            finally:
                os.close(self._fd)
                self._fd = -1

"""The --output file of a resumable run: one JSON record per line,
appended as each input finishes; docs/output-file.md says what it
promises.

The file is the user's: it is only ever appended to (through a symbolic
link, to the file the link names), never replaced; a later record of an
input supersedes the earlier ones, and readers take the last. Each
record says what made it ("made_by": the command, the sha256 of the text
sent, the prompt, the length and the service), and a rerun does again
exactly the inputs whose last record is not "ok" or was made from
another text or with other options. A last line cut short by a killed
run is cut off before anything is appended.
"""

import fcntl
import json
import os

from factbrief.cli.corpus import record_key
from factbrief.cli.exceptions import UsageError
from factbrief.cli.writer import write_all

SYNC_SECONDS = 2.0  # how often appended records are forced to the disk
MADE_BY = "made_by"
# What a rerun finds for an input, from its last record.
DONE, CHANGED, RETRIED, NEW = "done", "changed", "retried", "new"


def made_key(made_by):
    """`made_by` as one comparable text."""
    return json.dumps(made_by, sort_keys=True, ensure_ascii=False)


def _records(f, path):
    """(line, record or None) per line of `f`; None for a last line cut
    short or blank. A line that is no record of ours stops the run: the
    file is someone else's, and it is not ours to change."""
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


def encoded(record):
    """One record as one line of UTF-8; a string JSON can hold but UTF-8
    cannot (a lone surrogate in a corpus id) is written escaped."""
    try:
        return (json.dumps(record, ensure_ascii=False) + "\n").encode()
    except UnicodeEncodeError:
        return (json.dumps(record) + "\n").encode()


class Results:
    """The output file, locked against a second run for as long as this
    one holds it open."""

    def __init__(self, path):
        self.path = path
        self._fd = -1
        self._synced = 0.0
        # Per input key, from its last record: what made it, when "ok",
        # else None.
        self._last = {}

    def open(self):
        """Opens the file (creating it; a link is followed), takes its
        lock, reads what its records say, and cuts off a torn last
        line."""
        self._fd = self._locked(self.path)
        end = 0
        with os.fdopen(os.dup(self._fd), "rb") as f:
            for line, record in _records(f, self.path):
                if record is None:
                    if line.strip():
                        break  # a torn last line: cut off below
                    end += len(line)
                    continue
                end += len(line)
                made = record.get(MADE_BY)
                self._last[record_key(record)] = (
                    made_key(made) if record["status"] == "ok"
                    and isinstance(made, dict) else None)
        if end < os.fstat(self._fd).st_size:
            os.ftruncate(self._fd, end)
            os.fsync(self._fd)
        elif end and not self._ends_a_line(end):
            self._append(b"\n")

    def _ends_a_line(self, end):
        return os.pread(self._fd, 1, end - 1) == b"\n"

    def verdict(self, key, made_by):
        """DONE when the input's last record is "ok" and was made by
        `made_by`; else CHANGED (an "ok" record made otherwise), RETRIED
        (its last record failed) or NEW (none)."""
        if key not in self._last:
            return NEW
        last = self._last[key]
        if last is None:
            return RETRIED
        return DONE if last == made_key(made_by) else CHANGED

    def has_ok(self, key):
        return self._last.get(key) is not None

    @staticmethod
    def _locked(path):
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND
                         | os.O_CLOEXEC, 0o644)
        except OSError as e:
            raise UsageError(f"factbrief: cannot write {path}: "
                             f"{e.strerror or e}") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise UsageError(f"factbrief: another factbrief run is writing "
                             f"{path}") from None
        return fd

    def _append(self, data):
        write_all(self._fd, data)

    def append(self, record, now):
        """Writes one record as one line, in one write: a killed run
        leaves whole records (and at worst a last line cut short, which
        the next run cuts off)."""
        self._append(encoded(record))
        key = record_key(record)
        made = record.get(MADE_BY)
        self._last[key] = (made_key(made) if record["status"] == "ok"
                           and isinstance(made, dict) else None)
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

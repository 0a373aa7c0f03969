"""The streams a run of the command works with, and its standard error:
every line of its own or of others' passes the key mask, and a progress
line is kept at the bottom of a terminal."""

import os
import sys
from typing import NamedTuple

from factbrief.display import StatusLine, bar

PROGRESS_WIDTH = 70


class Environment(NamedTuple):
    """Where a run reads and writes, and the environment variables it
    reads; tests give their own."""
    stdin: object
    stdout: object
    stderr: object
    environ: dict

    @classmethod
    def current(cls, environ=None):
        return cls(sys.stdin, sys.stdout, sys.stderr,
                   os.environ if environ is None else environ)


class Output:
    """Standard error for a run: installed as sys.stderr while it runs,
    so that what anything else prints has the key masked too."""

    def __init__(self, stream, mask):
        self._stream = stream
        self.mask = mask
        self._line = StatusLine(stream, PROGRESS_WIDTH)

    def write(self, text):
        self._line.clear()
        return self._stream.write(self.mask(text))

    def say(self, line):
        """One line of the command's own, which holds no key."""
        self._line.clear()
        self._stream.write(line + "\n")
        self._stream.flush()

    def flush(self):
        self._stream.flush()

    def isatty(self):
        return self._stream.isatty()

    def __getattr__(self, name):
        return getattr(self._stream, name)

    def progress(self, done, total, label):
        self._line.draw(bar(done, total, label))

    def done(self):
        self._line.clear()
        self._stream.flush()

"""Progress of the long set-up steps on standard error.

On a terminal one line per step is redrawn every second with the time so
far, the usual duration and a detail the step updates; elsewhere (a log,
CI) a step prints one line when it starts and one when it ends.
"""

import sys
import threading
import time

from factbrief.display import StatusLine, human_time


class Progress:
    def __init__(self, stream=None):
        self.stream = stream if stream is not None else sys.stderr
        isatty = getattr(self.stream, "isatty", None)
        self.live = bool(isatty and isatty())
        self.line = StatusLine(self.stream)

    def say(self, line):
        self.stream.write(f"factbrief: {line}\n")
        self.stream.flush()

    def step(self, label, usual):
        return _Step(self, label, usual)


class _Step:
    def __init__(self, progress, label, usual):
        self._progress = progress
        self._label = label
        self._usual = usual
        self._detail = ""
        self._done = threading.Event()
        self._thread = None
        self._start = 0.0

    def update(self, detail):
        self._detail = detail

    def __enter__(self):
        self._start = time.monotonic()
        if self._progress.live:
            self._thread = threading.Thread(target=self._redraw, daemon=True,
                                            name="factbrief-progress")
            self._thread.start()
        else:
            self._progress.say(f"{self._label} (usually {self._usual})...")
        return self

    def __exit__(self, exc_type, exc, tb):
        self._done.set()
        if self._thread is not None:
            self._thread.join()
            self._progress.line.clear()
        took = human_time(time.monotonic() - self._start)
        if exc_type is None:
            self._progress.say(f"{self._label}: done in {took}")
        return False

    def _redraw(self):
        while True:
            took = human_time(time.monotonic() - self._start)
            detail = f" {self._detail}" if self._detail else ""
            self._progress.line.draw(f"factbrief: {self._label}{detail} ... "
                                     f"{took} (usually {self._usual})")
            if self._done.wait(1.0):
                return

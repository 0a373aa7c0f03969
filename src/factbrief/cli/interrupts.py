"""Ctrl-C for the command: taken from the moment the command starts, held
back while the command cannot yet say which inputs got no record, and
while a record is being written, so that a record is either out and
counted or not out at all. Standard library only: it is loaded before
the rest of the command.
"""

import contextlib
import signal
import threading


class Interrupts:
    """SIGINT for the command: raises KeyboardInterrupt, except while
    held, when it waits for the hold to end."""

    def __init__(self):
        self._holding = self._pending = False

    def _handler(self, signum, frame):
        if not self._holding:
            raise KeyboardInterrupt
        self._pending = True

    @contextlib.contextmanager
    def installed(self):
        """Takes SIGINT for the block, when this is the main thread and
        SIGINT still raises KeyboardInterrupt; else changes nothing."""
        if (threading.current_thread() is not threading.main_thread()
                or signal.getsignal(signal.SIGINT)
                is not signal.default_int_handler):
            yield self
            return
        signal.signal(signal.SIGINT, self._handler)
        try:
            yield self
        finally:
            signal.signal(signal.SIGINT, signal.default_int_handler)

    def hold(self):
        self._holding = True

    def release(self):
        """Ends the hold; raises KeyboardInterrupt for a Ctrl-C that came
        during it."""
        self._holding = False
        if self._pending:
            self._pending = False
            raise KeyboardInterrupt

    @contextlib.contextmanager
    def deferred(self):
        self.hold()
        try:
            yield
        finally:
            self._holding = False
        self.release()

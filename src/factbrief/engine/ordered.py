"""A small pool of worker threads whose results come back in input order."""

import collections
import queue
import threading


class OrderedPool:
    """Runs fn(item) for the items on up to `jobs` daemon threads and yields
    (item, result) in input order, as soon as the next one in order is done.

    At most 2 * jobs items are taken ahead of the one being yielded, so a
    long input list costs no memory up front. Daemon threads, so that an
    interrupted run can end without waiting for requests in flight. `fn`
    must not raise: its exceptions are passed on to the caller as results
    would be, and end the iteration.
    """

    NAME = "factbrief-worker"

    def __init__(self, fn, jobs):
        self._fn = fn
        self._jobs = jobs
        self._work = queue.Queue()
        self._threads = []

    def _worker(self):
        while True:
            task = self._work.get()
            if task is None:
                return
            item, slot = task
            try:
                slot.put((True, self._fn(item)))
            except BaseException as e:  # handed to the caller
                slot.put((False, e))

    def _submit(self, item):
        if len(self._threads) < self._jobs:
            thread = threading.Thread(target=self._worker, daemon=True,
                                      name=self.NAME)
            thread.start()
            self._threads.append(thread)
        slot = queue.Queue(maxsize=1)
        self._work.put((item, slot))
        return slot

    def map(self, items):
        items = iter(items)
        pending = collections.deque()
        finished = False
        try:
            for item in items:
                pending.append((item, self._submit(item)))
                if len(pending) < 2 * self._jobs:
                    continue
                yield self._next(pending)
            while pending:
                yield self._next(pending)
            finished = True
        finally:
            self.close(wait=finished)

    @staticmethod
    def _next(pending):
        item, slot = pending.popleft()
        ok, value = slot.get()
        if not ok:
            raise value
        return item, value

    def close(self, wait=False):
        """Ends the workers once they finish what they hold (waiting for
        that with `wait`); drops the queued items no worker has started."""
        while True:
            try:
                self._work.get_nowait()
            except queue.Empty:
                break
        for _ in self._threads:
            self._work.put(None)
        if wait:
            for thread in self._threads:
                thread.join()

    @classmethod
    def busy(cls):
        """Whether any worker thread of any pool is still running."""
        return any(t.name == cls.NAME and t.is_alive()
                   for t in threading.enumerate())

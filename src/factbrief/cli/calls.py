"""How the command makes its calls: one shared HTTP pool for every client
the module builds, each call's printed traceback kept apart, a deadline
for each call, and a small pool of worker threads whose results come back
in input order.
"""

import collections
import contextlib
import queue
import sys
import threading
import time

_MISSING = object()


class CallLog(threading.local):
    """Per thread: what the module printed during the current call, the
    exception it was handling when it printed, the last HTTP answer
    (status, content type) the shared pool received, and the call's
    deadline (a time.monotonic() value)."""

    def __init__(self):
        self.capturing = False
        self.printed = []
        self.exception = None
        self.response = None
        self.deadline = None

    @contextlib.contextmanager
    def capture(self, deadline=None):
        self.capturing, self.printed = True, []
        self.exception = self.response = None
        self.deadline = deadline
        try:
            yield self
        finally:
            self.capturing = False
            self.deadline = None

    def left(self):
        """Seconds left before the current call's deadline; None without
        one."""
        if self.deadline is None:
            return None
        return self.deadline - time.monotonic()

    def keep(self, text):
        """Takes a write to standard error; False when not capturing."""
        if not self.capturing:
            return False
        if self.exception is None:
            # The module prints with traceback.print_exc() inside its
            # handler, so the exception being handled is the one printed.
            self.exception = sys.exc_info()[1]
        self.printed.append(text)
        return True

    def saw_response(self, response):
        self.response = (response.status_code,
                         response.headers.get("content-type", ""))


def _http_library(pool):
    """The HTTP library the client is built on (httpx, or the fork that
    newer clients use): the package whose Client the pool is."""
    for cls in type(pool).__mro__:
        library = sys.modules.get(cls.__module__.partition(".")[0])
        client = getattr(library, "Client", None)
        if isinstance(client, type) and isinstance(pool, client):
            return library
    raise RuntimeError(f"no HTTP library found for {type(pool).__name__}")


def _deadline_hooks(openai, library, log):
    """Event hooks that hold every request of a call to the call's
    deadline (CallLog.left): across the client's retries, and while a
    body arrives slowly, which no per-read timeout ends.

    Past the deadline they raise the client's own APITimeoutError, which
    it passes on without another retry.
    """
    def on_request(request):
        left = log.left()
        if left is None:
            return
        if left <= 0:
            raise openai.APITimeoutError(request=request)
        timeouts = dict(request.extensions.get("timeout") or {})
        for phase in ("connect", "read", "write", "pool"):
            given = timeouts.get(phase)
            timeouts[phase] = left if given is None else min(given, left)
        # The transport looks this dict up before each read, so that
        # shortening "read" later also shortens the body's reads.
        request.extensions["timeout"] = timeouts

    class Paced(library.SyncByteStream):
        def __init__(self, stream, request):
            self._stream = stream
            self._request = request

        def __iter__(self):
            timeouts = self._request.extensions.get("timeout")
            for chunk in self._stream:
                left = log.left()
                if left is not None and left <= 0:
                    raise openai.APITimeoutError(request=self._request)
                if left is not None and isinstance(timeouts, dict):
                    timeouts["read"] = min(timeouts.get("read") or left,
                                           left)
                yield chunk

        def close(self):
            self._stream.close()

    def on_response(response):
        log.saw_response(response)
        if log.deadline is not None:
            response.stream = Paced(response.stream, response.request)

    return {"request": [on_request], "response": [on_response]}


@contextlib.contextmanager
def shared_clients(module, log, timeout=None, max_retries=None):
    """Sets the module's `OpenAI` global to a factory of clients that share
    one HTTP connection pool, for the block; restores it afterwards. A
    call made inside `log.capture(deadline)` ends by its deadline.

    A client of its own loads the certificate bundle each time, about
    45 ms of CPU with the interpreter lock held; a shared pool loads it
    once and keeps connections open between calls and threads.
    """
    import openai
    pool = openai.DefaultHttpxClient()
    pool.event_hooks = _deadline_hooks(openai, _http_library(pool), log)
    options = {}
    if timeout is not None:
        options["timeout"] = timeout
    if max_retries is not None:
        options["max_retries"] = max_retries

    class Client(openai.OpenAI):
        def _calculate_retry_timeout(self, *args, **kw):
            # The wait before a retry ends by the deadline at the latest;
            # the retry then ends at once (a client without this method
            # waits as it would, and its retry ends at once).
            wait = super()._calculate_retry_timeout(*args, **kw)
            left = log.left()
            return wait if left is None else max(0.0, min(wait, left))

    def factory(base_url, api_key):
        return Client(base_url=base_url, api_key=api_key, http_client=pool,
                      **options)

    saved = module.__dict__.get("OpenAI", _MISSING)
    module.OpenAI = factory
    try:
        yield factory
    finally:
        if saved is _MISSING:
            module.__dict__.pop("OpenAI", None)
        else:
            module.OpenAI = saved
        pool.close()


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

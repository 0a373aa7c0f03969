"""How the engine makes its calls: one shared HTTP pool for every client
the module builds, a deadline for each call, and what the module prints
on a failure kept for that call, without changing what any other code in
the process gets from the module.

The module looks up its globals `OpenAI` and `traceback` afresh at every
call. While an engine is open, both are hooks: on a thread that is making
an engine's call they give that engine's client and keep the traceback;
on any other thread they hand over to what was there before.
"""

import contextlib
import sys
import threading
import time
import traceback as traceback_module

_MISSING = object()


class CallLog(threading.local):
    """Per thread: the exception the module printed during the current
    call and its traceback text, the last HTTP answer (status, content
    type) the shared pool received, and the call's deadline (a
    time.monotonic() value)."""

    def __init__(self):
        self.printed = ""
        self.exception = None
        self.response = None
        self.deadline = None

    @contextlib.contextmanager
    def capture(self, deadline=None):
        self.printed, self.exception, self.response = "", None, None
        self.deadline = deadline
        try:
            yield self
        finally:
            self.deadline = None

    def left(self):
        """Seconds left before the current call's deadline; None without
        one."""
        if self.deadline is None:
            return None
        return self.deadline - time.monotonic()

    def took_traceback(self, exception, text):
        if self.exception is None:
            self.exception = exception
        self.printed += text

    def saw_response(self, response):
        self.response = (response.status_code,
                         response.headers.get("content-type", ""))


class _Calling(threading.local):
    """The call this thread is making for an engine, if any."""
    call = None


class _TracebackHook:
    """The module's `traceback` while an engine is open: `print_exc` in an
    engine's call keeps the traceback for the call; everything else is
    the module it stands for."""

    def __init__(self, hooks, real):
        self._hooks = hooks
        self._real = real

    def print_exc(self, *args, **kw):
        call = self._hooks.calling.call
        if call is None:
            return self._hooks.original("traceback", self._real).print_exc(
                *args, **kw)
        call.log.took_traceback(sys.exc_info()[1],
                                traceback_module.format_exc())
        return None

    def __getattr__(self, name):
        return getattr(self._hooks.original("traceback", self._real), name)


class ModuleHooks:
    """The hooks, installed in the module while any engine is open and
    taken out when the last one closes, unless the global was replaced
    meanwhile (then the replacement stays)."""

    NAMES = ("OpenAI", "traceback")

    def __init__(self):
        self._lock = threading.Lock()
        self._users = 0
        self._module = None
        self._saved = {}
        self._installed = {}
        self.calling = _Calling()

    def original(self, name, fallback=_MISSING):
        found = self._saved.get(name, _MISSING)
        if found is _MISSING:
            found = fallback
        if found is _MISSING:
            raise NameError(f"name '{name}' is not defined")
        return found

    def make_client(self, *args, **kw):
        """The module's `OpenAI` while hooked."""
        call = self.calling.call
        if call is None:
            return self.original("OpenAI")(*args, **kw)
        return call.factory(*args, **kw)

    def open(self, module):
        with self._lock:
            if self._users == 0:
                self._module = module
                self._saved = {n: module.__dict__.get(n, _MISSING)
                               for n in self.NAMES}
                self._installed = {
                    "OpenAI": self.make_client,
                    "traceback": _TracebackHook(
                        self, self._saved["traceback"])}
                for name, hook in self._installed.items():
                    setattr(module, name, hook)
            self._users += 1

    def close(self):
        with self._lock:
            self._users -= 1
            if self._users:
                return
            module, self._module = self._module, None
            for name, hook in self._installed.items():
                if module.__dict__.get(name, _MISSING) is not hook:
                    continue  # replaced by its owner since: theirs now
                if self._saved[name] is _MISSING:
                    del module.__dict__[name]
                else:
                    setattr(module, name, self._saved[name])
            self._saved, self._installed = {}, {}

    @contextlib.contextmanager
    def making(self, call):
        """Marks this thread as making `call` (its .factory and .log)."""
        outer, self.calling.call = self.calling.call, call
        try:
            yield
        finally:
            self.calling.call = outer


HOOKS = ModuleHooks()


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


class SharedClients:
    """A factory of `openai` clients that share one HTTP connection pool.
    A call made inside `log.capture(deadline)` ends by its deadline.

    A client of its own loads the certificate bundle each time, about
    45 ms of CPU with the interpreter lock held; a shared pool loads it
    once and keeps connections open between calls and threads.
    """

    def __init__(self, log, timeout=None, max_retries=None):
        import openai
        self.log = log
        self._pool = openai.DefaultHttpxClient()
        self._pool.event_hooks = _deadline_hooks(
            openai, _http_library(self._pool), log)
        self._options = {}
        if timeout is not None:
            self._options["timeout"] = timeout
        if max_retries is not None:
            self._options["max_retries"] = max_retries

        class Client(openai.OpenAI):
            def _calculate_retry_timeout(self, *args, **kw):
                # The wait before a retry ends by the deadline at the
                # latest; the retry then ends at once (a client without
                # this method waits as it would, and its retry ends at
                # once).
                wait = super()._calculate_retry_timeout(*args, **kw)
                left = log.left()
                return wait if left is None else max(0.0, min(wait, left))
        self._client_class = Client

    def factory(self, base_url=None, api_key=None, **kw):
        return self._client_class(base_url=base_url, api_key=api_key,
                                  http_client=self._pool,
                                  **{**self._options, **kw})

    def close(self):
        self._pool.close()

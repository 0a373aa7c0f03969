"""The in-process client double and the small helpers around it. Standard
library only, so bench/ and scripts/ import it as they are."""

import contextlib
import os
import re
import socket
import ssl
import sys
import threading
from types import SimpleNamespace

_MISSING = object()


class _Node:
    """An object whose attributes are `children`; with a `log`, each read
    of one is logged as "label.name". A child that is an exception (or an
    exception class) is raised instead of returned."""

    def __init__(self, log, label, **children):
        vars(self).update(_log=log, _label=label, _children=children)

    def __getattribute__(self, name):
        d = object.__getattribute__(self, "__dict__")
        if name not in d.get("_children", ()):
            return object.__getattribute__(self, name)
        if d["_log"] is not None:
            d["_log"].append(d["_label"] + "." + name)
        return _raise_or_return(d["_children"][name], name)


class _Choices(list):
    def __getitem__(self, index):
        if self.log is not None:
            self.log.append(("choices[]", index))
        return super().__getitem__(index)


def _raise_or_return(value, step):
    if isinstance(value, type) and issubclass(value, BaseException):
        # A new instance each time: raising one instance again and again
        # would grow its traceback.
        raise value(f"raised by the client double at {step}")
    if isinstance(value, BaseException):
        try:
            raise value
        finally:
            del value  # the traceback keeps this frame: no cycle through it
    return value


class ClientDouble:
    """Takes the place of the `OpenAI` class: called as
    `OpenAI(base_url=..., api_key=...)`, its client's
    `chat.completions.create(...)` answers `reply`, or, when `reply` is
    callable, reply(request keywords).

    `faults` tell it how to fail: client, chat, create or content map to
    an exception (an instance, raised as it is, or a class, raised anew
    each time) raised at that step; choices maps to what the response
    gives instead of its choices (e.g. []).

    With `record` (the default), every call is kept in `log`, in order:
    ("OpenAI", args, [(key, value), ...]) and ("create", args, [...]);
    `trace` adds each attribute read as "label.name". Pass your own list
    as `log` to interleave other recorders' entries. Without `record`
    nothing is kept (for loops of millions of calls). A fixed `reply`
    with no faults is answered from one response made up front.
    """

    def __init__(self, reply="answer", *, record=True, trace=False,
                 log=None, **faults):
        self.reply, self.faults = reply, faults
        self.log = (([] if log is None else log) if record else None)
        self._trace = self.log if trace else None
        self._lock = threading.Lock()
        # A fixed answer with nothing to fail or trace: one client, one
        # response, made once, as cheap as a client can be (benchmarks
        # time what remains).
        self._fixed = None
        if not (faults or trace or callable(reply)):
            response = SimpleNamespace(choices=[SimpleNamespace(
                message=SimpleNamespace(role="assistant", content=reply))])
            create = self._fixed_create(response)
            self._fixed = SimpleNamespace(chat=SimpleNamespace(
                completions=SimpleNamespace(create=create)))

    def _fixed_create(self, response):
        def create(*args, **kw):
            if self.log is not None:
                self._keep(("create", args, list(kw.items())))
            return response
        return create

    def __call__(self, *args, **kw):
        if self.log is not None:
            self._keep(("OpenAI", args, list(kw.items())))
        if self._fixed is not None:
            return self._fixed
        if "client" in self.faults:
            _raise_or_return(self.faults["client"], "client")
        log = self._trace
        chat = _Node(log, "chat", completions=_Node(
            log, "completions", create=self.create))
        return _Node(log, "client", chat=self.faults.get("chat", chat))

    def create(self, *args, **kw):
        self._keep(("create", args, list(kw.items())))
        if "create" in self.faults:
            _raise_or_return(self.faults["create"], "create")
        reply = self.reply(kw) if callable(self.reply) else self.reply
        log = self._trace
        message = _Node(log, "message",
                        content=self.faults.get("content", reply))
        choices = _Choices([_Node(log, "choice", message=message)])
        choices.log = log
        return _Node(log, "response",
                     choices=self.faults.get("choices", choices))

    def _keep(self, entry):
        if self.log is not None:
            with self._lock:
                self.log.append(entry)

    def calls(self, kind):
        """The logged calls of one kind: "OpenAI" or "create"."""
        return [e for e in self.log if type(e) is tuple and e[0] == kind]

    @property
    def clients(self):
        """The keywords each client was made with."""
        return [dict(e[2]) for e in self.calls("OpenAI")]

    @property
    def requests(self):
        """The keywords of each request."""
        return [dict(e[2]) for e in self.calls("create")]


@contextlib.contextmanager
def null_stderr():
    """Standard error sent to the null device for the block: printed
    tracebacks cost neither memory nor a terminal's time."""
    saved = sys.stderr
    with open(os.devnull, "w") as sink:
        sys.stderr = sink
        try:
            yield
        finally:
            sys.stderr = saved


@contextlib.contextmanager
def module_global(module, name, value):
    """Sets a global of `module` for the block, then restores what was
    there (or removes it)."""
    saved = module.__dict__.get(name, _MISSING)
    setattr(module, name, value)
    try:
        yield value
    finally:
        if saved is _MISSING:
            module.__dict__.pop(name, None)
        else:
            setattr(module, name, saved)


def real_openai():
    """The real client class, whatever the module global holds now."""
    import openai
    return openai.OpenAI


# Read by the real client at construction: the caller's must not steer it.
CLIENT_ENVIRONMENT = (
    "OPENAI_API_KEY", "OPENAI_BASE_URL", "OPENAI_ORG_ID",
    "OPENAI_PROJECT_ID", "OPENAI_ADMIN_KEY", "OPENAI_WEBHOOK_SECRET",
    "OPENAI_CUSTOM_HEADERS", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",
    "http_proxy", "https_proxy", "all_proxy", "SSL_CERT_DIR",
    "SSL_CERT_FILE")


def client_environment(scratch=None):
    """{name: value, or None to remove} that keeps the caller's settings
    out of the real client.

    Each call makes a new client, and each client loads the trusted
    certificates (about 50 ms of held interpreter lock for the system
    bundle). Plain HTTP to 127.0.0.1 checks none, so with a `scratch`
    directory a one-certificate bundle there stands in for it.
    """
    changes = dict.fromkeys(CLIENT_ENVIRONMENT)
    changes["NO_PROXY"] = "127.0.0.1"
    if scratch is None:
        return changes
    paths = ssl.get_default_verify_paths()
    try:
        with open(paths.cafile or paths.openssl_cafile) as f:
            pem = f.read()
    except (OSError, TypeError):
        return changes
    first = re.search(r"-----BEGIN CERTIFICATE-----.*?"
                      r"-----END CERTIFICATE-----\n", pem, re.S)
    if first:
        path = os.path.join(scratch, "one-certificate.pem")
        with open(path, "w") as f:
            f.write(first.group(0))
        changes["SSL_CERT_FILE"] = path
    return changes


def closed_port_url():
    """A base URL on 127.0.0.1 where nothing listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/v1"


def resident_kib():
    """This process's resident memory, in KiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def run_threads(worker, count, bound):
    """Runs worker(0..count-1) on daemon threads and waits `bound` seconds
    for each; fails when one is still running (a hang, not a slow test)."""
    threads = [threading.Thread(target=worker, args=(i,), daemon=True)
               for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(bound)
    assert not any(t.is_alive() for t in threads), "a thread still runs"


def bounded(fn, bound=30.0):
    """fn() on a worker thread, its result or exception handed back; a
    hang fails the test instead of the suite."""
    outcome = {}

    def run(_):
        try:
            outcome["value"] = fn()
        except BaseException as e:  # handed to the caller below
            outcome["error"] = e

    run_threads(run, 1, bound)
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]

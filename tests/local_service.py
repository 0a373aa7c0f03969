"""Test doubles for the chat-completion service.

`StandIn` takes the place of the module's `OpenAI` global in-process;
`LocalService` is a real HTTP service on 127.0.0.1 for the `openai`
client to talk to, whose behaviour each request picks by its URL path.
"""

import contextlib
import json
import os
import re
import socket
import ssl
import struct
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import factbrief.factbrief as fb

LEAD_IN = ("作为一个事实信息核查员，请从如下内容中抽取出事实性信息，"
           "并根据事实信息总结出摘要, 要求字数在")
MIDDLE = "字左右。要求: "
STOP = "。"


def clean(text):
    return re.sub(r"[^\w\s]", "", text)


def text_of(value):
    """str(value); a str subclass that str() gives back goes through
    format(), as the prompt text is built."""
    text = str(value)
    return text if type(text) is str else format(text, "")


def extract_message(content, prompt="", length=200):
    """The one user message `extract` sends for these arguments."""
    return (LEAD_IN + text_of(length) + MIDDLE + text_of(prompt) + STOP
            + clean(content))


def title_message(content, prompt=""):
    return prompt + STOP + clean(content)


def echoed_record(method, content, prompt="", length=200, model="shared"):
    """The record a call gets from LocalService's "echo" behaviours."""
    if method == "extract":
        answer = {"summary": f"echo:{model}:"
                  + extract_message(content, prompt, length)}
    else:
        answer = {"title": f"echo:{model}:" + title_message(content, prompt)}
    return {**answer, "content": clean(content), "status": "ok"}


def run_threads(worker, count, bound):
    """Runs worker(0..count-1) on daemon threads and waits `bound` seconds
    for each; fails when one is still running (a hang, not a slow test)."""
    threads = [threading.Thread(target=worker, args=(i,), daemon=True)
               for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(bound)
    assert not any(t.is_alive() for t in threads)


class NullStream:
    """A stderr that keeps nothing, so printed tracebacks cost no memory."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


# ---- in-process stand-in for the OpenAI client class ----

class _Namespace:
    def __init__(self, **kw):
        self.__dict__.update(kw)


def response_with(reply):
    """An object shaped like a chat-completion response carrying `reply`."""
    message = _Namespace(content=reply)
    return _Namespace(choices=[_Namespace(message=message)])


class StandIn:
    """Callable like `OpenAI(base_url=..., api_key=...)`.

    `reply` is returned as the answer, or, when callable, called with the
    request's keyword arguments to make it. `raises`, an exception class,
    is raised anew by `create`, or by the constructor when
    `raise_in_constructor` is true (a new instance each time: re-raising
    one instance would grow its traceback). With `record`, every client
    and request is kept in `clients` and `requests`.
    """

    def __init__(self, reply="answer", raises=None,
                 raise_in_constructor=False, record=False):
        self.reply = reply
        self.raises = raises
        self.raise_in_constructor = raise_in_constructor
        self.record = record
        self.clients = []
        self.requests = []
        self._lock = threading.Lock()

    def __call__(self, **kw):
        if self.record:
            with self._lock:
                self.clients.append(kw)
        if self.raises is not None and self.raise_in_constructor:
            raise self.raises("raised by the stand-in client")
        completions = _Namespace(create=self._create)
        return _Namespace(chat=_Namespace(completions=completions))

    def _create(self, **kw):
        if self.record:
            with self._lock:
                self.requests.append(kw)
        if self.raises is not None:
            raise self.raises("raised by the stand-in request")
        reply = self.reply(kw) if callable(self.reply) else self.reply
        return response_with(reply)


_MISSING = object()


@contextlib.contextmanager
def module_global(name, value):
    """Sets a global of the extension module for the block, then restores
    what was there (or removes it)."""
    saved = fb.__dict__.get(name, _MISSING)
    setattr(fb, name, value)
    try:
        yield value
    finally:
        if saved is _MISSING:
            fb.__dict__.pop(name, None)
        else:
            setattr(fb, name, saved)


# ---- a real HTTP service on 127.0.0.1 ----

class _Handler(BaseHTTPRequestHandler):
    """Serves /<mode>/v1/chat/completions; see LocalService."""

    server_version = "local-service"

    def log_message(self, *args):
        pass

    def do_POST(self):
        service = self.server.service
        segment = self.path.split("/")[1]
        mode, _, arg = segment.partition("-")
        service.count(segment)
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with service.in_flight():
            handler = getattr(self, "_mode_" + mode, None)
            if handler is None:
                self._json(404, {"error": {"message": "no such mode"}})
            else:
                handler(body, arg)

    def _json(self, status, obj, headers=()):
        data = json.dumps(obj, ensure_ascii=False).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        for key, value in headers:
            self.send_header(key, value)
        self.end_headers()
        self.wfile.write(data)

    @staticmethod
    def _echo_of(body):
        request = json.loads(body)
        return "echo:%s:%s" % (request["model"],
                               request["messages"][0]["content"])

    def _mode_echo(self, body, arg):
        self._json(200, {"choices": [
            {"message": {"role": "assistant",
                         "content": self._echo_of(body)}}]})

    def _mode_slow(self, body, arg):
        # Answers after `arg` seconds, sooner if the service is stopping.
        self.server.service.stopping.wait(float(arg or 0.3))
        self._mode_echo(body, arg)

    def _mode_hang(self, body, arg):
        # Never answers: drops the connection at the service's deadline.
        self.server.service.stopping.wait(float(arg or 0.5))
        self.close_connection = True

    def _mode_reset(self, body, arg):
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                   struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True

    def _mode_garbage(self, body, arg):
        self.wfile.write(b"\x00\xffnot http at all\r\n\r\n" + os.urandom(64))
        self.close_connection = True

    def _mode_badjson(self, body, arg):
        data = b'{"choices": [ this is not json'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _mode_nochoices(self, body, arg):
        self._json(200, {"choices": []})

    def _mode_notext(self, body, arg):
        self._json(200, {"choices": [{"message": {"role": "assistant"}}]})

    def _mode_status(self, body, arg):
        self._json(int(arg), {"error": {"message": "refused"}})


class LocalService:
    """A threaded HTTP service on 127.0.0.1 with behaviours chosen by path.

    `url(mode)` gives the base URL for a mode: echo (answers
    "echo:<model>:<message>"), slow-<s>, hang-<s>, reset, garbage,
    badjson, nochoices, notext, status-<code>. `hits` counts requests per
    mode; `peak` is the most requests handled at once.
    """

    def __init__(self):
        self.stopping = threading.Event()
        self.hits = {}
        self.peak = 0
        self._active = 0
        self._lock = threading.Lock()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self._server.daemon_threads = True
        self._server.request_queue_size = 64
        self._server.service = self
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(timeout=5)

    def url(self, mode):
        host, port = self._server.server_address
        return f"http://{host}:{port}/{mode}/v1"

    def count(self, mode):
        with self._lock:
            self.hits[mode] = self.hits.get(mode, 0) + 1

    def reset_counts(self):
        with self._lock:
            self.hits.clear()
            self.peak = 0

    @contextlib.contextmanager
    def in_flight(self):
        with self._lock:
            self._active += 1
            self.peak = max(self.peak, self._active)
        try:
            yield
        finally:
            with self._lock:
                self._active -= 1


CLIENT_ENVIRONMENT = (
    "OPENAI_API_KEY", "OPENAI_BASE_URL", "OPENAI_ORG_ID",
    "OPENAI_PROJECT_ID", "OPENAI_ADMIN_KEY", "OPENAI_WEBHOOK_SECRET",
    "OPENAI_CUSTOM_HEADERS", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",
    "http_proxy", "https_proxy", "all_proxy")


def quiet_client_environment(monkeypatch, scratch):
    """Keeps the caller's environment out of the openai client.

    Each call makes a new client, and each client loads the trusted
    certificates (about 50 ms of held interpreter lock for the system
    bundle). Plain HTTP to 127.0.0.1 checks none, so a one-certificate
    bundle in `scratch` stands in for it.
    """
    for name in CLIENT_ENVIRONMENT + ("SSL_CERT_DIR",):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    paths = ssl.get_default_verify_paths()
    bundle = paths.cafile or paths.openssl_cafile
    try:
        with open(bundle) as f:
            pem = f.read()
    except OSError:
        return
    first = re.search(r"-----BEGIN CERTIFICATE-----.*?"
                      r"-----END CERTIFICATE-----\n", pem, re.S)
    if first:
        path = os.path.join(scratch, "one-certificate.pem")
        with open(path, "w") as f:
            f.write(first.group(0))
        monkeypatch.setenv("SSL_CERT_FILE", path)


def real_openai():
    """The real client class, whatever the module global holds now."""
    import openai
    return openai.OpenAI


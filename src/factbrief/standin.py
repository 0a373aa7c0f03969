"""A local stand-in for an OpenAI-compatible chat-completion service.

It answers POST /v1/chat/completions (and /chat/completions) on 127.0.0.1
with a well-formed, non-streaming chat completion whose text says plainly
that it comes from this stand-in and quotes the start of the text it was
sent. No model is involved: the answer is a pure function of the request.
Standard library only, so the demo and the tests need no account.

    with StandIn() as server:
        ai = AISummary(server.base_url, "stand-in", "stand-in")
        ai.extract("...")

A stand-in may also misbehave on purpose, to show how a client copes:
`StandIn(mode="status", status=401)` refuses every request with that HTTP
status, "html" answers 200 with a web page as a gateway's sign-in page
does, "malformed" answers 200 with a JSON content type and a body that is
not JSON, "close" drops the connection without answering; `delay` seconds
pass before any answer, and `trickle` seconds between the bytes of its
body, as from a service that stalls mid-answer. `message` replaces the
refusal's text; "{key}" in it becomes the key the request carried, as
some services quote it. With `retry_after`, a refusal asks the client to
try again after that many seconds (Retry-After) instead of giving up.

`python -m factbrief.standin` serves until interrupted.
"""

import contextlib
import hashlib
import json
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

__all__ = ["StandIn", "answer_for", "MODES"]

MODES = ("answer", "status", "html", "malformed", "close")

PATHS = ("/v1/chat/completions", "/chat/completions")
QUOTE_CHARS = 60
# The service methods end their instruction with this full stop and append
# the cleaned text, from which cleaning has removed every such stop.
_INSTRUCTION_END = "\u3002"


def answer_for(user_text):
    """The stand-in's reply to one user message: labelled, deterministic,
    and stating no number of its own, so that the numbers check finds
    nothing to flag in it; a number is never cut in the quote."""
    text = user_text.rpartition(_INSTRUCTION_END)[2]
    text = " ".join(text.split())
    end = QUOTE_CHARS
    while 0 < end < len(text) and _in_number(text[end - 1]) \
            and _in_number(text[end]):
        end -= 1
    quote = text[:end] + ("…" if len(text) > end else "")
    return (f"[factbrief stand-in, not a language model] The text "
            f"begins: \u300c{quote}\u300d")


def _in_number(char):
    return char.isdecimal() or char in ".,:/-"


def _error(status, message):
    return status, {"error": {"message": message,
                              "type": "invalid_request_error",
                              "param": None, "code": None}}


def _complete(body):
    """(status, JSON reply) for one parsed request body."""
    if not isinstance(body, dict):
        return _error(400, "the body must be a JSON object")
    if body.get("stream"):
        return _error(400, "the stand-in does not stream")
    messages = body.get("messages")
    if not isinstance(messages, list) or not messages:
        return _error(400, "'messages' must be a non-empty list")
    user = [m.get("content") for m in messages
            if isinstance(m, dict) and m.get("role") == "user"]
    if not user or not isinstance(user[-1], str):
        return _error(400, "no user message with text content")
    text = answer_for(user[-1])
    digest = hashlib.sha256(json.dumps(body, sort_keys=True).encode())
    prompt_tokens = sum(len(str(m)) for m in messages) // 4
    return 200, {
        "id": "chatcmpl-standin-" + digest.hexdigest()[:24],
        "object": "chat.completion",
        "created": int(time.time()),
        "model": body.get("model") or "stand-in",
        "choices": [{"index": 0,
                     "message": {"role": "assistant", "content": text},
                     "finish_reason": "stop"}],
        "usage": {"prompt_tokens": prompt_tokens,
                  "completion_tokens": len(text) // 4,
                  "total_tokens": prompt_tokens + len(text) // 4},
    }


_PAGE = (b"<!DOCTYPE html>\n<html><head><title>Sign in</title></head>"
         b"<body><p>Please sign in to continue.</p></body></html>\n")


class _Handler(BaseHTTPRequestHandler):
    server_version = "factbrief-standin"
    protocol_version = "HTTP/1.1"  # keep-alive, so clients can reuse
    disable_nagle_algorithm = True  # headers and body leave at once

    def do_POST(self):
        standin = self.server.standin
        standin._connected(self.client_address)
        try:
            size = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(size)
        except ValueError:
            return self._reply(*_error(400, "bad Content-Length"))
        if self.path.split("?")[0].rstrip("/") not in PATHS:
            return self._reply(*_error(404, f"no route {self.path}"))
        try:
            body = json.loads(raw.decode("utf-8"))
        except (ValueError, UnicodeDecodeError):
            return self._reply(*_error(400, "the body is not JSON"))
        standin._record(body, self.headers.get("Authorization", ""))
        with standin._answering():
            self._answer(standin, body)

    def _answer(self, standin, body):
        if standin.delay:
            standin._stopping.wait(standin.delay)
        if standin.mode == "answer":
            self._reply(*_complete(body))
        elif standin.mode == "status":
            self._reply(*_error(standin.status, self._refusal(standin)))
        elif standin.mode == "html":
            self._send(200, "text/html; charset=utf-8", _PAGE)
        elif standin.mode == "malformed":
            self._send(200, "application/json", b'{"choices": [ not json')
        else:  # close
            self.close_connection = True

    def _refusal(self, standin):
        if standin.message is None:
            return f"the stand-in refuses with {standin.status}"
        key = self.headers.get("Authorization", "").removeprefix("Bearer ")
        return standin.message.replace("{key}", key)

    def do_GET(self):
        self._reply(*_error(404, f"no route {self.path}"))

    def _reply(self, status, payload):
        data = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        self._send(status, "application/json", data)

    def _send(self, status, content_type, data):
        standin = self.server.standin
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        if status >= 400 and standin.retry_after is not None:
            self.send_header("Retry-After", f"{standin.retry_after:g}")
            self.send_header("x-should-retry", "true")
        elif status >= 400:  # final: the client need not retry
            self.send_header("x-should-retry", "false")
        self.end_headers()
        if not standin.trickle:
            self.wfile.write(data)
            return
        for i in range(len(data)):
            self.wfile.write(data[i:i + 1])
            self.wfile.flush()
            if standin._stopping.wait(standin.trickle):
                return

    def log_message(self, format, *args):
        pass  # quiet: the caller's standard error is the caller's


class _Server(ThreadingHTTPServer):
    """Keeps its open connections, so that closing the server ends the
    threads that wait on kept-alive ones instead of leaving them behind."""

    daemon_threads = True

    def __init__(self, address, handler):
        super().__init__(address, handler)
        self._open = {}  # connection -> its handler thread
        self._open_lock = threading.Lock()

    def process_request_thread(self, request, client_address):
        with self._open_lock:
            self._open[request] = threading.current_thread()
        try:
            super().process_request_thread(request, client_address)
        finally:
            with self._open_lock:
                self._open.pop(request, None)

    def close_connections(self, timeout):
        with self._open_lock:
            open_now = list(self._open.items())
        for connection, _ in open_now:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass  # already gone
        for _, thread in open_now:
            thread.join(timeout)

    def handle_error(self, request, client_address):
        # A client that gave up (a time-out) is not the stand-in's fault.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class StandIn:
    """The stand-in server on 127.0.0.1, on a free port unless given one.

    `start()` serves from a daemon thread, `stop()` ends it; as a context
    manager it does both. `received` lists the parsed JSON bodies of the
    chat-completion requests, in arrival order, and `keys` the API key
    each carried (its Authorization after "Bearer "); `connections`
    counts the distinct client connections they came on; `peak` is the
    most requests it answered at once. `mode`, `status`, `delay`, `trickle`,
    `message` and `retry_after` pick the behaviour (see the module's
    description).
    """

    def __init__(self, port=0, *, mode="answer", status=500, delay=0.0,
                 message=None, trickle=0.0, retry_after=None):
        if mode not in MODES:
            raise ValueError(f"mode must be one of {', '.join(MODES)}")
        self._port = port
        self.mode = mode
        self.status = status
        self.delay = delay
        self.message = message
        self.trickle = trickle
        self.retry_after = retry_after
        self._server = None
        self._thread = None
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._peers = set()
        self._active = 0
        self.peak = 0
        self.received = []
        self.keys = []

    @property
    def connections(self):
        with self._lock:
            return len(self._peers)

    @property
    def base_url(self):
        """The URL to give as `base_url`, e.g. http://127.0.0.1:PORT/v1."""
        if self._server is None:
            raise RuntimeError("the stand-in is not running")
        return f"http://127.0.0.1:{self._server.server_address[1]}/v1"

    def start(self):
        if self._server is not None:
            raise RuntimeError("the stand-in is already running")
        self._stopping.clear()
        server = _Server(("127.0.0.1", self._port), _Handler)
        server.standin = self
        self._server = server
        # A short poll, so that stop() returns promptly.
        self._thread = threading.Thread(target=server.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        name="factbrief-standin",
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        server, self._server = self._server, None
        if server is not None:
            self._stopping.set()  # a delayed answer ends now
            server.shutdown()
            server.server_close()
            server.close_connections(timeout=5)
            self._thread.join()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _record(self, body, authorization):
        with self._lock:
            self.received.append(body)
            self.keys.append(authorization.removeprefix("Bearer "))

    @contextlib.contextmanager
    def _answering(self):
        with self._lock:
            self._active += 1
            self.peak = max(self.peak, self._active)
        try:
            yield
        finally:
            with self._lock:
                self._active -= 1

    def _connected(self, address):
        with self._lock:
            self._peers.add(address)


def main():
    import argparse
    parser = argparse.ArgumentParser(
        prog="python -m factbrief.standin",
        description="Serve the local chat-completion stand-in on 127.0.0.1 "
                    "until interrupted.")
    parser.add_argument("--port", type=int, default=0,
                        help="port to listen on (default: a free one)")
    parser.add_argument("--mode", choices=MODES, default="answer",
                        help="how to answer (default: a chat completion)")
    parser.add_argument("--status", type=int, default=500,
                        help="the HTTP status of --mode status")
    parser.add_argument("--delay", type=float, default=0.0,
                        help="seconds to wait before answering")
    args = parser.parse_args()
    with StandIn(args.port, mode=args.mode, status=args.status,
                 delay=args.delay) as server:
        print(f"stand-in serving at {server.base_url} (Ctrl-C stops it)",
              flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

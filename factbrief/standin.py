"""A local stand-in for an OpenAI-compatible chat-completion service.

It answers POST /v1/chat/completions (and /chat/completions) on 127.0.0.1
with a well-formed, non-streaming chat completion whose text says plainly
that it comes from this stand-in and quotes the start of the text it was
sent. No model is involved: the answer is a pure function of the request.
Standard library only, so the demo and the tests need no account.

    with StandIn() as server:
        ai = AISummary(server.base_url, "stand-in", "stand-in")
        ai.extract("...")

`python -m factbrief.standin` serves until interrupted.
"""

import hashlib
import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

__all__ = ["StandIn", "answer_for"]

PATHS = ("/v1/chat/completions", "/chat/completions")
QUOTE_CHARS = 60
# The service methods end their instruction with this full stop and append
# the cleaned text, from which cleaning has removed every such stop.
_INSTRUCTION_END = "\u3002"


def answer_for(user_text):
    """The stand-in's reply to one user message: labelled, deterministic."""
    text = user_text.rpartition(_INSTRUCTION_END)[2]
    text = " ".join(text.split())
    quote = text[:QUOTE_CHARS] + ("…" if len(text) > QUOTE_CHARS else "")
    return (f"[factbrief stand-in, not a language model] Received "
            f"{len(user_text)} characters; the text begins: \u300c{quote}"
            f"\u300d")


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


class _Handler(BaseHTTPRequestHandler):
    server_version = "factbrief-standin"

    def do_POST(self):
        if self.path.split("?")[0].rstrip("/") not in PATHS:
            return self._reply(*_error(404, f"no route {self.path}"))
        try:
            size = int(self.headers.get("Content-Length") or 0)
            body = json.loads(self.rfile.read(size).decode("utf-8"))
        except (ValueError, UnicodeDecodeError):
            return self._reply(*_error(400, "the body is not JSON"))
        self.server.standin._record(body)
        self._reply(*_complete(body))

    def do_GET(self):
        self._reply(*_error(404, f"no route {self.path}"))

    def _reply(self, status, payload):
        data = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        if status >= 400:  # final: the client need not retry
            self.send_header("x-should-retry", "false")
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, format, *args):
        pass  # quiet: the caller's standard error is the caller's


class StandIn:
    """The stand-in server on 127.0.0.1, on a free port unless given one.

    `start()` serves from a daemon thread, `stop()` ends it; as a context
    manager it does both. `received` lists the parsed JSON bodies of the
    chat-completion requests, in arrival order.
    """

    def __init__(self, port=0):
        self._port = port
        self._server = None
        self._thread = None
        self._lock = threading.Lock()
        self.received = []

    @property
    def base_url(self):
        """The URL to give as `base_url`, e.g. http://127.0.0.1:PORT/v1."""
        if self._server is None:
            raise RuntimeError("the stand-in is not running")
        return f"http://127.0.0.1:{self._server.server_address[1]}/v1"

    def start(self):
        if self._server is not None:
            raise RuntimeError("the stand-in is already running")
        server = ThreadingHTTPServer(("127.0.0.1", self._port), _Handler)
        server.daemon_threads = True
        server.standin = self
        self._server = server
        self._thread = threading.Thread(target=server.serve_forever,
                                        name="factbrief-standin",
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        server, self._server = self._server, None
        if server is not None:
            server.shutdown()
            server.server_close()
            self._thread.join()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _record(self, body):
        with self._lock:
            self.received.append(body)


def main():
    import argparse
    parser = argparse.ArgumentParser(
        prog="python -m factbrief.standin",
        description="Serve the local chat-completion stand-in on 127.0.0.1 "
                    "until interrupted.")
    parser.add_argument("--port", type=int, default=0,
                        help="port to listen on (default: a free one)")
    args = parser.parse_args()
    with StandIn(args.port) as server:
        print(f"stand-in serving at {server.base_url} (Ctrl-C stops it)",
              flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    raise SystemExit(main())

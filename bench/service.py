"""A chat-completion service on 127.0.0.1 for end-to-end benchmarks: every
POST gets the same small, well-formed completion. Prints its port, then
serves until its standard input is closed or LIFETIME seconds pass.

    python bench/service.py [LIFETIME]
"""

import json
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

REPLY = json.dumps({
    "id": "chatcmpl-bench", "object": "chat.completion", "created": 0,
    "model": "bench-model",
    "choices": [{"index": 0, "finish_reason": "stop",
                 "message": {"role": "assistant",
                             "content": "Revenue rose in the quarter."}}],
    "usage": {"prompt_tokens": 1, "completion_tokens": 1,
              "total_tokens": 2},
}).encode()


class Handler(BaseHTTPRequestHandler):
    # HTTP/1.0: one request per connection, so no idle connection keeps a
    # thread waiting when a client is dropped without being closed.
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(REPLY)))
        self.end_headers()
        self.wfile.write(REPLY)

    def log_message(self, format, *args):
        pass


def main():
    lifetime = float(sys.argv[1]) if len(sys.argv) > 1 else 1800.0
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    print(server.server_address[1], flush=True)
    closed = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.read(), closed.set()),
                     daemon=True).start()
    closed.wait(lifetime)
    server.shutdown()
    server.server_close()


if __name__ == "__main__":
    main()

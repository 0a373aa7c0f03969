"""A stand-in for the local server process, for tests without the model.

Takes serve.py's arguments and ties itself to its parent the same way
(serve.py's own functions), then serves on the socket it was given:
GET /v1/models and /v1/env (the names of its environment variables). The
--model argument picks a behaviour: "ok", "die" (fails while "loading"),
"slow" (loads for 2 s first).
"""

import json
import os
import sys
import time
from http.server import BaseHTTPRequestHandler, HTTPServer
import socket

from factbrief.local import serve


class _Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/v1/models":
            body = {"object": "list", "data": [{"id": ARGS.alias}]}
        elif self.path == "/v1/env":
            body = sorted(os.environ)
        else:
            self.send_error(404)
            return
        data = json.dumps(body).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


class _Server(HTTPServer):
    def __init__(self, sock):
        super().__init__(sock.getsockname(), _Handler,
                         bind_and_activate=False)
        self.socket.close()
        self.socket = sock


if __name__ == "__main__":
    ARGS = serve.parse_args(sys.argv[1:])
    if ARGS.parent:
        serve.die_with_parent(ARGS.parent)
        serve.watch_stdin()
    sock = socket.socket(fileno=ARGS.fd)
    if ARGS.model == "die":
        print("error: failed to load model from die", flush=True)
        sys.exit(3)
    if ARGS.model == "slow":
        time.sleep(2)
    _Server(sock).serve_forever()

"""A stand-in for llama-server, for tests without the model.

It reads the options factbrief gives the way llama-server does (each
value is the next word, whatever it starts with) and its key from
LLAMA_API_KEY; binds its port before "loading" (and logs llama.cpp's
"couldn't bind" line at error level when it cannot); logs "listening on
http://HOST:PORT" once loaded; answers GET /health (503 while loading),
and with the key GET /v1/models, GET /v1/env (its environment's names
and its arguments), POST /v1/chat/completions and POST /tokenize (a
token per two characters, with their pieces). The model file's name
picks a behaviour: "die" (fails while loading), "slow" (loads for 2 s),
"busy" (takes 1 s per answer, and logs how many it answers at once).
"""

import json
import os
import signal
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

VALUED = {"-m", "-a", "--host", "--port", "-np", "-c", "--temp", "-n", "-t",
          "--cache-ram"}
FLAGS = {"--no-webui", "--no-cache-prompt"}
READY = threading.Event()
BUSY = threading.Lock()
IN_FLIGHT = 0


def log(level, text):
    print(f"0.00.000.000 {level} srv {text}", flush=True)


def parse(argv):
    options, i = {}, 0
    while i < len(argv):
        if argv[i] in FLAGS:
            options[argv[i]] = True
            i += 1
        elif argv[i] in VALUED and i + 1 < len(argv):
            options[argv[i]] = argv[i + 1]
            i += 2
        else:
            log("E", f"error: invalid argument: {argv[i]}")
            sys.exit(1)
    return options


class _Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/health":
            return self._reply(200 if READY.is_set() else 503,
                               {"status": "ok" if READY.is_set()
                                else "loading"})
        if self._refused():
            return
        if self.path == "/v1/models":
            return self._reply(200, {"data": [{"id": OPTIONS["-a"]}]})
        if self.path == "/v1/env":
            return self._reply(200, {"env": sorted(os.environ),
                                     "argv": sys.argv[1:]})
        self._reply(404, {"error": {"message": "File Not Found"}})

    def do_POST(self):
        body = json.loads(self.rfile.read(
            int(self.headers.get("Content-Length") or 0)))
        if self._refused():
            return
        if self.path == "/tokenize":
            text = body["content"]
            return self._reply(200, {"tokens": [
                {"id": i, "piece": text[i:i + 2]}
                for i in range(0, len(text), 2)]})
        text = body["messages"][-1]["content"]
        if "busy" in Path(OPTIONS["-m"]).name:
            self._answer_slowly()
        self._reply(200, {"choices": [{"index": 0, "message": {
            "role": "assistant",
            "content": f"fake answer to {len(text)} characters"}}]})

    def _answer_slowly(self):
        global IN_FLIGHT
        with BUSY:
            IN_FLIGHT += 1
            log("I", f"slot: {IN_FLIGHT} in flight")
        time.sleep(1)
        with BUSY:
            IN_FLIGHT -= 1

    def _refused(self):
        key = os.environ.get("LLAMA_API_KEY")
        if not READY.is_set():
            self._reply(503, {"error": {"message": "Loading model"}})
        elif key and self.headers.get("Authorization") != f"Bearer {key}":
            self._reply(401, {"error": {"message": "Invalid API Key"}})
        else:
            return False
        return True

    def _reply(self, status, body):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


def main():
    global OPTIONS
    OPTIONS = parse(sys.argv[1:])
    log("I", f"main: pid = {os.getpid()}")
    host, port = OPTIONS["--host"], int(OPTIONS["--port"])
    try:
        server = ThreadingHTTPServer((host, port), _Handler)
    except OSError:
        log("E", f"start: couldn't bind HTTP server socket, hostname: "
                 f"{host}, port: {port}")
        sys.exit(1)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    model = Path(OPTIONS["-m"]).name
    if "die" in model:
        log("E", f"load_model: failed to load model, '{OPTIONS['-m']}'")
        sys.exit(1)
    if "slow" in model:
        time.sleep(2)
    READY.set()
    log("I", f"llama_server: listening on http://{host}:{port}")
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    stop.wait()
    log("I", "operator(): cleaning up before exit...")
    return 0


if __name__ == "__main__":
    sys.exit(main())

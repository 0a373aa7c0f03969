"""`factbrief extract|title --ray [ADDRESS] --output FILE INPUT...`: the
command's records, made on a Ray cluster and written as each finishes.

This process (the driver) reads the inputs and writes the records. On
each node one long-lived actor (`Node`) holds the run's service open and
makes the calls, several at once: a hosted service's settings travel to
it, `--demo` starts a stand-in on the node, `--local` serves the node's
own local model. The driver keeps at most --jobs requests in flight over
the whole cluster, or for --local as many per node as its server has
slots. Ray restarts a lost actor and retries its calls; an actor lost
for good gives its inputs to the others.
"""

import argparse
import collections
import contextlib
import logging
import os
import re
import shutil
import sys
import tempfile
import threading
import time
from typing import NamedTuple

from factbrief.cli.calls import CallLog, shared_clients
from factbrief.cli.corpus import expand, inputs
from factbrief.cli.errors import WHOLE_MATCH, Redactor
from factbrief.cli.inputs import STDIN, Refused, Skipped
from factbrief.cli.results import Results
from factbrief.cli.settings import Local, Settings, UsageError
from factbrief.local.cache import human_time
from factbrief.local.progress import Progress
from factbrief.local.service import local_service

INSTALL = "pip install 'factbrief[ray]'"
LOCAL = "local"  # the address that starts a Ray instance for the run
MAX_IN_FLIGHT = 64  # per node, whatever a server's slots
# Each node also holds as many texts again, waiting for a free request:
# it starts the next one as soon as one ends, without waiting for the
# driver to hear of it and send another.
AHEAD = 2
MAX_LOSSES = 3  # an input whose worker is lost this often has failed
NODE_POLL = 10.0  # seconds between looks for nodes that joined
STOP_WAIT = 10.0  # seconds the nodes get to stop their services
# Ray puts sockets 62 bytes below its folder (".../session_DATE_TIME_US_PID
# /sockets/plasma_store"), and a socket's path holds at most 107.
SOCKET_ROOM = 107 - 62
HELP = """\
--ray runs on a Ray cluster (pip install 'factbrief[ray]'): ADDRESS is
auto, ray://HOST:PORT or HOST:PORT; local starts Ray on this machine for
the run; --ray alone uses $RAY_ADDRESS, else local. Inputs may be
directories (their *.txt files) and .jsonl corpora of {"id": ..., "text":
...} lines. Records go to --output as each finishes, in the order they
finish. A rerun with the same --output skips the inputs that have an
"ok" record there, drops the earlier error records of the others and
runs them again, so at the end each input has exactly one record."""


def add_options(parser, **kw):
    """`--ray` and `--output`; `kw` goes to both (a default)."""
    group = parser.add_argument_group("corpora on a Ray cluster", HELP)
    group.add_argument("--ray", nargs="?", const="", metavar="ADDRESS",
                       help="run on this Ray cluster", **kw)
    group.add_argument("--output", metavar="FILE", **kw,
                       help="with --ray: the JSON-lines file the records "
                            "go to; a rerun with it resumes")


def _address_like(text):
    if text in ("", LOCAL, "auto") or "://" in text:
        return True
    return (re.fullmatch(r"[\w.\-\[\]:]*:\d+", text) is not None
            and not os.path.exists(text))


def check(args):
    """Whether the run is on a cluster; UsageError for options that do
    not go with it. Expands directories among the inputs of a run on
    this machine."""
    address = getattr(args, "ray", None)
    output = getattr(args, "output", None)
    if address is not None and not _address_like(address):
        # `--ray corpus/`: the option took an input for its address.
        args.files, args.ray = [address, *args.files], ""
    if address is None:
        if output is not None:
            raise UsageError("factbrief: --output goes with --ray (on this "
                             "machine: --ray local)")
        args.files = expand(args.files)
        return False
    if output is None:
        raise UsageError("factbrief: --ray needs --output FILE, where the "
                         "records go (a rerun with the same file resumes)")
    if not args.files or STDIN in args.files:
        raise UsageError("factbrief: --ray reads files, directories and "
                         ".jsonl corpora, not standard input")
    if args.format != "json":
        raise UsageError("factbrief: --ray writes JSON records; -f text "
                         "does not go with it")
    return True


class _Plan(NamedTuple):
    """What a node needs for the run: the options, and the service."""
    args: argparse.Namespace
    source: object  # a source of settings.py, None for --local
    settings: object  # its settings; for --local, the model file
    serve_local: object  # local_service, or a stand-in for it in tests


def _given_run(*run_args):
    """The command's Run, for texts the driver read and sent."""
    from factbrief.cli.command import Run  # it imports this module

    class Given(Run):
        def _read(self, text):
            return text
    return Given(*run_args)


class Node:
    """On one node for one run (a threaded actor): holds the service
    open, and answers texts as the command would, several at once."""

    def __init__(self, plan):
        self._plan = plan
        self._lock = threading.Lock()
        self._stack = None
        self._run = None
        self._slots = None
        self._stderr = sys.stderr
        self._free = threading.Condition()
        self._active = 0

    def start(self):
        """Starts the service if it is not running; returns how many
        requests it takes at once (None: as many as the driver sends)."""
        with self._lock:
            if self._run is None:
                self._open()
            return self._slots

    def _open(self):
        from factbrief.cli.command import _Output
        import factbrief.factbrief as module
        plan = self._plan
        log = CallLog()
        keys = [getattr(plan.settings, "api_key", None)]
        out = _Output(self._stderr, Redactor(keys), log)
        sys.stderr = out  # what the module prints is kept per call
        with contextlib.ExitStack() as stack:
            if plan.source is None:
                served = stack.enter_context(
                    plan.serve_local(Progress(out), plan.settings))
                if len(served.api_key) >= WHOLE_MATCH:  # not a placeholder
                    out.mask = Redactor([served.api_key])
                settings = Settings(served.base_url, served.api_key,
                                    served.model)
                self._slots = min(MAX_IN_FLIGHT,
                                  max(1, int(getattr(served, "slots", 1))))
            else:
                settings = stack.enter_context(
                    plan.source.serve(plan.settings, out))
            stack.enter_context(shared_clients(
                module, log, plan.args.timeout, plan.args.max_retries))
            self._run = _given_run(plan.args, settings, out, log, None,
                                   None, None)
            self._stack = stack.pop_all()

    def answer(self, text, limit=None):
        """The outcome of one call for `text`, as the command makes it,
        once fewer than `limit` (else the server's slots) are running."""
        self.start()
        limit = limit or self._slots
        with self._free:
            self._free.wait_for(lambda: self._active < limit)
            self._active += 1
        try:
            return self._run.work(text)
        finally:
            with self._free:
                self._active -= 1
                self._free.notify_all()

    def stop(self):
        with self._lock:
            if self._stack is not None:
                self._stack.close()
                self._stack = self._run = None
            sys.stderr = self._stderr


class _Worker:
    """The driver's view of one node's actor."""

    def __init__(self, node_id, actor):
        self.node_id = node_id
        self.actor = actor
        self.starting = actor.start.remote()
        self.capacity = 0  # requests it may have in flight
        self.busy = 0
        self.lost = False

    @property
    def free(self):
        """How many more texts it may be sent now."""
        if self.starting or self.lost:
            return 0
        return AHEAD * self.capacity - self.busy


class ClusterError(Exception):
    """The run cannot go on: one line says why."""


@contextlib.contextmanager
def connected(ray, address, out):
    """Connected to the cluster at `address` for the block; for `local`,
    a Ray instance of this machine's, on 127.0.0.1 with its files in a
    private folder, stopped after."""
    if ray.is_initialized():  # a caller in Python connected already
        yield
        return
    address = address or os.environ.get("RAY_ADDRESS") or LOCAL
    options = dict(address=address, logging_level=logging.WARNING,
                   log_to_driver=True)
    scratch = None
    if address == LOCAL:
        scratch = _scratch()
        options.update(include_dashboard=False, _temp_dir=scratch,
                       _node_ip_address="127.0.0.1")
    try:
        ray.init(**options)
    except Exception as e:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
        doing = ("start Ray on this machine" if scratch
                 else f"connect to the Ray cluster at {address}")
        raise ClusterError(f"cannot {doing}: {type(e).__name__}: {e}") \
            from None
    try:
        yield
    finally:
        ray.shutdown()
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)


def _scratch():
    """A new private folder for a Ray instance's files: in the temporary
    folder, or in /tmp when that is too deep for Ray's sockets."""
    base = tempfile.gettempdir()
    if len(os.path.join(base, "fbray-12345678")) > SOCKET_ROOM:
        base = "/tmp"
    return tempfile.mkdtemp(prefix="fbray-", dir=base)


class Dispatcher:
    """Hands the inputs to the nodes' actors and writes each record."""

    def __init__(self, ray, plan, run, out, results):
        self.ray = ray
        self.plan = plan
        self.run = run  # the command's Run: records and messages
        self.out = out
        self.results = results
        self.workers = {}  # node id -> _Worker
        self.in_flight = {}  # object ref -> (input, losses, worker)
        self.queue = collections.deque()
        self.failed = False
        self.finished = 0
        self.start_errors = []
        self._polled = 0.0
        from ray.util.scheduling_strategies import \
            NodeAffinitySchedulingStrategy
        self._affinity = NodeAffinitySchedulingStrategy
        self._actor_class = ray.remote(Node)

    # -- nodes --

    def _nodes(self):
        """Ids of the live nodes that run work (a node of no CPUs, such
        as a head kept free of work, is left alone)."""
        return [n["NodeID"] for n in self.ray.nodes()
                if n.get("Alive") and n.get("Resources", {}).get("CPU", 0)]

    def add_nodes(self, now):
        """An actor for each node that has none yet."""
        self._polled = now
        hosted = self.plan.source is not None
        for node_id in self._nodes():
            if node_id in self.workers:
                continue
            if hosted and len(self.workers) >= self.run.args.jobs:
                break  # each actor is worth at least one request
            actor = self._actor_class.options(
                num_cpus=0, max_concurrency=AHEAD * MAX_IN_FLIGHT + 2,
                max_restarts=2, max_task_retries=2,
                scheduling_strategy=self._affinity(node_id, soft=False),
            ).remote(self.plan)
            self.workers[node_id] = _Worker(node_id, actor)
        self._share()

    def _share(self):
        """Spreads --jobs over the live actors of a hosted service or the
        stand-in; a local server's slots are its own."""
        if self.plan.source is None:
            return
        live = [w for w in self.workers.values() if not w.lost]
        jobs = self.run.args.jobs
        for i, worker in enumerate(live):
            worker.capacity = jobs // len(live) + (i < jobs % len(live))

    def _started(self, worker, ref):
        worker.starting = None
        try:
            slots = self.ray.get(ref)
        except self.ray.exceptions.RayError as e:
            self._lose(worker)
            self.start_errors.append(_cause(e))
            self.out.say(f"factbrief: a node could not serve: "
                         f"{self.start_errors[-1]}")
            return
        if slots is not None:
            worker.capacity = slots

    def _lose(self, worker):
        if not worker.lost:
            worker.lost = True
            self._share()

    # -- inputs --

    def _submit(self, worker, item, losses):
        try:
            text = item.read(self.run.args.max_bytes, self.run.seconds)
        except Skipped as e:
            return self._finish(item, _outcome(self.run, str(e), True))
        except Refused as e:
            return self._finish(item, _outcome(self.run, str(e)))
        except Exception as e:  # as on one machine: this input alone
            return self._finish(item, _outcome(self.run, self.run.out.mask(
                f"cannot read: {type(e).__name__}: {e}")))
        limit = worker.capacity if self.plan.source is not None else None
        ref = worker.actor.answer.remote(text, limit)
        self.in_flight[ref] = (item, losses, worker)
        worker.busy += 1

    def _fill(self):
        while self.queue:
            worker = max(self.workers.values(), key=lambda w: w.free,
                         default=None)
            if worker is None or worker.free <= 0:
                return
            self._submit(worker, *self.queue.popleft())

    def _answered(self, ref):
        item, losses, worker = self.in_flight.pop(ref)
        worker.busy -= 1
        errors = self.ray.exceptions
        try:
            outcome = self.ray.get(ref)
        except (errors.RayActorError, errors.ObjectLostError) as e:
            self._lose(worker)
            if losses + 1 < MAX_LOSSES:
                self.queue.appendleft((item, losses + 1))
                return
            outcome = _outcome(self.run, f"its worker was lost "
                                         f"{MAX_LOSSES} times ({_cause(e)})")
        except errors.RayError as e:
            outcome = _outcome(self.run, f"the worker failed: {_cause(e)}")
        self._finish(item, outcome)

    def _finish(self, item, outcome):
        record = item.stamp(self.run.record_for(item.file, outcome))
        self.run.report(item.label(), outcome)
        self.failed = self.failed or record["status"] == "error"
        self.results.append(record, time.monotonic())
        self.finished += 1

    # -- the run --

    def __call__(self, todo, progress):
        """Runs the inputs `todo`; `progress(finished)` after each
        round."""
        self.queue.extend((item, 0) for item in todo)
        self.add_nodes(time.monotonic())
        while self.queue or self.in_flight:
            now = time.monotonic()
            if now - self._polled > NODE_POLL:
                self.add_nodes(now)
            self._fill()
            starting = {w.starting: w for w in self.workers.values()
                        if w.starting}
            refs = [*self.in_flight, *starting]
            if not refs:
                if self.queue:
                    raise ClusterError(self._no_nodes())
                break
            ready, _ = self.ray.wait(refs, num_returns=1, timeout=1.0)
            if ready:
                ready, _ = self.ray.wait(refs, num_returns=len(refs),
                                         timeout=0)
            for ref in ready:
                if ref in starting:
                    self._started(starting[ref], ref)
                else:
                    self._answered(ref)
            progress(self.finished)

    def _no_nodes(self):
        if self.start_errors:
            return f"no node could serve: {self.start_errors[-1]}"
        return "the cluster has no live node with CPUs to work on"

    def stop(self):
        """Asks each actor to stop its service, for a while."""
        refs = [w.actor.stop.remote() for w in self.workers.values()
                if not w.lost]
        with contextlib.suppress(Exception):
            self.ray.wait(refs, num_returns=len(refs), timeout=STOP_WAIT)


def _cause(error):
    """The exception a Ray error wraps, in one line."""
    cause = getattr(error, "cause", None)
    if isinstance(cause, BaseException):
        error = cause
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0] if text else ''}".rstrip(": ")


def _outcome(run, reason, skipped=False):
    from factbrief.cli.command import _Outcome
    return _Outcome(run._blank(), reason, skipped=skipped)


class _Progress:
    """done/total, texts per second and the time left, on a terminal."""

    def __init__(self, out, before, total):
        self.out = out
        self.before = before
        self.total = total
        self.start = time.monotonic()
        self.live = out.isatty()

    def __call__(self, finished):
        if not self.live or not self.total:
            return
        rate = finished / max(time.monotonic() - self.start, 1e-9)
        left = self.total - self.before - finished
        eta = human_time(left / rate) if rate and left else "-"
        self.out.progress(self.before + finished, self.total,
                          f"{rate:.1f} texts/s, {eta} left")


def _unique(items, done):
    seen = set(done)
    for item in items:
        if item.key not in seen:
            seen.add(item.key)
            yield item


def run(args, source, settings, out):
    """The run on the cluster; the exit status."""
    try:
        import ray
        import ray.exceptions  # noqa: F401 (the errors the run tells apart)
    except ImportError:
        out.say(f"factbrief: --ray needs Ray, which is not installed for "
                f"this Python: {INSTALL}")
        return 2
    from factbrief.cli.command import Run
    results = Results(args.output)
    try:
        items = inputs(args.files)
        done = results.open({item.key for item in items})
    except UsageError as e:
        out.say(str(e))
        return 2
    except OSError as e:
        out.say(f"factbrief: cannot write {args.output}: "
                f"{e.strerror or e}")
        return 2
    todo = list(_unique(items, done))
    plan = _Plan(argparse.Namespace(**{**vars(args), "files": []}),
                 None if isinstance(source, Local) else source,
                 settings.model_file if isinstance(source, Local)
                 else settings, local_service)
    driver_run = Run(args, Settings(None, "", ""), out, CallLog(), None,
                     None, None)
    total = len(done) + len(todo)
    stderr, sys.stderr = sys.stderr, out  # Ray's relayed lines are masked
    dispatcher = None
    started = time.monotonic()
    try:
        if results.dropped:
            out.say(f"factbrief: {args.output}: {len(done)} inputs done "
                    f"before; {results.dropped} earlier records dropped, "
                    f"as their inputs run again")
        with connected(ray, args.ray, out):
            dispatcher = Dispatcher(ray, plan, driver_run, out, results)
            try:
                dispatcher(todo, _Progress(out, len(done), total))
            finally:
                dispatcher.stop()
    except ClusterError as e:
        out.done()
        out.say(f"factbrief: {e}")
        return 1
    except KeyboardInterrupt:
        out.done()
        finished = dispatcher.finished if dispatcher else 0
        out.say(f"factbrief: interrupted; {len(todo) - finished} inputs "
                f"have no record in {args.output} yet: the same command "
                f"again does them")
        return 130
    finally:
        sys.stderr = stderr
        results.close()
    out.done()
    took = time.monotonic() - started
    out.say(f"factbrief: {len(todo)} records written to {args.output} in "
            f"{human_time(took)} ({len(todo) / max(took, 1e-9):.1f} "
            f"texts/s); {len(done)} inputs were done before")
    return 1 if dispatcher.failed else 0

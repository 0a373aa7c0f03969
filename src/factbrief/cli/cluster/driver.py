"""The driver of a run on Ray: reads the inputs, hands their texts to the
nodes' actors and writes each record to --output as it finishes.

The driver keeps at most --jobs requests in flight over the whole
cluster, or for --local as many per node as its server has slots. Ray
restarts a lost actor and retries its calls; an actor lost for good
gives its inputs to the others.
"""

import argparse
import collections
import contextlib
import queue
import sys
import threading
import time
import urllib.parse

from factbrief.cli.cluster.node import MAX_IN_FLIGHT, Node, Plan
from factbrief.cli.cluster.session import Stops, connected
from factbrief.cli.corpus import inputs
from factbrief.cli.exceptions import ClusterError, UsageError
from factbrief.cli.inputs import Reader, text_sha256
from factbrief.cli.records import Records
from factbrief.cli.results import (CHANGED, DONE, MADE_BY, NEW, RETRIED,
                                   Results)
from factbrief.cli.run import unsupported_line
from factbrief.cli.settings import Demo, Local
from factbrief.cli.status import ExitStatus
from factbrief.display import human_time
from factbrief.engine import numbers_checked
from factbrief.engine.parts import Split, in_parts
from factbrief.engine.ordered import OrderedPool
from factbrief.local.cache import read_stamp
from factbrief.local.model import DEFAULT_MODEL
from factbrief.local.service import local_service

INSTALL = "pip install 'factbrief[ray]'"
# Each node also holds as many texts again, waiting for a free request:
# it starts the next one as soon as one ends, without waiting for the
# driver to hear of it and send another.
AHEAD = 2
MAX_LOSSES = 3  # an input whose worker is lost this often has failed
NODE_POLL = 10.0  # seconds between looks for nodes that joined
STOP_WAIT = 10.0  # seconds the nodes get to stop their services
READ_POLL = 0.05  # seconds between looks at reads while some are going


class _Readers:
    """Reads inputs on a few daemon threads, in whatever order they end,
    so that a slow input (a FIFO, a slow disk) holds back no other. The
    threads bear the engine pool's name: a run that ends while one is
    still blocked in a read ends at once (core.console)."""

    def __init__(self, read, threads):
        self._read = read
        self._work = queue.SimpleQueue()
        self._done = queue.SimpleQueue()
        self.busy = 0
        self.threads = [threading.Thread(target=self._serve, daemon=True,
                                         name=OrderedPool.NAME)
                        for _ in range(threads)]
        for thread in self.threads:
            thread.start()

    def _serve(self):
        while (item := self._work.get()) is not None:
            try:
                result = (True, self._read(item))
            except Exception as e:  # as on one machine: this input alone
                result = (False, e)
            self._done.put((item, result))

    def submit(self, item):
        self.busy += 1
        self._work.put(item)

    def take(self, timeout=0.0):
        """The reads that ended: (item, (True, text) or (False, error));
        waits up to `timeout` for the first."""
        found = []
        with contextlib.suppress(queue.Empty):
            found.append(self._done.get(timeout=timeout) if timeout > 0
                         else self._done.get_nowait())
            while True:
                found.append(self._done.get_nowait())
        self.busy -= len(found)
        return found

    def close(self):
        for _ in self.threads:
            self._work.put(None)


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


class _Request:
    """One request for a node's actor: the input's text whole, or a step
    of a text answered in parts (`job`)."""

    def __init__(self, item, made_by, method, args, job=None, index=0):
        self.item = item
        self.made_by = made_by
        self.method = method  # the actor's: "answer", "call" or "cut"
        self.args = args
        self.job = job
        self.index = index  # its place among its step's requests
        self.losses = 0


class _Job:
    """A text answered in parts: the engine's steps (Engine.steps), each
    step's requests sent to whichever nodes are free, so that the parts
    of one long text spread over the cluster."""

    def __init__(self, steps, text):
        self.steps = steps
        self.text = text  # the whole, whose numbers the answer is held to
        self.replies = []
        self.waiting = 0
        self.cutting = False

    def advance(self, reply):
        """The next step's requests, (method, args) each; or, when the
        steps are done, the text's Outcome."""
        try:
            step = self.steps.send(reply)
        except StopIteration as end:
            return end.value
        self.cutting = isinstance(step, Split)
        wanted = ([("cut", (step.text,))] if self.cutting
                  else [("call", call) for call in step.calls])
        self.replies = [None] * len(wanted)
        self.waiting = len(wanted)
        return wanted

    def replied(self, index, outcome):
        """Keeps one request's reply; True when the step has them all."""
        self.replies[index] = outcome
        self.waiting -= 1
        return self.waiting == 0

    def gathered(self):
        return self.replies[0] if self.cutting else self.replies


class Dispatcher:
    """Hands the inputs to the nodes' actors and writes each record."""

    def __init__(self, ray, plan, out, results, made_by,
                 check_stop=lambda: None):
        self.ray = ray
        self.check_stop = check_stop  # raises for a stop a raise missed
        self.plan = plan
        self.jobs = plan.args.jobs
        self.records = Records(plan.args)
        self.reader = Reader(plan.args.max_bytes, plan.seconds)
        self.out = out
        self.results = results
        self.made_by = made_by  # of every record, but the text's hash
        self.workers = {}  # node id -> _Worker
        self.in_flight = {}  # object ref -> (_Request, _Worker)
        # Requests to be sent (again, after a lost worker), a started
        # text's first. With the reads going on, never more than --jobs:
        # the driver holds at most that many texts or parts unsent.
        self.queue = collections.deque()
        self.unread = collections.deque()
        self.reading = {}  # input key -> input, being read
        self.counts = collections.Counter()  # DONE, CHANGED, ...
        self.failed = False
        self.unsupported = 0  # answers with numbers their text lacks
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
            if hosted and len(self.workers) >= self.jobs:
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
        jobs = self.jobs
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

    def _read_more(self, readers):
        while self.unread and readers.busy + len(self.queue) < self.jobs:
            item = self.unread.popleft()
            self.reading[item.key] = item
            readers.submit(item)

    def _settle(self, item, read):
        """Decides, once an input is read, whether it is done before (the
        same text and options made its last "ok" record), and if not
        queues it, or writes why it cannot be read."""
        self.reading.pop(item.key, None)
        ok, text = read
        made_by = {**self.made_by, "text_sha256": text_sha256(text)
                   if ok else None}
        verdict = self.results.verdict(item.key, made_by)
        if verdict == DONE and ok:
            self.counts[DONE] += 1
            return
        self.counts[CHANGED if verdict == DONE else verdict] += 1
        if ok:
            self.queue.append(_Request(item, made_by, "answer", (text,)))
        else:
            self._finish(item, self.records.unread(text, self.out.mask),
                         made_by)

    def _submit(self, worker, request):
        limit = worker.capacity if self.plan.source is not None else None
        method = getattr(worker.actor, request.method)
        ref = method.remote(*request.args, limit)
        self.in_flight[ref] = (request, worker)
        worker.busy += 1

    def _fill(self):
        while self.queue:
            worker = max(self.workers.values(), key=lambda w: w.free,
                         default=None)
            if worker is None or worker.free <= 0:
                return
            self._submit(worker, self.queue.popleft())

    def _answered(self, ref):
        request, worker = self.in_flight.pop(ref)
        worker.busy -= 1
        errors = self.ray.exceptions
        try:
            reply = self.ray.get(ref)
        except (errors.RayActorError, errors.ObjectLostError) as e:
            self._lose(worker)
            request.losses += 1
            if request.losses < MAX_LOSSES:
                self.queue.appendleft(request)
                return
            reply = self.records.failed(f"its worker was lost "
                                        f"{MAX_LOSSES} times ({_cause(e)})")
        except errors.RayError as e:
            reply = self.records.failed(f"the worker failed: {_cause(e)}")
        self._replied(request, reply, worker)

    def _replied(self, request, reply, worker):
        job = request.job
        if job is None and isinstance(reply, list):  # too long: its parts
            args = self.plan.args
            job = _Job(in_parts(args.command, args.prompt, reply,
                                self.records.answer_key), request.args[0])
            self._advance(request, job, None, worker)
        elif job is None:
            self._finish(request.item, reply, request.made_by, worker)
        elif job.replied(request.index, reply):
            self._advance(request, job, job.gathered(), worker)

    def _advance(self, request, job, reply, worker):
        """The job's next step queued ahead of the texts not begun, or its
        record written when it has none."""
        wanted = job.advance(reply)
        if not isinstance(wanted, list):
            self._finish(request.item, numbers_checked(
                wanted, job.text, self.records.answer_key),
                request.made_by, worker)
            return
        for index, (method, args) in reversed(list(enumerate(wanted))):
            self.queue.appendleft(_Request(request.item, request.made_by,
                                           method, args, job, index))

    def _finish(self, item, outcome, made_by, worker=None):
        record = self.records.record_for(item, outcome)
        record[MADE_BY] = made_by
        if self.plan.source is None and worker is not None:
            # A local server answers alike each time only one at a time.
            record["repeatable"] = worker.capacity == 1
        self.records.report(self.out, item.label(), outcome)
        self.failed = self.failed or record["status"] == "error"
        self.unsupported += bool(record.get("unsupported_numbers"))
        self.results.append(record, time.monotonic())
        self.finished += 1

    @property
    def settled(self):
        """Inputs done before, or given a record by this run."""
        return self.counts[DONE] + self.finished

    # -- the run --

    def __call__(self, todo, progress):
        """Runs the inputs `todo`; `progress(settled)` after each round.
        A run that cannot go on gives each input it did not do an error
        record of its own, then raises ClusterError."""
        self.unread.extend(todo)
        readers = _Readers(self.reader.read, max(1, min(self.jobs,
                                                        len(todo))))
        try:
            self._loop(readers, progress)
        except ClusterError as e:
            self._give_up(str(e), readers)
            raise
        finally:
            readers.close()

    def _loop(self, readers, progress):
        self.add_nodes(time.monotonic())
        while self.unread or readers.busy or self.queue or self.in_flight:
            self.check_stop()
            self._read_more(readers)
            for item, read in readers.take():
                self._settle(item, read)
            self._read_more(readers)
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
                for item, read in readers.take(timeout=1.0):
                    self._settle(item, read)
                progress(self.settled)
                continue
            ready, _ = self.ray.wait(refs, num_returns=1, timeout=(
                READ_POLL if readers.busy or self.unread else 1.0))
            if ready:
                ready, _ = self.ray.wait(refs, num_returns=len(refs),
                                         timeout=0)
            for ref in ready:
                if ref in starting:
                    self._started(starting[ref], ref)
                else:
                    self._answered(ref)
            progress(self.settled)

    def _give_up(self, why, readers):
        """An error record for each input not done, naming it: the ones
        read and waiting, those still being read, and those not yet read
        that have no "ok" record to keep (the next run checks those)."""
        for item, read in readers.take():
            self._settle(item, read)
        reason = f"not done: the run could not go on ({why})"
        # An input is in the queue once, or once per part waiting.
        queued = {id(r.item): (r.item, r.made_by) for r in self.queue}
        left = list(queued.values())
        left += [(item, {**self.made_by, "text_sha256": None})
                 for item in (*self.reading.values(), *self.unread)
                 if not self.results.has_ok(item.key)]
        self.queue.clear()
        self.unread.clear()
        self.reading.clear()
        for item, made_by in left:
            self._finish(item, self.records.failed(reason), made_by)

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


class _Progress:
    """done/total, texts per second and the time left, on a terminal."""

    def __init__(self, out, total):
        self.out = out
        self.total = total
        self.start = time.monotonic()
        self.live = out.isatty()

    def __call__(self, settled):
        if not self.live or not self.total:
            return
        rate = settled / max(time.monotonic() - self.start, 1e-9)
        left = self.total - settled
        eta = human_time(left / rate) if rate and left else "-"
        self.out.progress(settled, self.total,
                          f"{rate:.1f} texts/s, {eta} left")


def _unique(items):
    seen = set()
    for item in items:
        if item.key not in seen:
            seen.add(item.key)
            yield item


def public_url(url):
    """A base URL as a record may show it: without user and password, a
    query or a fragment, which may hold credentials."""
    parts = urllib.parse.urlsplit(url)
    host = parts.netloc.rpartition("@")[2]
    return urllib.parse.urlunsplit((parts.scheme, host, parts.path, "", ""))


def service_of(source, settings):
    """What the records say of the service: a hosted one's base URL and
    model, the stand-in's model, or the local model's sha256 when it is
    known without hashing it (the built-in model's is pinned, a model
    file's stamped when it was verified), else its path."""
    if isinstance(source, Local):
        path = settings.model_file
        if path is None:
            return {"local_model": f"sha256:{DEFAULT_MODEL.sha256}"}
        stamp = read_stamp(path)
        if stamp and stamp.get("current") and stamp.get("sha256"):
            return {"local_model": f"sha256:{stamp['sha256']}"}
        return {"local_model": str(path)}
    if isinstance(source, Demo):
        return {"stand_in": True, "model": settings.model}
    return {"base_url": public_url(settings.base_url),
            "model": settings.model}


class ClusterRun:
    """A run of the command on the cluster at --ray, its records in
    --output."""

    def __init__(self, args, source, settings, out, seconds):
        self.args = args
        self.out = out
        local = isinstance(source, Local)
        self.plan = Plan(argparse.Namespace(**{**vars(args), "files": []}),
                         None if local else source,
                         settings.model_file if local else settings,
                         local_service, seconds)
        self.made_by = {"command": args.command, "prompt": args.prompt,
                        "length": args.length,
                        "service": service_of(source, settings)}
        if args.split:  # a text answered in parts is answered otherwise
            self.made_by["split"] = ("the local model's context" if local
                                     else {"part_chars": args.part_chars})
        self.todo = None
        self.dispatcher = None

    def left(self, why):
        """The line that says why the run ended early, and what is left."""
        if self.todo is None:  # before the inputs were known
            return (f"factbrief: {why}; no record in {self.args.output} "
                    f"yet: the same command again does them")
        settled = self.dispatcher.settled if self.dispatcher else 0
        return (f"factbrief: {why}; {len(self.todo) - settled} inputs have "
                f"no record in {self.args.output} yet: the same command "
                f"again does them")

    def __call__(self):
        """The exit status. UsageError, ClusterError and KeyboardInterrupt
        end it early."""
        try:
            import ray
            import ray.exceptions  # noqa: F401 (the errors told apart)
        except ImportError:
            raise UsageError(f"factbrief: --ray needs Ray, which is not "
                             f"installed for this Python: {INSTALL}") \
                from None
        results = Results(self.args.output)
        try:
            results.open()
        except OSError as e:
            results.close()
            raise UsageError(f"factbrief: cannot write {self.args.output}: "
                             f"{e.strerror or e}") from None
        try:
            # SIGTERM ends the run as Ctrl-C does: Ray's folder and
            # processes are cleaned up, and what is left is named.
            with Stops().taken() as stops:
                items = inputs(self.args.files, self.args.max_bytes)
                return self._run(ray, results, items, stops)
        finally:
            results.close()

    def _run(self, ray, results, items, stops):
        out = self.out
        self.todo = list(_unique(items))
        stderr, sys.stderr = sys.stderr, out  # Ray's relayed lines masked
        started = time.monotonic()
        try:
            with connected(ray, self.args.ray, stops):
                self.dispatcher = Dispatcher(ray, self.plan, out, results,
                                             self.made_by, stops.check)
                try:
                    self.dispatcher(self.todo, _Progress(out,
                                                         len(self.todo)))
                finally:
                    self.dispatcher.stop()
        finally:
            sys.stderr = stderr
        out.done()
        took = time.monotonic() - started
        counts = self.dispatcher.counts
        written = self.dispatcher.finished
        out.say(f"factbrief: {written} records written to "
                f"{self.args.output} in {human_time(took)} "
                f"({written / max(took, 1e-9):.1f} texts/s); "
                f"{counts[DONE]} inputs were done before, {counts[CHANGED]} "
                f"sent again because they changed, {counts[RETRIED]} sent "
                f"again after failing, {counts[NEW]} new")
        unsupported = self.dispatcher.unsupported
        if unsupported and written > 1:
            out.say(unsupported_line(unsupported, written))
        if self.dispatcher.failed or (unsupported and self.args.strict):
            return ExitStatus.FAILED
        return ExitStatus.OK

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
import sys
import time

from factbrief.cli.cluster.node import MAX_IN_FLIGHT, Node, Plan
from factbrief.cli.cluster.session import connected
from factbrief.cli.corpus import inputs
from factbrief.cli.exceptions import ClusterError, UsageError
from factbrief.cli.inputs import Reader
from factbrief.cli.records import Records
from factbrief.cli.results import Results
from factbrief.cli.run import unsupported_line
from factbrief.cli.settings import Local
from factbrief.cli.status import ExitStatus
from factbrief.display import human_time
from factbrief.local.service import local_service

INSTALL = "pip install 'factbrief[ray]'"
# Each node also holds as many texts again, waiting for a free request:
# it starts the next one as soon as one ends, without waiting for the
# driver to hear of it and send another.
AHEAD = 2
MAX_LOSSES = 3  # an input whose worker is lost this often has failed
NODE_POLL = 10.0  # seconds between looks for nodes that joined
STOP_WAIT = 10.0  # seconds the nodes get to stop their services


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


class Dispatcher:
    """Hands the inputs to the nodes' actors and writes each record."""

    def __init__(self, ray, plan, out, results):
        self.ray = ray
        self.plan = plan
        self.jobs = plan.args.jobs
        self.records = Records(plan.args)
        self.reader = Reader(plan.args.max_bytes, plan.seconds)
        self.out = out
        self.results = results
        self.workers = {}  # node id -> _Worker
        self.in_flight = {}  # object ref -> (input, losses, worker)
        self.queue = collections.deque()
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

    def _submit(self, worker, item, losses):
        try:
            text = self.reader.read(item)
        except Exception as e:  # as on one machine: this input alone
            return self._finish(item, self.records.unread(e, self.out.mask))
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
            outcome = self.records.failed(f"its worker was lost "
                                          f"{MAX_LOSSES} times ({_cause(e)})")
        except errors.RayError as e:
            outcome = self.records.failed(f"the worker failed: {_cause(e)}")
        self._finish(item, outcome)

    def _finish(self, item, outcome):
        record = self.records.record_for(item, outcome)
        self.records.report(self.out, item.label(), outcome)
        self.failed = self.failed or record["status"] == "error"
        self.unsupported += bool(record.get("unsupported_numbers"))
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
        self.todo = None
        self.dispatcher = None

    def left(self, why):
        """The line that says why the run ended early, and what is left."""
        if self.todo is None:  # before the inputs were known
            return (f"factbrief: {why}; no record in {self.args.output} "
                    f"yet: the same command again does them")
        finished = self.dispatcher.finished if self.dispatcher else 0
        return (f"factbrief: {why}; {len(self.todo) - finished} inputs have "
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
            items = inputs(self.args.files)
            done = results.open({item.key for item in items})
        except OSError as e:
            raise UsageError(f"factbrief: cannot write {self.args.output}: "
                             f"{e.strerror or e}") from None
        try:
            return self._run(ray, results, items, done)
        finally:
            results.close()

    def _run(self, ray, results, items, done):
        out = self.out
        self.todo = list(_unique(items, done))
        stderr, sys.stderr = sys.stderr, out  # Ray's relayed lines masked
        started = time.monotonic()
        try:
            if results.dropped:
                out.say(f"factbrief: {self.args.output}: {len(done)} inputs "
                        f"done before; {results.dropped} earlier records "
                        f"dropped, as their inputs run again")
            with connected(ray, self.args.ray):
                self.dispatcher = Dispatcher(ray, self.plan, out, results)
                try:
                    self.dispatcher(self.todo, _Progress(
                        out, len(done), len(done) + len(self.todo)))
                finally:
                    self.dispatcher.stop()
        finally:
            sys.stderr = stderr
        out.done()
        took = time.monotonic() - started
        out.say(f"factbrief: {len(self.todo)} records written to "
                f"{self.args.output} in {human_time(took)} "
                f"({len(self.todo) / max(took, 1e-9):.1f} texts/s); "
                f"{len(done)} inputs were done before")
        unsupported = self.dispatcher.unsupported
        if unsupported and len(self.todo) > 1:
            out.say(unsupported_line(unsupported, len(self.todo)))
        if self.dispatcher.failed or (unsupported and self.args.strict):
            return ExitStatus.FAILED
        return ExitStatus.OK

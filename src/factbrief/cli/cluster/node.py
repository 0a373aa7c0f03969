"""The actor on each node of a run on Ray: holds the run's service open and
answers texts through the engine, as the command on one machine would,
several at once."""

import argparse
import contextlib
import sys
import threading
from typing import NamedTuple

from factbrief.cli.context import Output
from factbrief.cli.run import engine_for
from factbrief.cli.settings import Settings
from factbrief.engine.reasons import WHOLE_MATCH, Redactor
from factbrief.local.progress import Progress
from factbrief.local.tokens import context_limit

MAX_IN_FLIGHT = 64  # per node, whatever a server's slots
# The node's engine never holds a call back: the node's own limit does,
# for every request the driver sends (a text, a part's call, a cut).
AHEAD_OF_SLOTS = 2


class Plan(NamedTuple):
    """What a node needs for the run: the options, and the service."""
    args: argparse.Namespace
    source: object  # a source of settings.py, None for --local
    settings: object  # its settings; for --local, the model file
    serve_local: object  # local_service, or a stand-in for it in tests
    seconds: float  # each text's deadline


class Node:
    """On one node for one run (a threaded actor)."""

    def __init__(self, plan):
        self._plan = plan
        self._lock = threading.Lock()
        self._stack = None
        self._engine = None
        self._slots = None
        self._stderr = sys.stderr
        self._free = threading.Condition()
        self._active = 0

    def start(self):
        """Starts the service if it is not running; returns how many
        requests it takes at once (None: as many as the driver sends)."""
        with self._lock:
            if self._engine is None:
                self._open()
            return self._slots

    def _open(self):
        plan = self._plan
        keys = [getattr(plan.settings, "api_key", None)]
        out = Output(self._stderr, Redactor(keys))
        sys.stderr = out  # what the node prints is masked
        with contextlib.ExitStack() as stack:
            if plan.source is None:
                served = stack.enter_context(
                    plan.serve_local(Progress(out), plan.settings))
                if len(served.api_key) >= WHOLE_MATCH:  # not a placeholder
                    out.mask = Redactor([served.api_key])
                settings = Settings(served.base_url, served.api_key,
                                    served.model, limit=context_limit(served))
                self._slots = min(MAX_IN_FLIGHT,
                                  max(1, int(getattr(served, "slots", 1))))
            else:
                settings = stack.enter_context(
                    plan.source.serve(plan.settings, out))
            self._engine = stack.enter_context(
                engine_for(plan.args, settings, out.mask, plan.seconds,
                           jobs=AHEAD_OF_SLOTS * MAX_IN_FLIGHT))
            self._stack = stack.pop_all()

    def answer(self, text, limit=None):
        """The outcome for `text` sent whole (or refused), as the command
        makes it; with --split, for a text too long, its parts, which the
        driver spreads over the nodes (Engine.steps)."""
        return self._limited(limit, lambda e: e.whole_or_parts(text))

    def call(self, command, text, prompt, limit=None):
        """The outcome of one call of the module: a step of a split text."""
        return self._limited(limit, lambda e: e.call(command, text, prompt))

    def cut(self, text, limit=None):
        """`text` in pieces that fit a request, as this node's service
        counts them (Engine.cut)."""
        return self._limited(limit, lambda e: e.cut(text))

    def _limited(self, limit, work):
        """work(engine), once fewer than `limit` (else the server's
        slots) requests are running here."""
        self.start()
        limit = limit or self._slots
        with self._free:
            self._free.wait_for(lambda: self._active < limit)
            self._active += 1
        try:
            return work(self._engine)
        finally:
            with self._free:
                self._active -= 1
                self._free.notify_all()

    def stop(self):
        with self._lock:
            if self._stack is not None:
                self._stack.close()
                self._stack = self._engine = None
            sys.stderr = self._stderr

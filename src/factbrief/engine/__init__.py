"""Many texts through the module's own methods, several at once.

    import factbrief
    for record in factbrief.extract_many(texts, base_url, api_key, model):
        print(record["status"], record["summary"])

`extract_many` and `title_many` yield, in input order, exactly the
records `AISummary.extract` and `AISummary.refined_title` return for the
texts, with at most `jobs` requests in flight over one shared connection
pool (a client of its own per call costs about 45 ms of CPU in loading
the certificate bundle), and `timeout` a deadline for each text's whole
request, retries included. A failed text's reason is logged on the
`factbrief` logger with the key masked; the module's traceback is not
printed. `Engine` is the same for a program that wants the reasons too
(`Outcome`), or answers texts one by one from threads of its own.

Nothing else in the process sees a change: while an engine is open the
module's globals `OpenAI` and `traceback` are hooks that serve only the
engine's own calls and hand every other call to what was there before.
"""

import logging
import time
from collections.abc import Iterable, Iterator
from typing import Any, Callable, Literal, NamedTuple

from factbrief.engine.clients import HOOKS, CallLog, SharedClients
from factbrief.engine.ordered import OrderedPool
from factbrief.engine.reasons import Redactor, describe

__all__ = ["Engine", "Outcome", "extract_many", "title_many"]

Command = Literal["extract", "title"]
ANSWER_KEY = {"extract": "summary", "title": "title"}
LOG = logging.getLogger("factbrief")


class Outcome(NamedTuple):
    """One text's result: the module's record, and for a failure one line
    saying why (the key masked) and the traceback the module printed.
    `skipped`: not sent, as a caller that reads texts found it blank."""
    record: dict[str, Any]
    reason: str = ""
    printed: str = ""
    skipped: bool = False


class _Call(NamedTuple):
    factory: Any
    log: CallLog


class Engine:
    """The module's `extract` (or `refined_title`) for many texts: opened
    once, then `answer(text)` from any number of threads.

    `timeout` is each text's deadline in seconds (None: only the client's
    own time-outs); `max_retries` and `client_timeout` the client's
    retries and time-out of each attempt (None: its own); `mask` hides
    secrets in reasons (default: the API key).
    """

    def __init__(self, base_url: str, api_key: str, model_id: str,
                 *, command: Command = "extract", prompt: str = "",
                 length: int = 200, timeout: float | None = None,
                 max_retries: int | None = None,
                 client_timeout: float | None = None,
                 mask: Redactor | None = None) -> None:
        if command not in ANSWER_KEY:
            raise ValueError(f"command must be 'extract' or 'title', not "
                             f"{command!r}")
        self.base_url = base_url
        self.command = command
        self.answer_key = ANSWER_KEY[command]
        self.prompt = prompt
        self.length = length
        self.timeout = timeout
        self.mask = mask if mask is not None else Redactor([api_key])
        self._settings = (base_url, api_key, model_id)
        self._client_options = (client_timeout, max_retries)
        self._method: Callable[..., Any] | None = None
        self._call: _Call | None = None
        self._clients: SharedClients | None = None

    def open(self) -> "Engine":
        from factbrief.factbrief import AISummary
        import factbrief.factbrief as module
        if self._clients is not None:
            return self
        log = CallLog()
        clients = SharedClients(log, *self._client_options)
        self._clients, self._call = clients, _Call(clients.factory, log)
        client = AISummary(*self._settings)
        self._method = (client.extract if self.command == "extract"
                        else client.refined_title)
        HOOKS.open(module)
        return self

    def close(self) -> None:
        if self._clients is None:
            return
        HOOKS.close()
        self._clients.close()
        self._clients = self._method = self._call = None

    def __enter__(self) -> "Engine":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def blank(self) -> dict[str, Any]:
        """A failure record, as the module makes one."""
        return {self.answer_key: "", "content": "", "status": "error"}

    def answer(self, text: Any) -> Outcome:
        """One call of the module for `text`, ended by the deadline."""
        call, method = self._call, self._method
        if call is None or method is None:
            raise RuntimeError("the engine is not open")
        deadline = (None if self.timeout is None
                    else time.monotonic() + self.timeout)
        with HOOKS.making(call), call.log.capture(deadline):
            record = method(text, self.prompt, self.length)
        if record.get("status") == "ok":
            return Outcome(record)
        reason = describe(call.log.exception, self.base_url, self.mask,
                          call.log.response, self.timeout)
        return Outcome(record, reason, self.mask(call.log.printed))

    def outcomes(self, texts: Iterable[Any], jobs: int = 4
                 ) -> Iterator[Outcome]:
        """An Outcome per text, in input order, `jobs` at a time."""
        _check_jobs(jobs)
        pool = OrderedPool(self.answer, jobs)
        finished = False
        try:
            for _, outcome in pool.map(texts):
                yield outcome
            finished = True
        finally:
            # Left early: the calls in flight end before the engine does.
            if not finished:
                pool.close(wait=True)


def _check_jobs(jobs: int) -> None:
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int, not {type(jobs).__name__}")
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")


def _records(engine: Engine, texts: Iterable[Any], jobs: int
             ) -> Iterator[dict[str, Any]]:
    with engine:
        for number, outcome in enumerate(engine.outcomes(texts, jobs)):
            if outcome.reason:
                LOG.warning("text %d: %s", number, outcome.reason)
            yield outcome.record


def _many(command: Command, texts: Iterable[str], base_url: str,
          api_key: str, model_id: str, prompt: str, length: int, jobs: int,
          timeout: float | None) -> Iterator[dict[str, Any]]:
    _check_jobs(jobs)
    if timeout is not None and not timeout > 0:
        raise ValueError(f"timeout must be above 0, not {timeout!r}")
    engine = Engine(base_url, api_key, model_id, command=command,
                    prompt=prompt, length=length, timeout=timeout)
    return _records(engine, iter(texts), jobs)


def extract_many(texts: Iterable[str], base_url: str, api_key: str,
                 model_id: str, *, prompt: str = "", length: int = 200,
                 jobs: int = 4, timeout: float | None = None
                 ) -> Iterator[dict[str, Any]]:
    """`AISummary(base_url, api_key, model_id).extract(text, prompt,
    length)` for each text, `jobs` at a time: the records in input
    order, as each is ready. `timeout`: seconds for each text's whole
    request, retries included (None: the client's own time-outs)."""
    return _many("extract", texts, base_url, api_key, model_id, prompt,
                 length, jobs, timeout)


def title_many(texts: Iterable[str], base_url: str, api_key: str,
               model_id: str, *, prompt: str = "", length: int = 200,
               jobs: int = 4, timeout: float | None = None
               ) -> Iterator[dict[str, Any]]:
    """As `extract_many`, with `AISummary.refined_title`: `prompt` is
    the instruction."""
    return _many("title", texts, base_url, api_key, model_id, prompt,
                 length, jobs, timeout)

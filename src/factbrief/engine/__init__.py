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
import threading
import time
from collections.abc import Iterable, Iterator
from typing import Any, Callable, Literal, NamedTuple

from factbrief.engine.clients import HOOKS, CallLog, SharedClients
from factbrief.engine.ordered import OrderedPool
from factbrief.engine.outcome import Outcome, blank
from factbrief.engine.parts import PartLimit, Split, in_parts, too_long
from factbrief.engine.reasons import Redactor, describe

__all__ = ["Engine", "Outcome", "PartLimit", "extract_many", "title_many"]

Command = Literal["extract", "title"]
ANSWER_KEY = {"extract": "summary", "title": "title"}
LOG = logging.getLogger("factbrief")


class _Call(NamedTuple):
    factory: Any
    log: CallLog


class Engine:
    """The module's `extract` (or `refined_title`) for many texts: opened
    once, then `answer(text)` from any number of threads, at most `jobs`
    requests in flight.

    `timeout` is each request's deadline in seconds (None: only the
    client's own time-outs); `max_retries` and `client_timeout` the
    client's retries and time-out of each attempt (None: its own); `mask`
    hides secrets in reasons (default: the API key).

    `limit` (a PartLimit) says how much one request may carry: with
    `split`, a longer text is answered in parts and its record says how
    many ("parts"); without, a text over a strict limit is refused before
    anything is sent. `check_numbers` adds "unsupported_numbers" to each
    "ok" record: the numbers its answer states that its text does not
    support (factbrief.grounding).
    """

    def __init__(self, base_url: str, api_key: str, model_id: str,
                 *, command: Command = "extract", prompt: str = "",
                 length: int = 200, jobs: int = 4,
                 timeout: float | None = None,
                 max_retries: int | None = None,
                 client_timeout: float | None = None,
                 mask: Redactor | None = None, split: bool = False,
                 limit: PartLimit | None = None,
                 check_numbers: bool = False) -> None:
        if command not in ANSWER_KEY:
            raise ValueError(f"command must be 'extract' or 'title', not "
                             f"{command!r}")
        _check_jobs(jobs)
        self.base_url = base_url
        self.command = command
        self.answer_key = ANSWER_KEY[command]
        self.prompt = prompt
        self.length = length
        self.jobs = jobs
        self.timeout = timeout
        self.mask = mask if mask is not None else Redactor([api_key])
        self.split = split
        self.limit = limit
        self.check_numbers = check_numbers
        self._settings = (base_url, api_key, model_id)
        self._client_options = (client_timeout, max_retries)
        self._slots = threading.BoundedSemaphore(jobs)
        self._methods: dict[str, Callable[..., Any]] = {}
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
        self._methods = {"extract": client.extract,
                         "title": client.refined_title}
        HOOKS.open(module)
        return self

    def close(self) -> None:
        if self._clients is None:
            return
        HOOKS.close()
        self._clients.close()
        self._clients = self._call = None
        self._methods = {}

    def __enter__(self) -> "Engine":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    def blank(self) -> dict[str, Any]:
        """A failure record, as the module makes one."""
        return blank(self.answer_key)

    def answer(self, text: Any) -> Outcome:
        """The outcome for `text`: one call of the module, or with
        `split` as many as its parts need."""
        begun = self.whole_or_parts(text)
        if isinstance(begun, Outcome):
            return begun
        return self.checked(self._driven(self.steps(begun)), text)

    def whole_or_parts(self, text: Any) -> "Outcome | list[str]":
        """The outcome for `text` sent whole, or refused; else, with
        `split`, the parts it is cut into, for `steps`."""
        limit = self.limit
        if limit is not None and isinstance(text, str):
            if self.split:
                pieces = self.cut(text)
                if pieces != [text]:  # its parts, or a failure to count
                    return pieces
            elif limit.strict:
                refused = self._refused(text)
                if refused is not None:
                    return refused
        return self.checked(self.call(self.command, text), text)

    def _refused(self, text: str) -> Outcome | None:
        """The outcome of a text over the service's own limit, not sent;
        None when it fits, or when the service could not count it (it
        says itself whether the text fits)."""
        from factbrief.splitting import fits
        assert self.limit is not None
        try:
            measure = self.limit.measure(text)
        except Exception:
            return None
        if fits(text, self.limit.most, measure):
            return None
        return Outcome(self.blank(), too_long(
            self.limit, self.limit.cost(text, measure)))

    def steps(self, parts: list[str]) -> Any:
        """The steps that answer a text cut into `parts` (parts.in_parts),
        for a caller that sends them itself; `checked` the outcome."""
        return in_parts(self.command, self.prompt, parts, self.answer_key)

    def checked(self, outcome: Outcome, text: Any) -> Outcome:
        """`outcome` with, if so asked, the numbers its answer states that
        `text` does not support."""
        if self.check_numbers:
            return numbers_checked(outcome, text, self.answer_key)
        return outcome

    def cut(self, text: str) -> "list[str] | Outcome":
        """`text` in pieces that each fit one request (one piece when it
        fits), or the outcome of a failure to count it."""
        from factbrief.splitting import fits, split_text
        assert self.limit is not None
        try:
            measure = self.limit.measure(text)
        except Exception as e:
            return Outcome(self.blank(), self.mask(str(e)))
        if fits(text, self.limit.most, measure):
            return [text]
        return split_text(text, self.limit.most, measure)

    def _driven(self, steps: Any) -> Outcome:
        """Runs the steps here, each step's calls at once within `jobs`."""
        reply: Any = None
        while True:
            try:
                step = steps.send(reply)
            except StopIteration as end:
                return end.value
            if isinstance(step, Split):
                reply = self.cut(step.text)
            else:
                pool = OrderedPool(lambda call: self.call(*call), self.jobs)
                reply = [outcome for _, outcome in pool.map(step.calls)]

    def call(self, command: Command, text: Any, prompt: str | None = None
             ) -> Outcome:
        """One call of the module's method for `command`, ended by the
        deadline, once fewer than `jobs` are in flight."""
        call, method = self._call, self._methods.get(command)
        if call is None or method is None:
            raise RuntimeError("the engine is not open")
        prompt = self.prompt if prompt is None else prompt
        deadline = (None if self.timeout is None
                    else time.monotonic() + self.timeout)
        with self._slots, HOOKS.making(call), call.log.capture(deadline):
            record = method(text, prompt, self.length)
        if record.get("status") == "ok":
            return Outcome(record)
        reason = describe(call.log.exception, self.base_url, self.mask,
                          call.log.response, self.timeout)
        return Outcome(record, reason, self.mask(call.log.printed))

    def outcomes(self, texts: Iterable[Any]) -> Iterator[Outcome]:
        """An Outcome per text, in input order, `jobs` at a time."""
        pool = OrderedPool(self.answer, self.jobs)
        finished = False
        try:
            for _, outcome in pool.map(texts):
                yield outcome
            finished = True
        finally:
            # Left early: the calls in flight end before the engine does.
            if not finished:
                pool.close(wait=True)


def numbers_checked(outcome: Outcome, text: Any, answer_key: str
                    ) -> Outcome:
    """`outcome`, an "ok" one given "unsupported_numbers": the numbers its
    answer states that `text` does not support (factbrief.grounding)."""
    if outcome.record.get("status") == "ok":
        from factbrief.grounding import unsupported_numbers
        said = outcome.record.get(answer_key)
        outcome.record["unsupported_numbers"] = (
            unsupported_numbers(said, text)
            if isinstance(said, str) and isinstance(text, str) else [])
    return outcome


def _check_jobs(jobs: int) -> None:
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int, not {type(jobs).__name__}")
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")


def _records(engine: Engine, texts: Iterable[Any]
             ) -> Iterator[dict[str, Any]]:
    with engine:
        for number, outcome in enumerate(engine.outcomes(texts)):
            if outcome.reason:
                LOG.warning("text %d: %s", number, outcome.reason)
            yield outcome.record


DEFAULT_PART_CHARS = 12_000


def _many(command: Command, texts: Iterable[str], base_url: str,
          api_key: str, model_id: str, options: dict[str, Any]
          ) -> Iterator[dict[str, Any]]:
    timeout, part_chars = options["timeout"], options.pop("part_chars")
    if timeout is not None and not timeout > 0:
        raise ValueError(f"timeout must be above 0, not {timeout!r}")
    if isinstance(part_chars, bool) or not isinstance(part_chars, int) \
            or part_chars < 1:
        raise ValueError(f"part_chars must be a whole number of at least "
                         f"1, not {part_chars!r}")
    engine = Engine(base_url, api_key, model_id, command=command,
                    limit=PartLimit(part_chars), **options)
    return _records(engine, iter(texts))


def extract_many(texts: Iterable[str], base_url: str, api_key: str,
                 model_id: str, *, prompt: str = "", length: int = 200,
                 jobs: int = 4, timeout: float | None = None,
                 split: bool = False,
                 part_chars: int = DEFAULT_PART_CHARS,
                 check_numbers: bool = False) -> Iterator[dict[str, Any]]:
    """`AISummary(base_url, api_key, model_id).extract(text, prompt,
    length)` for each text, `jobs` at a time: the records in input
    order, as each is ready. `timeout`: seconds for each request, retries
    included (None: the client's own time-outs).

    `split`: a text over `part_chars` characters is summarised in parts,
    then the parts' summaries once more; its record adds "parts".
    `check_numbers`: each "ok" record adds "unsupported_numbers", the
    numbers its answer states that its text does not support. Without
    either, each record is exactly the module's own."""
    return _many("extract", texts, base_url, api_key, model_id, dict(
        prompt=prompt, length=length, jobs=jobs, timeout=timeout,
        split=split, part_chars=part_chars, check_numbers=check_numbers))


def title_many(texts: Iterable[str], base_url: str, api_key: str,
               model_id: str, *, prompt: str = "", length: int = 200,
               jobs: int = 4, timeout: float | None = None,
               split: bool = False, part_chars: int = DEFAULT_PART_CHARS,
               check_numbers: bool = False) -> Iterator[dict[str, Any]]:
    """As `extract_many`, with `AISummary.refined_title`: `prompt` is
    the instruction. A split text's parts are summarised by `extract`,
    and the title made from their summaries."""
    return _many("title", texts, base_url, api_key, model_id, dict(
        prompt=prompt, length=length, jobs=jobs, timeout=timeout,
        split=split, part_chars=part_chars, check_numbers=check_numbers))

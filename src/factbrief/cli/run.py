"""A run of `extract` or `title` on this machine: each input read and sent
through the engine, up to --jobs at once, and its record printed in
input order, as a JSON line or as plain text."""

import json
import shlex

from factbrief.cli.exceptions import OutputClosed, OutputUnwritable
from factbrief.cli.inputs import STDIN, Reader
from factbrief.cli.records import Records
from factbrief.cli.status import ExitStatus
from factbrief.cli.writer import write_to_stream
from factbrief.engine import Engine, PartLimit
from factbrief.engine.ordered import OrderedPool


class Run:
    """One run of the command over its inputs, through an open engine."""

    def __init__(self, args, engine, out, env, interrupts, seconds):
        self.args = args
        self.engine = engine
        self.out = out
        self.stdout = env.stdout
        self.interrupts = interrupts
        self.records = Records(args)
        self.reader = Reader(args.max_bytes, seconds, env.stdin)
        self.finished = 0  # inputs whose record is out
        self.items = []

    def left(self, why):
        """The line that says why the run ended early, naming the inputs
        that got no record."""
        return unrecorded(why, self.items[self.finished:])

    def work(self, item):
        """Runs in a worker thread: one input, one call with its deadline.
        Whatever goes wrong with one input is that input's outcome."""
        try:
            text = self.reader.read(item)
        except Exception as e:
            return self.records.unread(e, self.out.mask)
        return self.engine.answer(text)

    def emit(self, record, several, label):
        if self.args.format == "json":
            text = json.dumps(record, ensure_ascii=False) + "\n"
        elif record["status"] != "ok":
            return
        else:
            answer = record.get(self.records.answer_key) or ""
            head = f"==> {label} <==\n" if several else ""
            text = f"{head}{answer}\n{self._unsupported(record)}"
        try:
            write_to_stream(self.stdout, text.encode("utf-8"))
        except BrokenPipeError:
            raise OutputClosed from None
        except (OSError, ValueError) as e:  # ValueError: a closed file
            raise OutputUnwritable(getattr(e, "strerror", None) or e) \
                from None

    def _unsupported(self, record):
        """The line after a text answer naming the numbers its text does
        not support, highlighted on a terminal; empty when there are
        none."""
        numbers = record.get("unsupported_numbers")
        if not numbers:
            return ""
        line = (f"[numbers not supported by the text: "
                f"{', '.join(numbers)}]")
        isatty = getattr(self.stdout, "isatty", None)
        if isatty is not None and isatty():
            line = f"{HIGHLIGHT}{line}{PLAIN}"
        return line + "\n"

    def __call__(self, items):
        """Prints a record per input; returns the exit status. On Ctrl-C,
        `self.finished` says how many got one."""
        self.items = items
        if any(item.file == STDIN for item in items):
            self.reader.read_stdin()
        show_progress = len(items) > 1 and self.out.isatty()
        failed = False
        unsupported = 0
        pool = OrderedPool(self.work, min(self.args.jobs, len(items)))
        for item, outcome in pool.map(items):
            label = item.label()
            self.records.report(self.out, label, outcome)
            record = self.records.record_for(item, outcome)
            unsupported += bool(record.get("unsupported_numbers"))
            failed = failed or record["status"] == "error"
            self.out.done()  # standard output may be the same terminal
            with self.interrupts.deferred():
                self.emit(record, len(items) > 1, label)
                self.finished += 1
            if show_progress:
                self.out.progress(self.finished, len(items), label)
        self.out.done()
        if unsupported and len(items) > 1:
            self.out.say(unsupported_line(unsupported, len(items)))
        if failed or (unsupported and self.args.strict):
            return ExitStatus.FAILED
        return ExitStatus.OK


HIGHLIGHT, PLAIN = "\x1b[1;33m", "\x1b[0m"


def unsupported_line(count, total):
    """The end of a run's line: how many answers state numbers their text
    does not support."""
    return (f"factbrief: {count} of {total} answers state numbers their "
            f"text does not support (\"unsupported_numbers\" in their "
            f"records)")


# Tokens of a request that are not the text: the fixed instruction, the
# length and the chat template (about 60 with the local model), with room
# to spare; the caller's prompt is counted at a token per character.
INSTRUCTION_ROOM = 96


def part_limit(args, settings):
    """What one request may carry: the service's own limit (the local
    model's context) less the instruction's room, else with --split
    --part-chars characters; None when neither applies."""
    own = settings.limit
    if own is not None:
        room = INSTRUCTION_ROOM + len(args.prompt)
        return own._replace(most=max(1, own.most - room))
    if args.split:
        return PartLimit(args.part_chars)
    return None


def engine_for(args, settings, mask, seconds, jobs=None):
    """The engine for a run of `args` against the service of `settings`:
    each request given `seconds`, the client's own time-out and retries
    changed only by the options, every answer's numbers checked."""
    return Engine(settings.base_url, settings.api_key, settings.model,
                  command=args.command, prompt=args.prompt,
                  length=args.length, jobs=jobs or args.jobs,
                  timeout=seconds, max_retries=args.max_retries,
                  client_timeout=args.timeout, mask=mask, split=args.split,
                  limit=part_limit(args, settings), check_numbers=True)


def unrecorded(why, items):
    """`why`, and the inputs that got no record, quoted for a shell."""
    if not items:
        return f"factbrief: {why}"
    shown = " ".join(shlex.quote(item.file) for item in items)
    return (f"factbrief: {why}; no record for {len(items)} "
            f"input{'s' if len(items) != 1 else ''}: {shown}")

"""The `factbrief` command: the module's two service methods from the shell.

    factbrief extract [FILE ...]              facts and a summary
    factbrief title --prompt TEXT [FILE ...]  a refined title

Each text (a file, or standard input when no file or "-" is given) goes to
one call of `AISummary.extract` or `AISummary.refined_title`, up to --jobs
calls at once; the results are printed in input order, as JSON lines or as
plain text. A failed input gets one line on standard error saying why; the
module's own traceback is shown with --verbose. Exit status: see EXIT_CODES.

The service is named by the options and the environment, or started for
the run: `--local` serves a language model on this machine (factbrief.local,
which also runs `factbrief local start|stop|status|remove`), `--demo` the
stand-in (factbrief.cli.settings).
"""

import argparse
import errno
import json
import math
import os
import shlex
import signal
import sys
import time
from typing import NamedTuple

from factbrief.cli import cluster, keys
from factbrief.cli.calls import CallLog, OrderedPool, shared_clients
from factbrief.cli.errors import Redactor, describe
from factbrief.cli.inputs import (DEFAULT_MAX_BYTES, STDIN, Refused, Skipped,
                                  parse_size, read_file, read_limited)
from factbrief.cli.interrupts import Interrupts
from factbrief.cli.settings import (ENV, UsageError, add_source_options,
                                    source_for)
from factbrief.local import command as local_command
from factbrief.local import service as local_service
from factbrief.local.cache import LocalError
from factbrief.local.service import MODEL_FILE_ENV

ANSWER_KEY = {"extract": "summary", "title": "title"}
DEFAULT_JOBS = 4
MAX_JOBS = 64
DEFAULT_TIMEOUT = 600.0  # the client's own
MAX_TIMEOUT = 86_400.0
EXIT_PIPE = 128 + signal.SIGPIPE  # what a shell shows for a closed pipe
EXIT_CODES = """\
exit status:
  0    every input got an "ok" record (or was skipped with --allow-empty)
  1    some input failed: its record has "status": "error" and an "error"
       key, and standard error has one line saying why; or the local
       service of --local could not be set up or started (one line says
       what to do, nothing was sent); or standard output could not be
       written (e.g. a full disk): the inputs that got no record are named
  2    usage error: a bad option, a missing or malformed setting, or
       factbrief not installed for this Python; nothing was sent
  130  interrupted (Ctrl-C); the inputs that got no record are named
  141  standard output was closed (e.g. by `| head`); the run stops quietly
"""
CLEANING = """\
what the service sees: every character that is neither a letter, a digit,
the underscore nor white space is removed first, except a number's own
marks, and the "content" key shows the result. Numbers stay whole: 3.5,
6,300, 1.3%, 3:45, 2024-01-03, -5 and 测得-52.3 are sent as written,
while $3.50 becomes 3.50 and x-5 becomes x5. Other punctuation goes, so
URLs and e-mail addresses are mangled: a@b.com becomes abcom.
"""
SETTINGS_HELP = f"""\
settings: --base-url, else ${ENV['base_url'][0]}; --api-key or
--api-key-file, else ${ENV['api_key'][0]}; --model, else
${ENV['model'][0]}, else ${ENV['model'][1]} ({ENV['model'][0]} wins when
both are set). --local and --demo need none of them; --local serves
--model-file, else ${MODEL_FILE_ENV}, else the built-in model.

the key: every user of this machine can read a command line, so a key
given as -k KEY is visible to them while the command runs. The
environment (${ENV['api_key'][0]}), --api-key-file PATH or -k - (the key on
standard input; typed unseen on a terminal) keep it to you. The command
never prints the key: it shows *** in its place.
"""
EXAMPLES = """\
examples:
  factbrief extract --local notes.txt       a language model on this machine
  factbrief extract --demo notes.txt        try it with the local stand-in
  factbrief extract -m gpt-4o-mini -l 100 a.txt b.txt > facts.jsonl
  echo "Rivers, lakes & seas" | factbrief title -p "Give a title" -f text
  factbrief extract -j 16 --no-content reports/*.txt | jq -r .summary
"""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(f"{self.prog}: {message} (see {self.prog} -h)")


def _number(kind, low, high=None):
    """An argparse type: an int at least `low`, or a finite float above
    it; and at most `high`."""
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            value = None
        if (value is None or not math.isfinite(value) or value < low
                or (kind is float and value == low)
                or (high is not None and value > high)):
            wanted = (f"a whole number of at least {low}" if kind is int
                      else f"a number above {low:g}")
            most = f" and at most {high:g}" if high is not None else ""
            raise argparse.ArgumentTypeError(f"must be {wanted}{most}, "
                                             f"not {text!r}")
        return value
    return parse


def _size(text):
    try:
        return parse_size(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _add_options(parser, defaults):
    """The options every command takes, before or after the command name.

    The top parser holds the defaults; a command's parser adds only what
    is given after the name, so both places work.
    """
    def add(*names, default=None, **kw):
        kw["default"] = default if defaults else argparse.SUPPRESS
        parser.add_argument(*names, **kw)

    add("-p", "--prompt", default="", metavar="TEXT",
        help="extract: an extra requirement for the summary; title: the "
             "instruction (required)")
    add("-l", "--length", type=_number(int, 1), default=200, metavar="N",
        help="target summary length in characters (title ignores it); "
             "default 200")
    add("-m", "--model", metavar="NAME", help="model name")
    add("-u", "--base-url", metavar="URL",
        help="service URL, e.g. https://api.openai.com/v1")
    add("-k", "--api-key", metavar="KEY",
        help="API key; other users of this machine can see it on the "
             "command line: prefer $OPENAI_API_KEY, --api-key-file, or "
             "'-k -', which reads it from standard input")
    add("--api-key-file", metavar="PATH",
        help="read the API key from this file (the white space around it "
             "is dropped)")
    add_source_options(parser, **({} if defaults
                                  else {"default": argparse.SUPPRESS}))
    cluster.add_options(parser, **({} if defaults
                                   else {"default": argparse.SUPPRESS}))
    add("-j", "--jobs", type=_number(int, 1), metavar="N",
        help=f"send up to N requests at once (default {DEFAULT_JOBS}; "
             f"with --local, as many as the server serves at once; at most "
             f"{MAX_JOBS})")
    add("-t", "--timeout", type=_number(float, 0, MAX_TIMEOUT),
        metavar="SECONDS",
        help=f"give up on a request after this long, however it is retried "
             f"or slowly answered, and on a file that takes as long to read "
             f"(default {DEFAULT_TIMEOUT:g}; with --local "
             f"{local_service.REQUEST_TIMEOUT:g}; at most {MAX_TIMEOUT:g})")
    add("--max-retries", type=_number(int, 0), metavar="N",
        help="retries after a connection error, time-out, 429 or 5xx "
             "(default: the client's, 2)")
    add("-f", "--format", choices=("json", "text"), default="json",
        help="json: one JSON record per line (default); text: just the "
             "summary or title")
    add("--no-content", action="store_true", default=False,
        help="leave the cleaned text out of the JSON records")
    add("--max-bytes", type=_size, default=DEFAULT_MAX_BYTES,
        metavar="SIZE", help="refuse a text larger than this in UTF-8 "
                             "(default 1000000, at most 1GiB; 500k, 2M, "
                             "1MiB also work)")
    add("--allow-empty", action="store_true", default=False,
        help="an empty or blank text is skipped without failing the run")
    add("-v", "--verbose", action="store_true", default=False,
        help="also show the tracebacks the module prints")


def build_parser():
    epilog = "\n".join((SETTINGS_HELP, CLEANING, EXAMPLES, EXIT_CODES))
    common = dict(allow_abbrev=False, epilog=epilog,
                  formatter_class=argparse.RawDescriptionHelpFormatter)
    top = _Parser(prog="factbrief", description=(
        "Pull the facts out of texts and summarise them, or refine titles, "
        "with a chat-completion service. Options may come before or after "
        "the command."), **common)
    top.add_argument("-V", "--version", action="version",
                     version=f"factbrief {_version()}")
    _add_options(top, defaults=True)
    sub = top.add_subparsers(dest="command", metavar="COMMAND",
                             required=True, parser_class=_Parser)
    for name, text in (
            ("extract", "extract the factual statements of each text and "
                        "summarise them (AISummary.extract)"),
            ("title", "ask for a refined title of each text, following "
                      "--prompt (AISummary.refined_title)")):
        p = sub.add_parser(name, help=text, description=text, **common)
        p.add_argument("files", nargs="*", metavar="FILE",
                       help="UTF-8 text files; none or '-' reads standard "
                            "input")
        _add_options(p, defaults=False)
    local_command.add_command(sub)
    return top


def _version():
    try:
        from importlib.metadata import version
        return version("factbrief")
    except Exception:
        return "(not installed)"


def parse(argv):
    args = build_parser().parse_args(argv)
    if args.command == "local":
        return args
    if args.command == "title" and not args.prompt:
        raise UsageError("factbrief: title needs --prompt TEXT, the "
                         "instruction (see factbrief title -h)")
    if args.jobs is not None and args.jobs > MAX_JOBS:
        raise UsageError(f"factbrief: --jobs is at most {MAX_JOBS}")
    if args.files.count(STDIN) > 1:
        raise UsageError("factbrief: '-' (standard input) may be given "
                         "only once")
    return args


class _Output:
    """Standard error for the run: installed as sys.stderr, so what the
    module prints passes through it. A write made during a call is kept
    for that call (CallLog); any other foreign text has the key masked.
    Also draws the progress line on a terminal."""

    def __init__(self, stream, mask, log):
        self._stream = stream
        self.mask = mask
        self._log = log
        self._progress = False

    def write(self, text):
        if self._log.keep(text):
            return len(text)
        self._clear_progress()
        return self._stream.write(self.mask(text))

    def say(self, line):
        """One line of the command's own, which holds no key."""
        self._clear_progress()
        self._stream.write(line + "\n")
        self._stream.flush()

    def flush(self):
        self._stream.flush()

    def isatty(self):
        return self._stream.isatty()

    def __getattr__(self, name):
        return getattr(self._stream, name)

    def progress(self, done, total, label):
        width = 20
        filled = width * done // total
        bar = "#" * filled + "-" * (width - filled)
        line = f"[{bar}] {done}/{total} {label}"[:70]
        self._stream.write("\r" + line + "\x1b[K")
        self._stream.flush()
        self._progress = True

    def _clear_progress(self):
        if self._progress:
            self._stream.write("\r\x1b[K")
            self._progress = False

    def done(self):
        self._clear_progress()
        self._stream.flush()


class _Outcome(NamedTuple):
    record: dict
    reason: str = ""
    skipped: bool = False
    printed: str = ""


class _Closed(Exception):
    """Standard output was closed by its reader."""


class _Unwritable(Exception):
    """Standard output cannot be written (a full disk, a closed
    descriptor); the message says why."""


def _write_all(stream, data):
    """Writes bytes to a text stream's file descriptor in a loop.

    A large write to a pipe whose reader has gone returns a partial count
    first, and the buffered layer above it lets the record end cut short
    without an error; only the next write to the descriptor says EPIPE.
    """
    if stream is None:
        raise OSError(errno.EBADF, "it is closed")
    stream.flush()
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, ValueError):  # not a real file
        buffer = getattr(stream, "buffer", None)
        if buffer is None:
            stream.write(data.decode("utf-8"))
        else:
            buffer.write(data)
        stream.flush()
        return
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


class Run:
    """One run of the command over its inputs."""

    def __init__(self, args, settings, out, log, stdin, stdout,
                 interrupts):
        from factbrief.factbrief import AISummary
        self.interrupts = interrupts
        self.args = args
        self.settings = settings
        self.out = out
        self.log = log
        self.stdin = stdin
        self.stdout = stdout
        self.answer_key = ANSWER_KEY[args.command]
        client = AISummary(settings.base_url, settings.api_key,
                           settings.model)
        self.call = (client.extract if args.command == "extract"
                     else client.refined_title)
        self.stdin_text = None
        self.seconds = args.timeout or DEFAULT_TIMEOUT
        self.finished = 0  # inputs whose record is out

    def _blank(self):
        return {self.answer_key: "", "content": "", "status": "error"}

    def _read(self, name):
        if name != STDIN:
            return read_file(name, self.args.max_bytes, self.seconds)
        if isinstance(self.stdin_text, Refused):
            raise self.stdin_text
        return self.stdin_text

    def read_stdin(self):
        """Reads standard input once, before the calls start."""
        try:
            if self.stdin is None:
                raise Refused("there is no standard input")
            self.stdin_text = read_limited(self.stdin.buffer,
                                           self.args.max_bytes)
        except Refused as e:
            self.stdin_text = e

    def work(self, name):
        """Runs in a worker thread: one input, one call with its deadline.
        Whatever goes wrong with one input is that input's outcome."""
        try:
            text = self._read(name)
        except Skipped as e:
            return _Outcome(self._blank(), str(e), skipped=True)
        except Refused as e:
            return _Outcome(self._blank(), str(e))
        except Exception as e:
            return _Outcome(self._blank(), self.out.mask(
                f"cannot read: {type(e).__name__}: {e}"))
        deadline = time.monotonic() + self.seconds
        with self.log.capture(deadline):
            record = self.call(text, self.args.prompt, self.args.length)
        if record.get("status") == "ok":
            return _Outcome(record)
        reason = describe(self.log.exception, self.settings.base_url,
                          self.out.mask, self.log.response, self.seconds)
        return _Outcome(record, reason, printed="".join(self.log.printed))

    def record_for(self, name, outcome):
        record = {} if name == STDIN else {"file": name}
        record.update(outcome.record)
        if outcome.skipped and self.args.allow_empty:
            record.update(status="skipped", reason=outcome.reason)
        elif outcome.reason:
            record["error"] = outcome.reason
        if self.args.no_content:
            record.pop("content", None)
        return record

    def emit(self, record, several, label):
        if self.args.format == "json":
            text = json.dumps(record, ensure_ascii=False) + "\n"
        elif record["status"] != "ok":
            return
        else:
            answer = record.get(self.answer_key) or ""
            head = f"==> {label} <==\n" if several else ""
            text = f"{head}{answer}\n"
        try:
            _write_all(self.stdout, text.encode("utf-8"))
        except BrokenPipeError:
            raise _Closed from None
        except (OSError, ValueError) as e:  # ValueError: a closed file
            raise _Unwritable(getattr(e, "strerror", None) or e) from None

    def report(self, label, outcome):
        if self.args.verbose and outcome.printed:
            self.out.write(self.out.mask(outcome.printed))
        if outcome.reason:
            self.out.say(f"factbrief: {label}: {outcome.reason}")

    def __call__(self, names):
        """Prints a record per name; returns the exit status. On Ctrl-C,
        `self.finished` says how many got one."""
        if STDIN in names:
            self.read_stdin()
        show_progress = len(names) > 1 and self.out.isatty()
        failed = False
        pool = OrderedPool(self.work, min(self.args.jobs, len(names)))
        for name, outcome in pool.map(names):
            label = "<stdin>" if name == STDIN else name
            self.report(label, outcome)
            record = self.record_for(name, outcome)
            failed = failed or record["status"] == "error"
            self.out.done()  # standard output may be the same terminal
            with self.interrupts.deferred():
                self.emit(record, len(names) > 1, label)
                self.finished += 1
            if show_progress:
                self.out.progress(self.finished, len(names), label)
        self.out.done()
        return 1 if failed else 0


def _service_defaults(args, settings):
    """--jobs and --timeout left out: the service's own, else ours. On a
    cluster the settings are not served yet; a node's local server keeps
    its own slot count whatever --jobs is."""
    if args.jobs is None:
        args.jobs = settings.jobs or DEFAULT_JOBS
    if args.timeout is None:
        args.timeout = settings.timeout


def _load_module(out):
    """The native module, or None after saying why it cannot load."""
    try:
        import factbrief.factbrief as module
        return module
    except ImportError as e:
        version = ".".join(map(str, sys.version_info[:2]))
        python = shlex.quote(sys.executable)
        out.say(f"factbrief: cannot load the module with this Python "
                f"({version}, {sys.executable}): {e}. Install factbrief "
                f"with this Python ({python} -m pip install . in a "
                f"checkout), or in a checkout run .venv/bin/factbrief "
                f"after scripts/setup.sh")
        return None


def _unrecorded(out, names, finished, why, status):
    """Says which inputs got no record, and why; returns `status`."""
    left = names[finished:]
    shown = " ".join(shlex.quote(n) for n in left)
    out.done()
    out.say(f"factbrief: {why}; no record for {len(left)} "
            f"input{'s' if len(left) != 1 else ''}: {shown}" if left
            else f"factbrief: {why}")
    return status


def _quiet_stdout():
    # Later writes (and the interpreter's final flush) go nowhere, quietly.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def _key_settings(args, names, environ, out):
    """The service source and its settings, the key from wherever it
    came added to the mask first."""
    source = source_for(args)
    where = keys.key_source(args)
    key = keys.read_key(args, source.option, names, sys.stdin,
                        args.timeout or DEFAULT_TIMEOUT)
    if key is not None:
        out.mask.add(key)
        args.api_key = key
    settings = source.settings(args, environ)
    if source.option is None:  # the others bring a key of their own
        out.mask.add(settings.api_key)
        keys.check_key(settings.api_key, where)
    return source, settings


def _run(args, names, environ, out, log, interrupts, on_cluster=False):
    """Settings, the module, the service and the calls; the exit status."""
    run = None
    stderr = sys.stderr
    try:
        source, settings = _key_settings(args, names, environ, out)
        module = _load_module(out)
        if module is None:
            return 2
        if on_cluster:
            _service_defaults(args, settings)
            return cluster.run(args, source, settings, out)
        if names == [STDIN] and sys.stdin is not None and sys.stdin.isatty():
            out.say("factbrief: reading the text from standard input (end "
                    "it with Ctrl-D)")
        sys.stderr = out
        known = getattr(settings, "api_key", None)  # the stand-in's: public
        with source.serve(settings, out) as settings:
            if settings.api_key != known:  # one made for the run
                out.mask.add(settings.api_key)
            _service_defaults(args, settings)
            with shared_clients(module, log, args.timeout, args.max_retries):
                run = Run(args, settings, out, log, sys.stdin, sys.stdout,
                          interrupts)
                return run(names)
    except UsageError as e:
        out.write(f"{e}\n")
        return 2
    except _Closed:
        _quiet_stdout()
        return EXIT_PIPE
    except _Unwritable as e:
        _quiet_stdout()
        return _unrecorded(out, names, run.finished if run else 0,
                           f"cannot write to standard output ({e})", 1)
    except LocalError as e:
        out.done()
        out.say(f"factbrief: {e}")
        return 1
    except KeyboardInterrupt:
        return _unrecorded(out, names, run.finished if run else 0,
                           "interrupted", 130)
    finally:
        sys.stderr = stderr


def main(argv=None, environ=None, interrupts=None):
    """The console script: parse, resolve settings, run; the exit status.

    `interrupts` is the Ctrl-C handling the console script took before
    it loaded the command; by default main takes its own.
    """
    environ = os.environ if environ is None else environ
    argv = sys.argv[1:] if argv is None else list(argv)
    log = CallLog()
    out = _Output(sys.stderr, Redactor(environ.get(name)
                                       for name in ENV["api_key"]), log)
    interrupts = Interrupts() if interrupts is None else interrupts
    with interrupts.installed():
        interrupts.hold()  # a Ctrl-C now waits until the inputs are known
        try:
            args = parse(argv)
            # Directories become their texts here, on a cluster or not.
            on_cluster = args.command != "local" and cluster.check(args)
        except UsageError as e:
            out.mask.add(*keys.keys_in(argv))
            out.write(f"{e}\n")
            return 2
        if args.api_key != keys.FROM_STDIN:
            out.mask.add(args.api_key)
        names = [] if args.command == "local" else args.files or [STDIN]
        try:
            interrupts.release()
            if args.command == "local":
                return local_command.run_command(args, environ, out,
                                                 sys.stdout)
            return _run(args, names, environ, out, log, interrupts,
                        on_cluster)
        except KeyboardInterrupt:  # before any record
            return _unrecorded(out, names, 0, "interrupted", 130)


def console(interrupts=None):
    """The console script and `python -m factbrief`: main(), and a quick
    end when calls are still in flight (after Ctrl-C or a closed pipe).

    Nothing those calls could still print or return is wanted then, and
    interpreter shutdown would have to unwind threads that are inside the
    module (which has aborted the process before now); so such a run ends
    with os._exit once its output is flushed.
    """
    status = main(interrupts=interrupts)
    if OrderedPool.busy():
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError, AttributeError):
                pass
        os._exit(status)
    return status

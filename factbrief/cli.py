"""The `factbrief` command: the module's two service methods from the shell.

    factbrief extract [FILE ...]              facts and a summary
    factbrief title --prompt TEXT [FILE ...]  a refined title

Each text (a file, or standard input when no file or "-" is given) goes to
one call of `AISummary.extract` or `AISummary.refined_title`; each result
record is printed on standard output as one line of JSON, with a "file" key
first when the text came from a file. Exit status: 0 when every record is
"ok", 1 when any is "error", 2 for a usage error.

Settings come from the options, else from OPENAI_BASE_URL, OPENAI_API_KEY
and FACTBRIEF_MODEL; `--local` uses a language model served on this
machine instead (factbrief.local, which also runs `factbrief local ...`),
and `--demo` the local stand-in service. The API key is removed from
everything the command prints.
"""

import argparse
import json
import os
import sys

from factbrief.local import command as local_command
from factbrief.local.cache import LocalError

ENV = {"base_url": "OPENAI_BASE_URL", "api_key": "OPENAI_API_KEY",
       "model": "FACTBRIEF_MODEL"}
OPTION = {"base_url": "--base-url", "api_key": "--api-key",
          "model": "--model"}
NAME = {"base_url": "base URL", "api_key": "API key", "model": "model"}
ANSWER_KEY = {"extract": "summary", "title": "title"}
STANDIN_KEY = "stand-in"  # the stand-in takes any key; a real one stays home
MIN_SECRET = 4            # shorter keys are not worth hiding (nor findable)


class UsageError(Exception):
    """A mistake in the command line or the settings: exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(f"{self.prog}: {message} (see {self.prog} -h)")


def build_parser():
    top = _Parser(prog="factbrief", allow_abbrev=False, description=(
        "Pull the facts out of texts and summarise them, or refine titles, "
        "with a chat-completion service."))
    top.add_argument("--version", action="version",
                     version=f"factbrief {_version()}")
    sub = top.add_subparsers(dest="command", metavar="COMMAND",
                             required=True, parser_class=_Parser)
    extract = sub.add_parser(
        "extract", allow_abbrev=False,
        help="extract the facts and summarise (AISummary.extract)",
        description="Extract the factual statements of each text and "
                    "summarise them in about LENGTH characters.")
    title = sub.add_parser(
        "title", allow_abbrev=False,
        help="refine a title (AISummary.refined_title)",
        description="Send the instruction PROMPT followed by each text and "
                    "print the reply as the refined title.")
    extract.add_argument("--prompt", default="", metavar="TEXT",
                         help="an extra requirement for the summary")
    title.add_argument("--prompt", required=True, metavar="TEXT",
                       help="the instruction, e.g. 'Give a short title'")
    extract.add_argument("--length", type=int, default=200,
                         help="summary length in characters (default: 200)")
    title.add_argument("--length", type=int, default=200,
                       help="accepted, as by the module, and ignored")
    for p in (extract, title):
        p.add_argument("files", nargs="*", metavar="FILE",
                       help="UTF-8 text files; none or '-' reads standard "
                            "input")
        p.add_argument("--model", help=f"model name (default: "
                                       f"${ENV['model']})")
        p.add_argument("--base-url", help=f"service URL (default: "
                                          f"${ENV['base_url']})")
        p.add_argument("--api-key", help=f"API key (default: "
                                         f"${ENV['api_key']})")
        p.add_argument("--demo", action="store_true",
                       help="use the local stand-in service, which is not "
                            "a language model: no account needed")
        local_command.add_run_options(p)
    local_command.add_command(sub)
    return top


def _version():
    try:
        from importlib.metadata import version
        return version("factbrief")
    except Exception:
        return "(not installed)"


def resolve_settings(args, environ):
    """{base_url, api_key, model} from the options, then the environment;
    None for --local, whose service gives them.

    Raises UsageError naming the first missing setting.
    """
    if local_command.wanted(args):
        given = ["--demo"] if args.demo else []
        given += [OPTION[field] for field in ("base_url", "api_key", "model")
                  if getattr(args, field) is not None]
        if given:
            raise UsageError(f"factbrief: {given[0]} and --local cannot be "
                             f"combined")
        return None  # the local service gives them for the run
    if args.demo:
        for field in ("base_url", "api_key"):
            if getattr(args, field) is not None:
                raise UsageError(f"factbrief: {OPTION[field]} and --demo "
                                 f"cannot be combined")
        model = args.model or environ.get(ENV["model"]) or "stand-in"
        return {"base_url": None, "api_key": STANDIN_KEY, "model": model}
    settings = {}
    for field in ("base_url", "api_key", "model"):
        value = getattr(args, field) or environ.get(ENV[field])
        if not value:
            raise UsageError(
                f"factbrief: no {NAME[field]}: give {OPTION[field]} or set "
                f"{ENV[field]} (or try --demo)")
        settings[field] = value
    return settings


class _Output:
    """Standard error for the run: hides the key, shares a progress line.

    Installed as sys.stderr while the command runs, so the tracebacks that
    the module prints pass through it too.
    """

    def __init__(self, stream, secrets):
        self._stream = stream
        # Longest first, so a key that contains another goes whole.
        kept = {s for s in secrets
                if isinstance(s, str) and len(s) >= MIN_SECRET}
        self._secrets = sorted(kept, key=len, reverse=True)
        self._progress = False

    def redact(self, text):
        for secret in self._secrets:
            text = text.replace(secret, "***")
        return text

    def write(self, text):
        self._clear_progress()
        return self._stream.write(self.redact(text))

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
        self._stream.write("\r" + self.redact(line) + "\x1b[K")
        self._stream.flush()
        self._progress = True

    def _clear_progress(self):
        if self._progress:
            self._stream.write("\r\x1b[K")
            self._progress = False

    def done(self):
        self._clear_progress()
        self._stream.flush()


def _keys_in(argv, environ):
    """Every API key the command line or the environment holds."""
    keys = [environ.get(ENV["api_key"])]
    for i, arg in enumerate(argv):
        if arg == "--api-key" and i + 1 < len(argv):
            keys.append(argv[i + 1])
        elif arg.startswith("--api-key="):
            keys.append(arg.partition("=")[2])
    return keys


def _read(name, stdin):
    if name == "-":
        if stdin is None:
            raise OSError("there is no standard input")
        return stdin.buffer.read().decode("utf-8")
    with open(name, encoding="utf-8") as f:
        return f.read()


def _emit(record, stdout, out):
    line = json.dumps(record, ensure_ascii=False) + "\n"
    data = out.redact(line).encode("utf-8")  # JSON text is UTF-8
    stdout.flush()
    buffer = getattr(stdout, "buffer", None)
    if buffer is not None:
        buffer.write(data)
        buffer.flush()
    else:
        stdout.write(data.decode("utf-8"))
        stdout.flush()


def run(args, settings, out, stdin=None, stdout=None):
    """Summarise each input; return the exit status (0 or 1)."""
    stdin = stdin or sys.stdin
    stdout = stdout or sys.stdout
    from factbrief.factbrief import AISummary  # loads openai: only now
    client = AISummary(settings["base_url"], settings["api_key"],
                       settings["model"])
    if args.command == "extract":
        call = client.extract
    else:
        call = client.refined_title
    names = args.files or ["-"]
    show_progress = len(names) > 1 and out.isatty()
    if names == ["-"] and stdin is not None and stdin.isatty():
        out.write("factbrief: reading the text from standard input "
                  "(end it with Ctrl-D)\n")
    failed = 0
    for i, name in enumerate(names):
        label = "<stdin>" if name == "-" else name
        if show_progress:
            out.progress(i, len(names), label)
        try:
            text = _read(name, stdin)
        except (OSError, UnicodeDecodeError) as e:
            out.write(f"factbrief: cannot read {label}: {e}\n")
            record = {ANSWER_KEY[args.command]: "", "content": "",
                      "status": "error"}
        else:
            record = call(text, args.prompt, args.length)
            if record.get("status") != "ok":
                out.write(f"factbrief: {label}: the service call failed "
                          f"(the traceback above says why)\n")
        if record.get("status") != "ok":
            failed += 1
        if name != "-":
            record = {"file": name, **record}
        out.done()  # stdout may be the same terminal
        _emit(record, stdout, out)
        if show_progress:
            out.progress(i + 1, len(names), label)
    out.done()
    return 1 if failed else 0


def main(argv=None, environ=None):
    """The console script: parse, resolve settings, run; the exit status."""
    environ = os.environ if environ is None else environ
    argv = sys.argv[1:] if argv is None else list(argv)
    stderr = sys.stderr
    out = _Output(stderr, _keys_in(argv, environ))
    try:
        args = build_parser().parse_args(argv)
        if args.command == "local":
            return local_command.run_command(args, environ, out, sys.stdout)
        settings = resolve_settings(args, environ)
    except UsageError as e:
        out.write(f"{e}\n")
        return 2
    sys.stderr = out
    try:
        if settings is None:
            with local_command.run_settings(args, environ, out) as settings:
                return run(args, settings, out)
        if not args.demo:
            return run(args, settings, out)
        from factbrief.standin import StandIn
        with StandIn() as server:
            settings["base_url"] = server.base_url
            out.write(f"factbrief: --demo: the answers come from the local "
                      f"stand-in at {server.base_url}, not from a language "
                      f"model\n")
            return run(args, settings, out)
    except LocalError as e:
        out.done()
        out.write(f"factbrief: {e}\n")
        return 1
    except KeyboardInterrupt:
        out.done()
        out.write("factbrief: interrupted\n")
        return 130
    finally:
        sys.stderr = stderr

"""The command's options and help: `factbrief extract|title` with the
options every command takes (before or after the command name), the
cluster options, and `factbrief local`."""

import argparse

from factbrief.cli import local as local_command
from factbrief.cli import status
from factbrief.cli.argtypes import number, size
from factbrief.cli.exceptions import UsageError
from factbrief.cli.inputs import DEFAULT_MAX_BYTES
from factbrief.cli.settings import ENV, add_source_options
from factbrief.engine import DEFAULT_PART_CHARS
from factbrief.local.service import MODEL_FILE_ENV, REQUEST_TIMEOUT

DEFAULT_JOBS = 4
MAX_JOBS = 64
DEFAULT_TIMEOUT = 600.0  # the client's own
MAX_TIMEOUT = 86_400.0
CLEANING = """\
what the service sees: every character that is neither a letter, a digit,
the underscore nor white space is removed first, except a number's own
marks, and the "content" key shows the result. Numbers stay whole: 3.5,
6,300, 1.3%, 3:45, 2024-01-03, 2^10, 1.5±0.2, 3×4, 10−20, 3–5, 3~5,
1e-5, -5 and 测得-52.3 are sent as written, while $3.50 becomes 3.50 and
x-5 becomes x5. Other punctuation goes, so URLs and e-mail addresses are
mangled: a@b.com becomes abcom.
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
CLUSTER_HELP = """\
--ray runs on a Ray cluster (pip install 'factbrief[ray]'): ADDRESS is
auto, ray://HOST:PORT or HOST:PORT; local starts Ray on this machine for
the run; --ray alone uses $RAY_ADDRESS, else local. Inputs may be
directories (their *.txt files) and .jsonl corpora of {"id": ..., "text":
...} lines. Records go to --output as each finishes, in the order they
finish, each saying what made it. A rerun with the same --output skips
the inputs whose last record is "ok" and was made from the same text
with the same command, options and service, and does the others again;
records are only appended, and the last record of an input is the one
that counts (docs/output-file.md)."""
COMMANDS = {
    "extract": "extract the factual statements of each text and summarise "
               "them (AISummary.extract)",
    "title": "ask for a refined title of each text, following --prompt "
             "(AISummary.refined_title)",
}


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(f"{self.prog}: {message} (see {self.prog} -h)")


def _add_cluster_options(parser, **kw):
    """`--ray` and `--output`; `kw` goes to both (a default)."""
    group = parser.add_argument_group("corpora on a Ray cluster",
                                      CLUSTER_HELP)
    group.add_argument("--ray", nargs="?", const="", metavar="ADDRESS",
                       help="run on this Ray cluster", **kw)
    group.add_argument("--output", metavar="FILE", **kw,
                       help="with --ray: the JSON-lines file the records "
                            "go to; a rerun with it resumes")


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
    add("-l", "--length", type=number(int, 1), default=200, metavar="N",
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
    suppress = {} if defaults else {"default": argparse.SUPPRESS}
    add_source_options(parser, **suppress)
    _add_cluster_options(parser, **suppress)
    add("-j", "--jobs", type=number(int, 1), metavar="N",
        help=f"send up to N requests at once (default {DEFAULT_JOBS}; "
             f"with --local, as many as the server serves at once; at most "
             f"{MAX_JOBS})")
    add("-t", "--timeout", type=number(float, 0, MAX_TIMEOUT),
        metavar="SECONDS",
        help=f"give up on a request after this long, however it is retried "
             f"or slowly answered, and on a file that takes as long to read "
             f"(default {DEFAULT_TIMEOUT:g}; with --local "
             f"{REQUEST_TIMEOUT:g}; at most {MAX_TIMEOUT:g})")
    add("--max-retries", type=number(int, 0), metavar="N",
        help="retries after a connection error, time-out, 429 or 5xx "
             "(default: the client's, 2)")
    add("-f", "--format", choices=("json", "text"), default="json",
        help="json: one JSON record per line (default); text: just the "
             "summary or title")
    add("--no-content", action="store_true", default=False,
        help="leave the cleaned text out of the JSON records")
    add("--max-bytes", type=size, default=DEFAULT_MAX_BYTES,
        metavar="SIZE", help="refuse a text larger than this in UTF-8 "
                             "(default 1000000, at most 1GiB; 500k, 2M, "
                             "1MiB also work)")
    add("--allow-empty", action="store_true", default=False,
        help="an empty or blank text is skipped without failing the run")
    add("-v", "--verbose", action="store_true", default=False,
        help="also show the tracebacks the module prints")
    add("--split", action="store_true", default=False,
        help="a text too long for one request is summarised in parts, cut "
             "at paragraph, else sentence boundaries, then the parts' "
             "summaries once more; its record says how many (\"parts\")")
    add("--part-chars", type=number(int, 1), default=DEFAULT_PART_CHARS,
        metavar="N",
        help=f"with --split: the most characters one request may carry "
             f"(default {DEFAULT_PART_CHARS}); --local asks its server how "
             f"many tokens fit instead")
    add("--strict", action="store_true", default=False,
        help="an answer that states numbers its text does not support "
             "(\"unsupported_numbers\") fails the run's exit status; its "
             "record keeps \"status\": \"ok\"")


def build_parser(version):
    epilog = "\n".join((SETTINGS_HELP, CLEANING, EXAMPLES,
                        status.help_text()))
    common = dict(allow_abbrev=False, epilog=epilog,
                  formatter_class=argparse.RawDescriptionHelpFormatter)
    top = Parser(prog="factbrief", description=(
        "Pull the facts out of texts and summarise them, or refine titles, "
        "with a chat-completion service. Options may come before or after "
        "the command."), **common)
    top.add_argument("-V", "--version", action="version",
                     version=f"factbrief {version}")
    _add_options(top, defaults=True)
    sub = top.add_subparsers(dest="command", metavar="COMMAND",
                             required=True, parser_class=Parser)
    for name, text in COMMANDS.items():
        p = sub.add_parser(name, help=text, description=text, **common)
        p.add_argument("files", nargs="*", metavar="FILE",
                       help="UTF-8 text files; none or '-' reads standard "
                            "input")
        _add_options(p, defaults=False)
    local_command.add_command(sub)
    return top

"""The command line parsed and checked: what argparse cannot say alone,
and which inputs a run has."""

import os
import re

from factbrief.cli.corpus import expand
from factbrief.cli.definition import COMMANDS, MAX_JOBS, build_parser
from factbrief.cli.exceptions import UsageError
from factbrief.cli.inputs import STDIN

LOCAL_RAY = "local"  # the address that starts a Ray instance for the run


def version():
    try:
        from importlib.metadata import version
        return version("factbrief")
    except Exception:
        return "(not installed)"


def parse(argv):
    """The parsed arguments; UsageError for a mistake. For `extract` and
    `title`, `args.on_cluster` says whether the run is on Ray, and the
    directories among the files of a run on this machine are their
    texts."""
    args = build_parser(version()).parse_args(_bare_ray(list(argv)))
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
    args.on_cluster = _on_cluster(args)
    return args


def _bare_ray(argv):
    """`--ray` followed by `extract` or `title` is `--ray` alone: its
    address is optional, and argparse would take the name for it. (`--ray
    local` stays the address: the command `local` takes no --ray.)"""
    for i, arg in enumerate(argv[:-1]):
        if arg == "--":
            break
        if arg == "--ray" and argv[i + 1] in COMMANDS:
            argv[i] = "--ray="
    return argv


def _address_like(text):
    if text in ("", LOCAL_RAY, "auto") or "://" in text:
        return True
    return (re.fullmatch(r"[\w.\-\[\]:]*:\d+", text) is not None
            and not os.path.exists(text))


def _on_cluster(args):
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

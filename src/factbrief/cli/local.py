"""The local service on the command line: the `--local` and
`--model-file` options of `extract` and `title`, and the command
`factbrief local start|stop|status|remove`."""

import argparse
import contextlib

from factbrief.cli.argtypes import number
from factbrief.cli.status import ExitStatus
from factbrief.display import human_size
from factbrief.local import service
from factbrief.local.cache import Cache
from factbrief.local.progress import Progress

LOCAL_HELP = ("answer with a language model on this machine (no account): "
              "set up on first use in the cache folder, started for the run "
              "and stopped after")


def add_run_options(parser, **kw):
    """`--local` and `--model-file`; `kw` goes to both (a default)."""
    parser.add_argument("--local", action="store_true", help=LOCAL_HELP,
                        **kw)
    parser.add_argument(
        "--model-file", metavar="PATH", **kw,
        help=f"a GGUF model file to serve locally instead of the built-in "
             f"model; implies --local (default: ${service.MODEL_FILE_ENV})")


def add_command(subparsers):
    local = subparsers.add_parser(
        "local", allow_abbrev=False, help="manage the local model service",
        description="The local model service: a language model served on "
                    "127.0.0.1 from the cache folder ($XDG_CACHE_HOME/"
                    "factbrief, default ~/.cache/factbrief).")
    actions = local.add_subparsers(dest="action", metavar="ACTION",
                                   required=True,
                                   parser_class=type(local))
    start = actions.add_parser(
        "start", help="set up if needed and start the service in the "
                      "background; --local runs then use it")
    start.add_argument("--port", type=_port, default=0,
                       help="port on 127.0.0.1 (default: a free one)")
    start.add_argument("--slots", type=_slots, default=None, metavar="N",
                       help=f"requests served at once: more than 1 "
                            f"answers faster, but a text's answer can "
                            f"differ from run to run (default: "
                            f"${service.SLOTS_ENV}, else "
                            f"{service.SLOTS}, repeatable)")
    # No default here, so `factbrief --model-file PATH local start` works.
    start.add_argument("--model-file", metavar="PATH",
                       default=argparse.SUPPRESS,
                       help=f"serve this GGUF file (default: "
                            f"${service.MODEL_FILE_ENV}, else the built-in "
                            f"model)")
    actions.add_parser("stop", help="stop the background service")
    actions.add_parser("status", help="show what is set up and running")
    actions.add_parser("remove", help="stop the service and delete the "
                                      "cache folder (server and model)")


_port = number(int, 0, 65535, "a port")
_slots = number(int, 1, service.MAX_SLOTS, "the number of slots")


def wanted(args):
    """Whether a run asks for the local service."""
    return bool(getattr(args, "local", False)
                or getattr(args, "model_file", None))


def model_file(args, environ):
    return (getattr(args, "model_file", None)
            or environ.get(service.MODEL_FILE_ENV) or None)


@contextlib.contextmanager
def run_service(path, environ, out, jobs=None):
    """A local service serving the model file at `path` (None: the
    built-in model), with at least `jobs` slots if it is started for the
    run, for the body of the `with`, its progress shown on `out`; yields
    its Served. Raises LocalError when it cannot be had."""
    with service.local_service(Progress(out), path, environ=environ,
                               jobs=jobs) as served:
        yield served


def run_command(args, environ, out, stdout):
    """`factbrief local ACTION`; the exit status. LocalError when the
    service cannot be had."""
    cache = Cache.default(environ)
    if args.action == "start":
        state = service.start(Progress(out), model_file(args, environ),
                              args.port, cache, environ, args.slots)
        print(f"local service: {state['base_url']} (pid {state['pid']}, "
              f"model {state['model']}, {state['slots']} at once); stop "
              f"it with: factbrief local stop", file=stdout)
    elif args.action == "stop":
        state = service.stop(cache)
        print("local service: stopped" if state else
              "local service: was not running", file=stdout)
    elif args.action == "status":
        print("\n".join(service.status(cache)), file=stdout)
    else:
        freed = service.remove(cache)
        print(f"local service: removed {cache.root} "
              f"({human_size(freed)} freed)", file=stdout)
    return ExitStatus.OK

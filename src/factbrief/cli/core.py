"""The `factbrief` command: the module's two service methods from the shell.

    factbrief extract [FILE ...]              facts and a summary
    factbrief title --prompt TEXT [FILE ...]  a refined title

Each text (a file, or standard input when no file or "-" is given) goes to
one call of `AISummary.extract` or `AISummary.refined_title` through the
engine, up to --jobs calls at once (run.py; on Ray, cluster/). A failed
input gets one line on standard error saying why; the module's own
traceback is shown with --verbose. Here the settings are resolved, the
service is started for the run when the options ask for one
(settings.py), and every way a run can end becomes its exit status
(status.py), in one place.
"""

import os
import shlex
import sys

from factbrief.cli import keys
from factbrief.cli.argparser import parse
from factbrief.cli.cluster.driver import ClusterRun
from factbrief.cli.context import Environment, Output
from factbrief.cli.definition import DEFAULT_JOBS, DEFAULT_TIMEOUT
from factbrief.cli.exceptions import (ClusterError, OutputClosed,
                                      OutputUnwritable, UsageError)
from factbrief.cli.inputs import STDIN, Input
from factbrief.cli.interrupts import Interrupts
from factbrief.cli.local import run_command as run_local_command
from factbrief.cli.run import Run, engine_for, unrecorded
from factbrief.cli.settings import ENV, source_for
from factbrief.cli.status import ExitStatus
from factbrief.engine.ordered import OrderedPool
from factbrief.engine.reasons import Redactor
from factbrief.local.cache import LocalError


def _check_module():
    """UsageError when the native module cannot load with this Python."""
    try:
        import factbrief.factbrief  # noqa: F401
    except ImportError as e:
        version = ".".join(map(str, sys.version_info[:2]))
        python = shlex.quote(sys.executable)
        raise UsageError(
            f"factbrief: cannot load the module with this Python "
            f"({version}, {sys.executable}): {e}. Install factbrief with "
            f"this Python ({python} -m pip install . in a checkout), or in "
            f"a checkout run .venv/bin/factbrief after scripts/setup.sh") \
            from None


def _service_defaults(args, settings):
    """--jobs and --timeout left out: the service's own, else ours. On a
    cluster the settings are not served yet; a node's local server keeps
    its own slot count whatever --jobs is. Returns each text's deadline
    in seconds."""
    if args.jobs is None:
        args.jobs = settings.jobs or DEFAULT_JOBS
    if args.timeout is None:
        args.timeout = settings.timeout
    return args.timeout or DEFAULT_TIMEOUT


def _quiet_stdout():
    # Later writes (and the interpreter's final flush) go nowhere, quietly.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def _key_settings(args, items, env, out):
    """The service source and its settings, the key from wherever it
    came added to the mask first."""
    source = source_for(args)
    where = keys.key_source(args)
    names = [item.file for item in items]
    key = keys.read_key(args, source.option, names, env.stdin,
                        args.timeout or DEFAULT_TIMEOUT)
    if key is not None:
        out.mask.add(key)
        args.api_key = key
    settings = source.settings(args, env.environ)
    if source.option is None:  # the others bring a key of their own
        out.mask.add(settings.api_key)
        keys.check_key(settings.api_key, where)
    return source, settings


class Command:
    """One `factbrief extract|title` run: the settings, the service and
    the calls. `run` is what went as far as making records, to say what
    is left when the run ends early."""

    def __init__(self, args, items, env, out, interrupts):
        self.args = args
        self.items = items
        self.env = env
        self.out = out
        self.interrupts = interrupts
        self.run = None

    def left(self, why):
        if self.run is None:
            return unrecorded(why, self.items)
        return self.run.left(why)

    def __call__(self):
        args, out = self.args, self.out
        source, settings = _key_settings(args, self.items, self.env, out)
        _check_module()
        if args.on_cluster:
            seconds = _service_defaults(args, settings)
            self.run = ClusterRun(args, source, settings, out, seconds)
            return self.run()
        stdin = self.env.stdin
        if (len(self.items) == 1 and self.items[0].file == STDIN
                and stdin is not None and stdin.isatty()):
            out.say("factbrief: reading the text from standard input (end "
                    "it with Ctrl-D)")
        known = getattr(settings, "api_key", None)  # the stand-in's: public
        with source.serve(settings, out) as settings:
            if settings.api_key != known:  # one made for the run
                out.mask.add(settings.api_key)
            seconds = _service_defaults(args, settings)
            with engine_for(args, settings, out.mask, seconds) as engine:
                self.run = Run(args, engine, out, self.env,
                               self.interrupts, seconds)
                return self.run(self.items)


def _status_for(error, out, command):
    """What a run that ended by `error` says, and its exit status."""
    if isinstance(error, UsageError):
        out.write(f"{error}\n")
        return ExitStatus.USAGE
    if isinstance(error, OutputClosed):
        _quiet_stdout()
        return ExitStatus.PIPE_CLOSED
    out.done()
    if isinstance(error, OutputUnwritable):
        _quiet_stdout()
        out.say(command.left(f"cannot write to standard output ({error})"))
        return ExitStatus.FAILED
    if isinstance(error, (LocalError, ClusterError)):
        out.say(f"factbrief: {error}")
        return ExitStatus.FAILED
    out.say(command.left("interrupted") if command
            else "factbrief: interrupted")
    return ExitStatus.INTERRUPTED


ENDINGS = (UsageError, OutputClosed, OutputUnwritable, LocalError,
           ClusterError, KeyboardInterrupt)


def _parsed(argv, out):
    try:
        args = parse(argv)
    except UsageError:
        out.mask.add(*keys.keys_in(argv))
        raise
    if args.api_key != keys.FROM_STDIN:
        out.mask.add(args.api_key)
    return args


def main(argv=None, environ=None, interrupts=None):
    """The console script: parse, resolve settings, run; the exit status.

    `interrupts` is the Ctrl-C handling the console script took before
    it loaded the command; by default main takes its own.
    """
    env = Environment.current(environ)
    argv = sys.argv[1:] if argv is None else list(argv)
    out = Output(env.stderr, Redactor(env.environ.get(name)
                                      for name in ENV["api_key"]))
    interrupts = Interrupts() if interrupts is None else interrupts
    stderr = sys.stderr
    with interrupts.installed():
        interrupts.hold()  # a Ctrl-C now waits until the inputs are known
        try:
            args = _parsed(argv, out)
        except UsageError as e:
            return _status_for(e, out, None)
        command = None
        if args.command != "local":
            items = [Input(name) for name in args.files or [STDIN]]
            command = Command(args, items, env, out, interrupts)
        try:
            interrupts.release()
            if command is None:
                return run_local_command(args, env.environ, out, env.stdout)
            sys.stderr = out
            return command()
        except ENDINGS as e:
            return _status_for(e, out, command)
        finally:
            sys.stderr = stderr


def console(interrupts=None):
    """The console script and `python -m factbrief`: main(), and a quick
    end when calls are still in flight (after Ctrl-C or a closed pipe).

    Nothing those calls could still print or return is wanted then, and
    interpreter shutdown would have to unwind threads that are inside the
    module (which has aborted the process before now); so such a run, and
    a run on Ray, ends with os._exit once its output is flushed.
    """
    status = main(interrupts=interrupts)
    # Ray's own threads and native state outlive its shutdown, and on 3.10
    # an interrupted start crashed the interpreter's teardown after the
    # run had ended (SIGSEGV instead of 130); nothing is left to do then.
    if OrderedPool.busy() or "ray" in sys.modules:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError, AttributeError):
                pass
        os._exit(status)
    return status

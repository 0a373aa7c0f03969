"""The `factbrief` command line, a module per job: `core` runs it and
maps every ending to its exit status (`status`, `exceptions`);
`definition`, `argtypes` and `argparser` declare, type and check the
options; `settings` says where a run gets its service, `keys` where the
API key comes from, `local` is `factbrief local`; `inputs` and `corpus`
name and read the texts; `run` makes the records on this machine through
the engine (factbrief.engine), `cluster` on Ray, `records` both alike;
`results` is the output file of a resumable run, `writer` writes bytes
whole, `context` holds the streams and the masked standard error, and
`interrupts` takes Ctrl-C.

Importing this package loads none of them until `main` or `console` is
used, so that the console script takes Ctrl-C from its first moment.
"""

__all__ = ["console", "main"]


def console():
    """The console script and `python -m factbrief` (core.console)."""
    from factbrief.cli.interrupts import Interrupts
    interrupts = Interrupts()
    with interrupts.installed():
        # Until the inputs are known, a Ctrl-C waits, so that its message
        # can name them; loading the command takes about 0.1 s.
        interrupts.hold()
        from factbrief.cli import core
        return core.console(interrupts)


def __getattr__(name):
    if name == "main":
        from factbrief.cli.core import main
        return main
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

"""The `factbrief` command line: `command` parses and runs it, `settings`
says where a run gets its service, `keys` where the API key comes from,
`inputs` reads and guards the texts, `calls` holds the shared HTTP pool,
the deadlines and the worker threads, `interrupts` takes Ctrl-C, and
`errors` turns a failure into one line with the key masked.

Importing this package loads none of them until `main` or `console` is
used, so that the console script takes Ctrl-C from its first moment.
"""

__all__ = ["console", "main"]


def console():
    """The console script and `python -m factbrief` (command.console)."""
    from factbrief.cli.interrupts import Interrupts
    interrupts = Interrupts()
    with interrupts.installed():
        # Until the inputs are known, a Ctrl-C waits, so that its message
        # can name them; loading the command takes about 0.1 s.
        interrupts.hold()
        from factbrief.cli import command
        return command.console(interrupts)


def __getattr__(name):
    if name == "main":
        from factbrief.cli.command import main
        return main
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

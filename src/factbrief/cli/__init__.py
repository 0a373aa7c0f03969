"""The `factbrief` command line: `command` parses and runs it, `settings`
says where a run gets its service, `inputs` reads and guards the texts,
`calls` holds the shared HTTP pool and the worker threads, and `errors`
turns a failure into one line with the key masked."""

from factbrief.cli.command import console, main

__all__ = ["console", "main"]

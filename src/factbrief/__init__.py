"""factbrief: fact extraction and summaries from a chat-completion service.

The native module is `factbrief.factbrief` (class `AISummary`); importing
this package does not load it. `factbrief.cli` is the command line and
`factbrief.standin` a local stand-in service for trying it without one.
"""


def __getattr__(name):
    if name == "__version__":
        from importlib.metadata import version
        return version("factbrief")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

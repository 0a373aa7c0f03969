"""factbrief: fact extraction and summaries from a chat-completion service.

The native module is `factbrief.factbrief` (class `AISummary`); importing
this package does not load it. `factbrief.cli` is the command line and
`factbrief.standin` a local stand-in service for trying it without one.
"""

# Let a source checkout on sys.path (the repository root while working in
# it) share the package with the installed copy that holds the built
# extension, instead of hiding it. A sys.path entry that cannot be read
# (the working directory removed, say) must not make the package fail.
try:
    __path__ = __import__("pkgutil").extend_path(__path__, __name__)
except OSError:
    pass


def __getattr__(name):
    if name == "__version__":
        from importlib.metadata import version
        return version("factbrief")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

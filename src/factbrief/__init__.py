"""factbrief: fact extraction and summaries from a chat-completion service.

The native module is `factbrief.factbrief` (class `AISummary`); importing
this package does not load it. `extract_many` and `title_many` run it over
many texts at once (`factbrief.engine`); `factbrief.cli` is the command
line and `factbrief.standin` a local stand-in service for trying it
without one.
"""

__all__ = ["extract_many", "title_many"]


def __getattr__(name):
    # Loaded on first use, so that `import factbrief` loads nothing else.
    if name == "__version__":
        from importlib.metadata import version
        return version("factbrief")
    if name in __all__:
        from factbrief import engine
        return getattr(engine, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


TYPE_CHECKING = False
if TYPE_CHECKING:  # the names as type checkers see them, loaded by no one
    from factbrief.engine import extract_many, title_many  # noqa: F401

"""What answering one text comes to."""

from typing import Any, NamedTuple


class Outcome(NamedTuple):
    """One text's result: the module's record, and for a failure one line
    saying why (the key masked) and the traceback the module printed.
    `skipped`: not sent, as a caller that reads texts found it blank."""
    record: dict[str, Any]
    reason: str = ""
    printed: str = ""
    skipped: bool = False


def blank(answer_key: str) -> dict[str, Any]:
    """A failure record, as the module makes one."""
    return {answer_key: "", "content": "", "status": "error"}

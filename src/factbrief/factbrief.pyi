"""Type stubs for the native module factbrief.factbrief."""

from typing import Any, Callable, Literal, TypedDict, type_check_only

# `openai.OpenAI`, imported by the module body. Each service call looks the
# global up afresh, so a test may replace it with a client double; hence
# the loose type (and no import of openai's types here).
OpenAI: Callable[..., Any]

# The two record types exist for type checkers only: at run time the
# records are plain dicts. Import them under `if TYPE_CHECKING:`.
@type_check_only
class SummaryRecord(TypedDict):
    """What `AISummary.extract` returns; on failure summary and content
    are "" and status is "error"."""

    summary: str | None  # the model's reply, unchanged (None if it gave none)
    # The text as sent: every character that is neither word nor space
    # removed, except a number's marks (3.5, 6,300, 1.3%, 3:45, -5 stay).
    content: str
    status: Literal["ok", "error"]

@type_check_only
class TitleRecord(TypedDict):
    """What `AISummary.refined_title` returns; on failure title and
    content are "" and status is "error"."""

    title: str | None
    content: str
    status: Literal["ok", "error"]

class AISummary:
    # Stored as given, unchecked, and read afresh by every call.
    base_url: str
    api_key: str
    model_id: str
    def __init__(
        self, base_url: str, api_key: str, model_id: str = ""
    ) -> None: ...
    def extract(
        self, content: str, prompt: str = "", length: int = 200
    ) -> SummaryRecord:
        """Asks the model for the facts of `content` and a summary of about
        `length` characters that meets `prompt`. The text is cleaned
        first: every character that is neither word nor space goes, but
        a number keeps its marks (3.5, 6,300, 1.3%, 3:45, 2024-01-03,
        2^10, 1.5±0.2, 3×4, 3–5, 3~5, 1e-5 and -5 stay; x-5 becomes
        x5)."""
    def refined_title(
        self, content: str, prompt: str = "", length: int = 200
    ) -> TitleRecord:
        """Sends `prompt`, "。" and the cleaned `content` (as `extract`
        cleans it); `length` has no effect."""

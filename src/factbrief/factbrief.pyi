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
    content: str  # the text as sent: every non-word, non-space char removed
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
    ) -> SummaryRecord: ...
    def refined_title(
        self, content: str, prompt: str = "", length: int = 200
    ) -> TitleRecord: ...

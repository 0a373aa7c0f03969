"""The class as the tests see it: per method its definition line, the
lines of its statements, parameters, defaults and answer key; the texts
the service methods send; the records they return.

Lines are those of the module's listing at the top of
native/module/factbrief.cpp; a service method's statements sit at fixed
offsets from its `def` line (STEP_OFFSETS). test_native_lines.py checks
both against the listing and the C++ method table.
"""

import unicodedata
from dataclasses import dataclass

# The file name every traceback entry shows; a code object's co_filename
# has a single backslash instead (CODE_FILE).
SOURCE_FILE = "factbrief\\\\factbrief"
CODE_FILE = "factbrief\\factbrief"

STEP_OFFSETS = dict(compile=2, sub=3, text=4, client=5, create=7,
                    message=8, answer=10, record=11, print=13, failure=14)


@dataclass(frozen=True)
class Method:
    name: str
    params: tuple      # parameter names, `self` first
    defaults: tuple    # values of the trailing parameters
    def_line: int      # the line a binding error's entry names
    answer_key: str = ""

    @property
    def required(self):
        return len(self.params) - len(self.defaults)

    @property
    def traceback_name(self):
        return f"factbrief.factbrief.AISummary.{self.name}"

    def line(self, step):
        """The line of a service method's statement (STEP_OFFSETS)."""
        return self.def_line + STEP_OFFSETS[step]


SERVICE_PARAMS = ("self", "content", "prompt", "length")
METHODS = {
    "__init__": Method("__init__",
                       ("self", "base_url", "api_key", "model_id"),
                       ("",), 10),
    "extract": Method("extract", SERVICE_PARAMS, ("", 200), 15, "summary"),
    "refined_title": Method("refined_title", SERVICE_PARAMS, ("", 200), 31,
                            "title"),
}
SERVICE_METHODS = ["extract", "refined_title"]
ANSWER_KEY = {m: METHODS[m].answer_key for m in SERVICE_METHODS}

# Written with escapes where the punctuation is easy to get wrong.
LEAD_IN = ("作为一个事实信息核查员\uff0c请从如下内容中抽取出事实性信息\uff0c"
           "并根据事实信息总结出摘要, 要求字数在")
MIDDLE = "字左右\u3002要求: "
STOP = "\u3002"
PATTERN = (r"[^\w\s](?!(?<=\d[-.,:/^~\u00b1\u00d7\u2212\u2013\uff5e])\d"
           r"|(?<=\d[%\uff05])|(?<=\d[eE][-\u2212])\d"
           r"|(?<=[-\u2212])(?<![^\W\u3040-\u30ff\u31f0-\u31ff"
           r"\u3400-\u9fff\uf900-\ufaff\U0001aff0-\U0001b16f"
           r"\U00020000-\U0003ffff][-\u2212])\d)")

# The cleaning rule, character by character and without `re`, so that the
# module's pattern is checked against something other than itself.
# Between two digits: . , : / - ^ ~ ～ ± × − (MINUS SIGN) – (EN DASH).
BETWEEN_DIGITS = ".,:/-^~\uff5e\u00b1\u00d7\u2212\u2013"
PERCENT = "%\uff05"    # % and full-width ％
MINUS = "-\u2212"      # hyphen-minus and − MINUS SIGN
EXPONENT = "eE"        # 1e-5, 2.5E-3: a minus after a digit and e or E
# Scripts written without spaces: a minus sign after one of their letters
# still belongs to the number.
UNSPACED = ("CJK UNIFIED IDEOGRAPH", "CJK COMPATIBILITY IDEOGRAPH",
            "HIRAGANA", "KATAKANA", "HENTAIGANA")


def _digit(ch):
    return ch.isdecimal()   # `re`'s \d for str


def _word(ch):
    return ch.isalnum() or ch == "_"   # `re`'s \w for str


def _unspaced(ch):
    return unicodedata.name(ch, "").startswith(UNSPACED)


def _kept(ch, before2, before, after):
    """Whether `ch` stays, between `before2` `before` and `after` (each
    one character, or "" at either end of the text)."""
    if _word(ch) or ch.isspace():
        return True
    if ch in BETWEEN_DIGITS and _digit(before) and _digit(after):
        return True
    if ch in PERCENT and _digit(before):
        return True
    if ch not in MINUS or not _digit(after):
        return False
    if before and before in EXPONENT and _digit(before2):
        return True
    return not _word(before) or _unspaced(before)


def clean(text):
    """The text as the service methods send it; TypeError for a non-str,
    as re.sub gives."""
    if not isinstance(text, str):
        raise TypeError(f"expected string, got {type(text).__name__}")
    return "".join(
        ch for i, ch in enumerate(text)
        if _kept(ch, text[max(i - 2, 0):max(i - 1, 0)], text[i - 1:i],
                 text[i + 1:i + 2]))


def text_of(value):
    """str(value); a str subclass that str() gives back goes through
    format(), as the prompt text is built."""
    text = str(value)
    return text if type(text) is str else format(text, "")


def message_for(method, content, prompt="", length=200):
    """The one user message a service method sends for these arguments."""
    if method == "extract":
        return (LEAD_IN + text_of(length) + MIDDLE + text_of(prompt) + STOP
                + clean(content))
    return prompt + STOP + clean(content)


def record(method, answer, content):
    """The record of a call that got `answer` for `content`."""
    return {ANSWER_KEY[method]: answer, "content": clean(content),
            "status": "ok"}


def failure(method):
    """The record of a call whose service step failed."""
    return {ANSWER_KEY[method]: "", "content": "", "status": "error"}

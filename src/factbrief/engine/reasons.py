"""One-line reasons for failed calls, and the key mask.

The module prints a traceback and returns a failure record; the front end
keeps the exception that was printed and turns it into a line a person can
act on: what failed, where (the URL, key masked), in plain words.
"""

import json
import re
import ssl
import urllib.parse

MASK = "***"
# A key this long is hidden wherever it appears; a shorter one only where
# it stands as a token of its own, so that a one-letter key does not
# rewrite every word that contains that letter.
WHOLE_MATCH = 8
_TOKEN_CHARS = r"A-Za-z0-9_\-"
MESSAGE_CHARS = 200  # of a service's own error message


def printed_forms(secret):
    """The ways `secret` can appear in printed text: as it is, escaped as
    in a repr (of the text or of its bytes, as a traceback shows a header
    value), in JSON, and percent-encoded in a URL."""
    forms = {secret, repr(secret)[1:-1], ascii(secret)[1:-1],
             repr(secret.encode("utf-8", "backslashreplace"))[2:-1],
             json.dumps(secret)[1:-1],
             urllib.parse.quote(secret, safe="", errors="backslashreplace")}
    return {f for f in forms if f}


class Redactor:
    """Replaces the API key, in every form it was given or can be printed
    in, with ***. Keys are added as the command learns them; the patterns
    are replaced whole, so a worker thread always sees a complete set."""

    def __init__(self, secrets=()):
        self._secrets = set()
        self._patterns = []
        self.add(*secrets)

    def add(self, *secrets):
        new = {f for s in secrets if isinstance(s, str) and s
               for f in printed_forms(s)} - self._secrets
        if not new:
            return
        self._secrets |= new
        kept = sorted(self._secrets, key=len, reverse=True)  # a key inside
        self._patterns = [self._pattern(s) for s in kept]  # another goes

    @staticmethod
    def _pattern(secret):
        escaped = re.escape(secret)
        if len(secret) < WHOLE_MATCH:
            escaped = (f"(?<![{_TOKEN_CHARS}]){escaped}"
                       f"(?![{_TOKEN_CHARS}])")
        return re.compile(escaped)

    def __call__(self, text):
        for pattern in self._patterns:
            text = pattern.sub(MASK, text)
        return text


def _root(exc):
    """The innermost cause or context of an exception."""
    seen = set()
    while id(exc) not in seen:
        seen.add(id(exc))
        inner = exc.__cause__ or exc.__context__
        if inner is None:
            break
        exc = inner
    return exc


def _chain(exc):
    """The exception and its causes, outermost first (bounded)."""
    found = []
    while exc is not None and len(found) < 16 and exc not in found:
        found.append(exc)
        exc = exc.__cause__ or exc.__context__
    return found


def _service_message(body):
    """The message an error body carries, if it has one."""
    if isinstance(body, dict):
        inner = body.get("error", body)
        if isinstance(inner, dict):
            body = inner.get("message") or inner.get("detail")
        elif isinstance(inner, str):
            body = inner
    if not isinstance(body, str) or not body.strip():
        return ""
    text = " ".join(body.split())
    return text[:MESSAGE_CHARS] + ("…" if len(text) > MESSAGE_CHARS else "")


_STATUS = {
    400: "the service refused the request",
    401: "the key was refused",
    403: "the key may not use this service or model",
    404: "no such model or path",
    408: "the service timed out",
    413: "the text is too large for the service",
    422: "the service could not use the request",
    429: "too many requests, or the quota is used up",
}
_HINT = {
    401: "check --api-key or OPENAI_API_KEY",
    404: "check --model, and that the URL ends as the service expects "
         "(often in /v1)",
}


def _status_reason(exc, url):
    code = getattr(exc, "status_code", None)
    if code is None:
        words = "the service answered with an error"
    elif code in _STATUS:
        words = _STATUS[code]
    elif code >= 500:
        words = "the service failed"
    else:
        words = "the service refused the request"
    message = _service_message(getattr(exc, "body", None))
    tail = f" ({message})" if message else ""
    hint = f"; {_HINT[code]}" if code in _HINT else ""
    return f"HTTP {code}: {words} at {url}{tail}{hint}"


def _connection_reason(exc, url, timeout, response):
    names = {type(e).__name__ for e in _chain(exc)}
    root = _root(exc)
    if "APITimeoutError" in names or isinstance(root, TimeoutError):
        after = f" in {timeout:g} s" if timeout else ""
        # Retries that ran out of time: what the service last said.
        last = (f" (its last answer: HTTP {response[0]})"
                if response is not None and response[0] >= 400 else "")
        return f"the service did not answer{after} at {url}{last}"
    if isinstance(root, ConnectionRefusedError):
        return f"connection refused at {url}"
    if "UnsupportedProtocol" in names:
        return f"no http:// or https:// in the URL {url}"
    if root.__class__.__name__ == "gaierror":
        return f"the host of {url} was not found"
    if isinstance(root, ssl.SSLError) or "SSL" in str(root):
        return f"the secure connection to {url} failed ({root})"
    if "RemoteProtocolError" in names:
        return f"the service at {url} closed the connection without an answer"
    return f"cannot reach {url} ({type(root).__name__}: {root})"


def _answer_reason(exc, url, response):
    """The call got an answer but could not read a reply from it."""
    kind = ""
    if response is not None:
        content_type = response[1].split(";")[0].strip() or "no content type"
        if not content_type.endswith("json"):
            kind = f"a {content_type} page"
    if not kind:
        if isinstance(exc, json.JSONDecodeError):
            kind = "its JSON is broken"
        elif isinstance(exc, IndexError):
            kind = "it has no choices"
        else:
            kind = f"{type(exc).__name__}: {exc}"
    return f"the answer from {url} was not a chat completion ({kind})"


def describe(exc, url, mask, response=None, timeout=None):
    """One line of plain words for `exc`, the exception a call printed,
    with the key masked wherever it shows (an exception's own text may
    quote it, e.g. as an illegal header value).

    `url` is shown as given; `response` is (status, content type) of the
    last HTTP answer the call received, if any; `timeout` the call's
    deadline in seconds, for the wording.
    """
    return mask(_reason(exc, str(url), response, timeout))


def _reason(exc, url, response, timeout):
    if exc is None:
        return f"the call to {url} failed (no reason was printed)"
    names = {c.__name__ for c in type(exc).__mro__}
    if "APIStatusError" in names:
        return _status_reason(exc, url)
    if "APIConnectionError" in names:
        return _connection_reason(exc, url, timeout, response)
    if "APIResponseValidationError" in names or (
            response is not None and 200 <= response[0] < 300
            and "OpenAIError" not in names):
        return _answer_reason(exc, url, response)
    return f"{type(exc).__name__}: {exc}"

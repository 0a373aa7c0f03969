"""How many of the local model's tokens a text takes, asked of the server
itself (`/tokenize`), so that a text is split where the model's own
tokenizer says it must be, not where an estimate guesses."""

import codecs
import json
import urllib.request

from .process import NO_PROXY


class TokenError(Exception):
    """The server could not count a text's tokens; the message says why."""


def _root(base_url):
    return base_url.removesuffix("/").removesuffix("/v1")


def token_ends(base_url, api_key, text, timeout=60.0):
    """The offset in `text` where each of its tokens ends, in order (a
    token inside a character ends where the character does)."""
    body = json.dumps({"content": text, "with_pieces": True}).encode()
    request = urllib.request.Request(
        f"{_root(base_url)}/tokenize", data=body, method="POST",
        headers={"Content-Type": "application/json",
                 "Authorization": f"Bearer {api_key}"})
    try:
        with NO_PROXY.open(request, timeout=timeout) as reply:
            tokens = json.loads(reply.read())["tokens"]
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise TokenError(f"the local server could not count the text's "
                         f"tokens ({type(e).__name__}: {e})") from None
    return _ends(tokens)


def _ends(tokens):
    """Offsets from the pieces /tokenize gives: a text, or a token's
    bytes as a list when they are not whole characters."""
    decoder = codecs.getincrementaldecoder("utf-8")("replace")
    ends, at = [], 0
    for token in tokens:
        piece = token.get("piece", "") if isinstance(token, dict) else ""
        data = (piece.encode("utf-8") if isinstance(piece, str)
                else bytes(piece))
        at += len(decoder.decode(data))
        ends.append(at)
    return ends


def context_limit(served):
    """What one request to the local server `served` may carry: its
    instruction and text in MAX_PROMPT tokens, which leaves room for a
    whole answer; counted by the server itself."""
    from factbrief.engine.parts import PartLimit
    from factbrief.splitting import token_measure

    from .service import MAX_PROMPT

    def measure_for(text):
        return token_measure(token_ends(served.base_url, served.api_key,
                                        text))
    return PartLimit(MAX_PROMPT, "tokens", measure_for, strict=True)

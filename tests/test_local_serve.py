"""The server-side middleware that makes the local model's answers
repeatable and bounded: it fills in what a completion request leaves out
and passes everything else through untouched."""

import asyncio
import json

import pytest

from factbrief.local.serve import RequestDefaults

DEFAULTS = {"temperature": 0, "max_tokens": 1024}
MODULE_REQUEST = {"messages": [{"role": "user", "content": "长江…"}],
                  "model": "m", "stream": False}


def through(body_chunks, path="/v1/chat/completions", method="POST",
            scope_type="http"):
    """(body, headers) as the wrapped app receives them."""
    seen = {}

    async def app(scope, receive, send):
        parts = []
        while True:
            message = await receive()
            parts.append(message.get("body", b""))
            if not message.get("more_body"):
                break
        seen["body"] = b"".join(parts)
        seen["headers"] = dict(scope.get("headers", []))

    messages = [{"type": "http.request", "body": c,
                 "more_body": i < len(body_chunks) - 1}
                for i, c in enumerate(body_chunks)]

    async def receive():
        return messages.pop(0)

    scope = {"type": scope_type, "method": method, "path": path,
             "headers": [(b"content-type", b"application/json"),
                         (b"content-length",
                          str(sum(map(len, body_chunks))).encode())]}
    asyncio.run(RequestDefaults(app, DEFAULTS)(scope, receive, None))
    return seen["body"], seen["headers"]


def test_the_module_request_gets_temperature_0_and_a_bound():
    raw = json.dumps(MODULE_REQUEST, ensure_ascii=False).encode()
    body, headers = through([raw[:7], raw[7:30], raw[30:]])
    assert json.loads(body) == {**MODULE_REQUEST, **DEFAULTS}
    assert headers[b"content-length"] == str(len(body)).encode()
    assert "长江".encode() in body


@pytest.mark.parametrize("given", [
    {"temperature": 0.7, "max_tokens": 5},
    {"temperature": 1, "max_tokens": 4096},
])
def test_what_a_request_sets_is_kept(given):
    body, _ = through([json.dumps({**MODULE_REQUEST, **given}).encode()])
    assert json.loads(body) == {**MODULE_REQUEST, **given}


def test_null_counts_as_left_out():
    raw = json.dumps({**MODULE_REQUEST, "temperature": None,
                      "max_tokens": None}).encode()
    assert json.loads(through([raw])[0]) == {**MODULE_REQUEST, **DEFAULTS}


def test_plain_completions_too():
    body, _ = through([b'{"prompt": "x"}'], path="/v1/completions/")
    assert json.loads(body) == {"prompt": "x", **DEFAULTS}


@pytest.mark.parametrize("raw", [b"not json", b"[1, 2]", b'"text"', b""])
def test_bodies_that_are_not_objects_pass_unchanged(raw):
    assert through([raw])[0] == raw


@pytest.mark.parametrize("path,method", [
    ("/v1/embeddings", "POST"), ("/v1/models", "GET"),
    ("/v1/chat/completions", "GET")])
def test_other_routes_pass_unchanged(path, method):
    raw = json.dumps(MODULE_REQUEST).encode()
    assert through([raw], path=path, method=method)[0] == raw

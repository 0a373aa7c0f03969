"""The real `openai` client over HTTP on 127.0.0.1: the request that
reaches the service, the exact record, and the statement the printed
traceback blames. (test_faults.py covers hangs, resets and garbage.)"""

import json
import socket
from concurrent.futures import ThreadPoolExecutor

import pytest
from pytest_httpserver import HTTPServer

import factbrief.factbrief as fb
from local_service import (clean, extract_message, module_global,
                           quiet_client_environment, real_openai,
                           title_message)

PATH = "/v1/chat/completions"
CREATE_LINE = {"extract": 22, "refined_title": 38}
ANSWER_LINE = {"extract": 25, "refined_title": 41}
ANSWER_KEY = {"extract": "summary", "refined_title": "title"}
CALL_BOUND = 30.0   # seconds; one call with the client's own retries, under load


@pytest.fixture(scope="module")
def server():
    srv = HTTPServer(host="127.0.0.1")
    srv.start()
    yield srv
    srv.stop()


@pytest.fixture(autouse=True)
def real_client(monkeypatch, tmp_path, server):
    quiet_client_environment(monkeypatch, str(tmp_path))
    server.clear()
    with module_global("OpenAI", real_openai()):
        yield


def reply_body(content):
    return {"id": "c1", "object": "chat.completion", "created": 0,
            "model": "m", "choices": [{"index": 0, "finish_reason": "stop",
                                       "message": {"role": "assistant",
                                                   "content": content}}]}


def bounded(fn):
    """fn() on a worker; a hang fails the test instead of the suite."""
    pool = ThreadPoolExecutor(1)
    try:
        return pool.submit(fn).result(timeout=CALL_BOUND)
    finally:
        pool.shutdown(wait=False)


def sent_bodies(server):
    assert all(req.path == PATH and req.method == "POST"
               for req, _ in server.log)
    return [json.loads(req.get_data()) for req, _ in server.log]


CALLS = [
    # method, model_id, args, message sent
    ("extract", "m-1", ("Hello, world! 你好，世界。",),
     extract_message("Hello, world! 你好，世界。")),
    ("extract", "", ("a_b 3.5%\tx\n", "简洁", 150.5),
     extract_message("a_b 3.5%\tx\n", "简洁", 150.5)),
    ("refined_title", "m-2", ("新闻：今天，晴！", "给个标题"),
     title_message("新闻：今天，晴！", "给个标题")),
    ("refined_title", "m-3", ("!!!",), "。"),
]


@pytest.mark.parametrize("reply", ["  标题：晴天\n", None],
                         ids=["text", "null"])
@pytest.mark.parametrize("method,model,args,message", CALLS,
                         ids=["extract", "extract-all-args", "title",
                              "title-punctuation-only"])
def test_request_sent_and_record_returned(server, capsys, method, model,
                                          args, message, reply):
    server.expect_request(PATH, method="POST").respond_with_json(
        reply_body(reply))
    obj = fb.AISummary(server.url_for("/v1"), "sk-local", model)
    record = bounded(lambda: getattr(obj, method)(*args))

    [body] = sent_bodies(server)
    # Dict equality: nothing besides these three keys went out.
    assert body == {"model": model, "stream": False,
                    "messages": [{"role": "user", "content": message}]}
    assert list(body["messages"][0]) == ["role", "content"]
    [(request, _)] = server.log
    assert request.headers["Authorization"] == "Bearer sk-local"
    # The reply comes back untouched: no strip, None stays None.
    assert record == {ANSWER_KEY[method]: reply,
                      "content": clean(args[0]), "status": "ok"}
    assert list(record) == [ANSWER_KEY[method], "content", "status"]
    assert capsys.readouterr() == ("", "")


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/v1"


ERROR = {"error": {"message": "refused"}}
# id, method, response (None: nothing listens; "bad-json"), requests made
# (the client's own retries included), printed type, line blamed
FAILURES = [
    ("401", "extract", dict(response_json=ERROR, status=401), 1,
     "openai.AuthenticationError", CREATE_LINE),
    # The retry-after hint keeps the client's three attempts quick.
    ("429", "refined_title", dict(response_json=ERROR, status=429,
                                  headers={"retry-after-ms": "5"}), 3,
     "openai.RateLimitError", CREATE_LINE),
    ("bad-json", "extract", "bad-json", 1,
     "json.decoder.JSONDecodeError", CREATE_LINE),
    ("no-choices", "refined_title", dict(response_json={"choices": []}), 1,
     "IndexError", ANSWER_LINE),
    ("closed-port", "extract", None, 0,
     "openai.APIConnectionError", CREATE_LINE),
]


@pytest.mark.parametrize("method,response,requests,error,line",
                         [f[1:] for f in FAILURES],
                         ids=[f[0] for f in FAILURES])
def test_failures_give_the_record_and_a_traceback(server, capsys, method,
                                                  response, requests,
                                                  error, line):
    if response is None:
        url = closed_port_url()
    else:
        url = server.url_for("/v1")
        handler = server.expect_request(PATH, method="POST")
        if response == "bad-json":
            handler.respond_with_data('{"choices": [ not json',
                                      content_type="application/json")
        else:
            handler.respond_with_json(**response)
    obj = fb.AISummary(url, "sk-local", "m")
    record = bounded(lambda: getattr(obj, method)("some, text"))

    assert record == {ANSWER_KEY[method]: "", "content": "",
                      "status": "error"}
    assert len(sent_bodies(server)) == requests
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith("Traceback (most recent call last):\n")
    assert (f'line {line[method]}, in factbrief.factbrief.AISummary.'
            f'{method}\n') in err
    assert err.splitlines()[-1].startswith(error + ":")

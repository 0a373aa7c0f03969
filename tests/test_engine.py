"""factbrief.extract_many and title_many: the module's own records, in
input order, several at once, without changing what other code in the
process gets from the module."""

import io
import logging
import sys
import threading
import time
import traceback

import pytest

import factbrief
import factbrief.factbrief as fb
from factbrief.engine.ordered import OrderedPool
from support.lines import failure, record

KEY = "sk-engine-test-5d1e0c9a7b3f"
ANSWER = {"extract": "summary", "refined_title": "title"}
TEXTS = [f"文本{i}：长江全长约6,300公里，第{i}段。" for i in range(12)]


def direct(method, url, texts, prompt="", length=200):
    ai = fb.AISummary(url, KEY, "m")
    call = ai.extract if method == "extract" else ai.refined_title
    return [call(text, prompt, length) for text in texts]


@pytest.mark.parametrize("many, method", [
    (factbrief.extract_many, "extract"),
    (factbrief.title_many, "refined_title")])
def test_records_are_the_modules_own_in_input_order(client_env, standins,
                                                    many, method):
    server = standins(delay=0.05)
    texts = [*TEXTS, None, "", "x-5 and 3.5%"]  # None: the module's error
    got = list(many(texts, server.base_url, KEY, "m", prompt="P", length=50,
                    jobs=3))
    peak, connections = server.peak, server.connections
    expected = direct(method, server.base_url, texts, "P", 50)
    assert got == expected
    assert [list(r) for r in got] == [list(r) for r in expected]  # order
    assert got[len(TEXTS)] == failure(method)
    # Each answer is the stand-in's to its own text: nothing swapped.
    assert all(got[i]["content"][:10] in got[i][ANSWER[method]]
               for i in range(len(TEXTS)))
    assert 1 < peak <= 3
    # One pool for the run: a connection per worker, not per request.
    assert connections <= 3


def test_a_failure_is_logged_masked_not_printed(client_env, standins,
                                                capfd, caplog):
    server = standins(mode="status", status=401,
                      message="bad key {key} for you")
    with caplog.at_level(logging.WARNING, logger="factbrief"):
        got = list(factbrief.extract_many(["a", "b"], server.base_url, KEY,
                                          "m"))
    assert got == [failure("extract")] * 2
    out, err = capfd.readouterr()
    assert KEY not in out + err and "Traceback" not in err
    lines = [r.getMessage() for r in caplog.records]
    assert len(lines) == 2 and lines[0].startswith("text 0: HTTP 401")
    assert all(KEY not in line and "***" in line for line in lines)


def test_timeout_bounds_each_whole_request(client_env, standins):
    server = standins(trickle=0.3)  # never a read timeout, just slow
    start = time.monotonic()
    got = list(factbrief.extract_many(["a", "b"], server.base_url, KEY, "m",
                                      timeout=1.0, jobs=2))
    assert got == [failure("extract")] * 2
    assert time.monotonic() - start < 5


def test_other_code_in_the_process_sees_no_change(client_env, standins,
                                                  monkeypatch):
    """While a run is in flight, another thread's own AISummary calls use
    the OpenAI the program put there, and print their tracebacks; after
    the run both globals are as the program left them."""
    slow = standins(delay=0.5)

    class Double:
        made = 0

        def __init__(self, base_url, api_key):
            Double.made += 1
            raise RuntimeError("the program's own double")
    monkeypatch.setattr(fb, "OpenAI", Double)
    before_traceback = fb.traceback
    seen = {}

    def elsewhere():
        time.sleep(0.2)  # the run is in flight by now
        err = io.StringIO()
        saved, sys.stderr = sys.stderr, err
        try:
            seen["record"] = fb.AISummary("u", "k", "m").extract("text")
        finally:
            sys.stderr = saved
        seen["printed"] = err.getvalue()
    other = threading.Thread(target=elsewhere)
    other.start()
    got = list(factbrief.extract_many(["a", "b"], slow.base_url, KEY, "m"))
    other.join()
    assert [r["status"] for r in got] == ["ok", "ok"]
    assert seen["record"] == failure("extract") and Double.made == 1
    assert "the program's own double" in seen["printed"]
    assert fb.OpenAI is Double and fb.traceback is before_traceback
    assert before_traceback is traceback


def test_runs_from_several_threads_at_once(client_env, standins):
    servers = [standins(delay=0.02) for _ in range(3)]
    original = fb.OpenAI
    results = {}

    def run(i):
        texts = [f"{i}-{n}" for n in range(8)]
        results[i] = (texts, list(factbrief.extract_many(
            texts, servers[i].base_url, KEY, "m", jobs=2)))
    threads = [threading.Thread(target=run, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, (texts, got) in results.items():
        assert got == [record("extract", r["summary"], t)
                       for r, t in zip(got, texts)]
        assert all(r["status"] == "ok" for r in got)
        assert len(servers[i].received) == len(texts)
    assert fb.OpenAI is original


def test_leaving_early_stops_the_calls(client_env, standins):
    server = standins(delay=0.1)
    records = factbrief.extract_many(TEXTS, server.base_url, KEY, "m",
                                     jobs=2)
    first = next(records)
    records.close()
    assert first["status"] == "ok"
    assert not OrderedPool.busy()
    assert len(server.received) <= 1 + 2 * 2  # no more than was taken


@pytest.mark.parametrize("kw, error", [
    (dict(jobs=0), ValueError), (dict(jobs="2"), TypeError),
    (dict(jobs=True), TypeError), (dict(timeout=0), ValueError),
    (dict(timeout=-1.0), ValueError)])
def test_bad_options_fail_at_the_call(kw, error):
    with pytest.raises(error):
        factbrief.extract_many(["a"], "http://127.0.0.1:9/v1", KEY, "m",
                               **kw)

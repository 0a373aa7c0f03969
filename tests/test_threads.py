"""Threads share one AISummary against the stand-in: every record carries
the answer to its own request, and calls that wait do so side by side."""

import threading

import pytest

import factbrief.factbrief as fb
from factbrief.standin import answer_for
from support.doubles import run_threads
from support.lines import SERVICE_METHODS, message_for, record

JOIN_BOUND = 120.0   # seconds; a hang fails the test instead


@pytest.mark.parametrize("threads,calls,delay", [
    (8, 250, 0.0),    # many calls: answers must not cross
    (16, 1, 0.5),     # slow answers: the waits overlap
], ids=["many-calls", "slow-answers"])
def test_threads_sharing_one_object_get_their_own_answers(
        standins, real_client, threads, calls, delay):
    standin = standins(delay=delay)
    obj = fb.AISummary(standin.base_url, "key", "shared")
    settings = dict(vars(obj))
    start = threading.Barrier(threads)
    wrong, errors = [], []

    def worker(t):
        try:
            start.wait()
            for i in range(calls):
                method = SERVICE_METHODS[(t + i) % 2]
                content = f"thread {t}, call {i}: 数据，第{i}条！"
                prompt, length = f"p{t}.{i}", i
                result = getattr(obj, method)(content, prompt, length)
                message = message_for(method, content, prompt, length)
                if result != record(method, answer_for(message), content):
                    wrong.append((t, i, result))
        except BaseException as e:  # reported by the main thread
            errors.append((t, e))

    run_threads(worker, threads, JOIN_BOUND)
    assert errors == []
    assert wrong[:3] == []
    assert len(standin.received) == threads * calls
    assert vars(obj) == settings
    if delay:
        assert standin.peak > 1

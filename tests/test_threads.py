"""Eight threads share one AISummary against a real local service: every
record carries the answer to its own request."""

import threading

import pytest

import factbrief.factbrief as fb
from local_service import (LocalService, echoed_record, module_global,
                           quiet_client_environment, real_openai,
                           run_threads)

THREADS = 8
CALLS_PER_THREAD = 250
JOIN_BOUND = 120.0   # seconds; a hang fails the test instead


@pytest.fixture
def service(monkeypatch, tmp_path):
    quiet_client_environment(monkeypatch, str(tmp_path))
    with LocalService() as svc, module_global("OpenAI", real_openai()):
        yield svc


def test_threads_sharing_one_object_get_their_own_answers(service):
    obj = fb.AISummary(service.url("echo"), "key", "shared")
    settings = dict(vars(obj))
    start = threading.Barrier(THREADS)
    wrong, errors = [], []

    def worker(t):
        try:
            start.wait()
            for i in range(CALLS_PER_THREAD):
                method = ("extract", "refined_title")[(t + i) % 2]
                content = f"thread {t}, call {i}: 数据，第{i}条！"
                prompt, length = f"p{t}.{i}", i
                record = getattr(obj, method)(content, prompt, length)
                if record != echoed_record(method, content, prompt,
                                            length):
                    wrong.append((t, i, record))
        except BaseException as e:  # reported by the main thread
            errors.append((t, e))

    run_threads(worker, THREADS, JOIN_BOUND)
    assert errors == []
    assert wrong[:3] == []
    assert service.hits == {"echo": THREADS * CALLS_PER_THREAD}
    assert vars(obj) == settings

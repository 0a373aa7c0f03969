"""Eight threads share one AISummary against a real local service: every
record carries the answer to its own request."""

import threading

import pytest

import factbrief.factbrief as fb
from local_service import (LocalService, clean, extract_message,
                           module_global, quiet_client_environment,
                           real_openai, title_message)

THREADS = 8
CALLS_PER_THREAD = 250
JOIN_BOUND = 120.0   # seconds; a hang fails the test instead


@pytest.fixture
def service(monkeypatch, tmp_path):
    quiet_client_environment(monkeypatch, str(tmp_path))
    with LocalService() as svc, module_global("OpenAI", real_openai()):
        yield svc


def expected_record(method, content, prompt, length):
    if method == "extract":
        answer = {"summary": "echo:shared:" + extract_message(
            content, prompt, length)}
    else:
        answer = {"title": "echo:shared:" + title_message(content, prompt)}
    return {**answer, "content": clean(content), "status": "ok"}


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
                if record != expected_record(method, content, prompt,
                                             length):
                    wrong.append((t, i, record))
        except BaseException as e:  # reported by the main thread
            errors.append((t, e))

    threads = [threading.Thread(target=worker, args=(t,), daemon=True)
               for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_BOUND)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []
    assert wrong[:3] == []
    assert service.hits == {"echo": THREADS * CALLS_PER_THREAD}
    assert vars(obj) == settings

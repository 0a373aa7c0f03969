"""A misbehaving service, signals, a second interpreter and exhausted
memory: the caller gets the record or the exception it is owed, and the
next call works."""

import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

import factbrief.factbrief as fb
from conftest import IN_SUBINTERPRETER, traceback_entries
from local_service import (LocalService, StandIn, echoed_record,
                           extract_message, module_global,
                           quiet_client_environment, real_openai,
                           run_threads, title_message)

HERE = os.path.dirname(os.path.abspath(__file__))
CALL_BOUND = 30.0   # seconds; the service's own deadlines are far shorter
ANSWER_KEY = {"extract": "summary", "refined_title": "title"}
CREATE_LINE = {"extract": 22, "refined_title": 38}


@pytest.fixture(scope="module")
def service():
    with LocalService() as svc:
        yield svc


@pytest.fixture(autouse=True)
def real_client(monkeypatch, tmp_path, service):
    # Another test may have left a stand-in behind; these talk HTTP.
    quiet_client_environment(monkeypatch, str(tmp_path))
    with module_global("OpenAI", real_openai()):
        service.reset_counts()
        yield


def bounded(fn, timeout=CALL_BOUND):
    """fn() on a worker thread; fails instead of hanging the suite."""
    outcome = {}

    def run():
        try:
            outcome["value"] = fn()
        except BaseException as e:  # handed to the caller below
            outcome["error"] = e

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(timeout)
    assert not worker.is_alive(), f"call still running after {timeout} s"
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def failure(method):
    return {ANSWER_KEY[method]: "", "content": "", "status": "error"}


def assert_still_works(service, method="extract"):
    obj = fb.AISummary(service.url("echo"), "key", "after")
    record = bounded(lambda: getattr(obj, method)("still, here!"))
    expected = (extract_message("still, here!") if method == "extract"
                else title_message("still, here!"))
    assert record == {ANSWER_KEY[method]: "echo:after:" + expected,
                      "content": "still here", "status": "ok"}


# mode, method, requests the client makes (its own retries included)
BROKEN_SERVICES = [
    ("hang-0.5", "extract", 3),      # drops the line at its deadline
    ("reset", "refined_title", 3),
    ("garbage", "extract", 3),
    ("status-500", "refined_title", 3),
    ("status-401", "extract", 1),
    ("badjson", "refined_title", 1),
    ("nochoices", "extract", 1),
]


@pytest.mark.parametrize("mode,method,requests", BROKEN_SERVICES)
def test_broken_service_gives_the_failure_record(service, capsys, mode,
                                                 method, requests):
    obj = fb.AISummary(service.url(mode), "key", "model")
    record = bounded(lambda: getattr(obj, method)("some, text"))
    assert record == failure(method)
    assert service.hits == {mode: requests}
    printed = capsys.readouterr().err
    assert printed.startswith("Traceback (most recent call last):")
    assert f"factbrief.factbrief.AISummary.{method}" in printed
    assert_still_works(service, method)


@pytest.mark.parametrize("method", ["extract", "refined_title"])
def test_answer_without_text_is_a_success_with_none(service, capsys,
                                                    method):
    obj = fb.AISummary(service.url("notext"), "key", "model")
    record = bounded(lambda: getattr(obj, method)("a, b"))
    assert record == {ANSWER_KEY[method]: None, "content": "a b",
                      "status": "ok"}
    assert capsys.readouterr().err == ""


def test_slow_answers_to_many_threads_at_once(service):
    count = 16
    obj = fb.AISummary(service.url("slow-0.5"), "key", "shared")
    start = threading.Barrier(count)
    records = [None] * count

    def worker(i):
        start.wait()
        method = ("extract", "refined_title")[i % 2]
        records[i] = getattr(obj, method)(f"thread {i}, here!", f"p{i}")

    run_threads(worker, count, CALL_BOUND)
    for i, record in enumerate(records):
        method = ("extract", "refined_title")[i % 2]
        assert record == echoed_record(method, f"thread {i}, here!", f"p{i}")
    # The calls waited side by side, not one after another.
    assert service.hits == {"slow-0.5": count}
    assert service.peak > 1


@contextlib.contextmanager
def alarm_raising(exc_type, after=0.3):
    def handler(signum, frame):
        raise exc_type("alarm")

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("method", ["extract", "refined_title"])
def test_signal_interrupts_a_waiting_call(service, capsys, method):
    obj = fb.AISummary(service.url("hang-5"), "key", "model")
    # Signal handlers run on the main thread, so no worker here; the
    # alarm fires long before the service's own deadline.
    with alarm_raising(KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt) as caught:
            getattr(obj, method)("text")
    assert (f"factbrief.factbrief.AISummary.{method}",
            CREATE_LINE[method]) in traceback_entries(caught.value)
    assert capsys.readouterr().err == ""
    assert_still_works(service, method)


def test_ordinary_exception_from_a_signal_is_caught(service, capsys):
    obj = fb.AISummary(service.url("hang-5"), "key", "model")
    with alarm_raising(RuntimeError):
        record = obj.extract("text")
    assert record == failure("extract")
    assert "RuntimeError: alarm" in capsys.readouterr().err
    assert_still_works(service)


# ---- memory ----

def _memory_error_from_length():
    class Length:
        def __str__(self):
            raise MemoryError
    return Length()


@pytest.mark.parametrize("method,client,length", [
    ("extract", {"raises": MemoryError}, 200),
    ("refined_title", {"raises": MemoryError,
                       "raise_in_constructor": True}, 200),
    ("extract", {}, _memory_error_from_length()),
])
def test_memory_error_inside_the_call_gives_the_failure_record(
        service, capsys, method, client, length):
    stand_in = StandIn(**client)
    with module_global("OpenAI", stand_in):
        record = getattr(fb.AISummary("u", "k"), method)("t", "", length)
    assert record == failure(method)
    assert "MemoryError" in capsys.readouterr().err
    assert_still_works(service, method)


def test_memory_error_in_the_handler_propagates(service, capsys):
    class Printer:
        @staticmethod
        def print_exc():
            raise MemoryError

    with module_global("OpenAI", StandIn(raises=ConnectionError)), \
            module_global("traceback", Printer):
        with pytest.raises(MemoryError) as caught:
            fb.AISummary("u", "k").refined_title("t")
    assert isinstance(caught.value.__context__, ConnectionError)
    assert ("factbrief.factbrief.AISummary.refined_title",
            44) in traceback_entries(caught.value)
    assert sys.exc_info() == (None, None, None)
    assert_still_works(service)


def run_python(source, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source)],
                          capture_output=True, text=True, timeout=timeout)


def test_real_memory_exhaustion_gives_the_failure_record():
    # Each removed character makes a piece for re.sub to join, so a
    # large text exhausts a capped address space inside the call.
    result = run_python("""
        import resource, sys
        sys.path.insert(0, %r)
        import factbrief.factbrief as fb
        from local_service import StandIn, module_global
        text = "a," * 4_000_000
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) for l in f
                        if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (24 << 20),) * 2)
        obj = fb.AISummary("u", "k")
        with module_global("OpenAI", StandIn()):
            print(obj.extract(text))
            del text
            print(obj.extract("small, text"))
    """ % HERE)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == repr(failure("extract"))
    assert lines[1].endswith("'content': 'small text', 'status': 'ok'}")
    assert 'line 18, in factbrief.factbrief.AISummary.extract' in \
        result.stderr
    assert "MemoryError" in result.stderr


# ---- a second interpreter ----

@pytest.mark.parametrize("first", ["main", "second"])
def test_import_in_a_second_interpreter_leaves_the_process_working(first):
    result = run_python(IN_SUBINTERPRETER + textwrap.dedent("""
        import sys
        sys.path.insert(0, %r)
        if %r == "main":
            import factbrief.factbrief as fb
        _, second = in_subinterpreter('''if 1:
            try:
                import factbrief.factbrief
                report("imported")
            except BaseException as e:
                report(type(e).__name__)
        ''')
        print("second:", second)
        try:
            import factbrief.factbrief as fb
        except ImportError as e:
            print("main: ImportError")
        else:
            from local_service import StandIn, module_global
            with module_global("OpenAI", StandIn(reply="fine")):
                print("main:", fb.AISummary("u", "k").extract("x")["summary"])
    """ % (HERE, first)))
    assert result.returncode == 0, result.stderr
    expected = {
        "main": ["second: ImportError", "main: fine"],
        "second": ["second: imported", "main: ImportError"],
    }[first]
    assert result.stdout.splitlines() == expected

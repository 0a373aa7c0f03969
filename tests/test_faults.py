"""Signals, a second interpreter and exhausted memory: the caller gets the
record or the exception it is owed, and the next call works. (Services
that fail are in test_service_http.py, exceptions from each step in
test_service_calls.py.)"""

import contextlib
import os
import signal
import textwrap

import pytest

import factbrief.factbrief as fb
from conftest import IN_SUBINTERPRETER, traceback_entries
from support.fixtures import assert_answered
from support.lines import METHODS, SERVICE_METHODS, failure

TESTS = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture
def hanging(standins, real_client):
    """A stand-in that answers nothing for far longer than these tests."""
    return standins(mode="close", delay=5)


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


@pytest.mark.parametrize("method", SERVICE_METHODS)
def test_signal_interrupts_a_waiting_call(hanging, standins, capsys,
                                          method):
    obj = fb.AISummary(hanging.base_url, "key", "model")
    # Signal handlers run on the main thread, so no worker here.
    with alarm_raising(KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt) as caught:
            getattr(obj, method)("text")
    assert (METHODS[method].traceback_name, METHODS[method].line("create")) \
        in traceback_entries(caught.value)
    assert capsys.readouterr().err == ""
    assert_answered(standins(), method, ("still, here!",))


def test_ordinary_exception_from_a_signal_is_caught(hanging, standins,
                                                    capsys):
    obj = fb.AISummary(hanging.base_url, "key", "model")
    with alarm_raising(RuntimeError):
        result = obj.extract("text")
    assert result == failure("extract")
    assert "RuntimeError: alarm" in capsys.readouterr().err
    assert_answered(standins(), "extract", ("still, here!",))


def test_real_memory_exhaustion_gives_the_failure_record(run_python):
    # Each removed character makes a piece for re.sub to join, so a
    # large text exhausts a capped address space inside the call.
    rc, out, err = run_python("""
        import resource, sys
        sys.path.insert(0, %r)
        import factbrief.factbrief as fb
        from support.doubles import ClientDouble
        text = "a," * 4_000_000
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) for l in f
                        if l.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (24 << 20),) * 2)
        obj = fb.AISummary("u", "k")
        fb.OpenAI = ClientDouble(record=False)
        print(obj.extract(text))
        del text
        print(obj.extract("small, text"))
    """ % TESTS)
    assert rc == 0, err
    lines = out.splitlines()
    assert lines[0] == repr(failure("extract"))
    assert lines[1].endswith("'content': 'small text', 'status': 'ok'}")
    assert (f'line {METHODS["extract"].line("sub")}, in '
            f'{METHODS["extract"].traceback_name}') in err
    assert "MemoryError" in err


@pytest.mark.parametrize("first", ["main", "second"])
def test_import_in_a_second_interpreter_leaves_the_process_working(
        run_python, first):
    rc, out, err = run_python(IN_SUBINTERPRETER + textwrap.dedent("""
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
            from support.doubles import ClientDouble
            fb.OpenAI = ClientDouble(reply="fine")
            print("main:", fb.AISummary("u", "k").extract("x")["summary"])
    """ % (TESTS, first)))
    assert rc == 0, err
    expected = {
        "main": ["second: ImportError", "main: fine"],
        "second": ["second: imported", "main: ImportError"],
    }[first]
    assert out.splitlines() == expected

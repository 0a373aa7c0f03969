"""The real `openai` client over HTTP to the stand-in on 127.0.0.1: the
request that reaches the service and the record made of its answer; for
each way the service fails, the failure record, the statement the printed
traceback blames, and a next call that works."""

import pytest

import factbrief.factbrief as fb
from support.doubles import bounded, closed_port_url
from support.fixtures import assert_answered
from support.lines import METHODS, failure

pytestmark = pytest.mark.usefixtures("real_client")

CALLS = [
    # method, model_id, args
    ("extract", "m-1", ("Hello, world! 你好，世界。",)),
    ("extract", "", ("a_b 3.5%\tx\n", "简洁", 150.5)),
    ("refined_title", "m-2", ("新闻：今天，晴！", "给个标题")),
    ("refined_title", "m-3", ("!!!",)),
]


@pytest.mark.parametrize("method,model,args", CALLS,
                         ids=["extract", "extract-all-args", "title",
                              "title-punctuation-only"])
def test_request_sent_and_record_returned(standin, capsys, method, model,
                                          args):
    assert_answered(standin, method, args, model)
    assert capsys.readouterr() == ("", "")


# id, method, stand-in settings (None: nothing listens), requests made
# (the client's own retries included), printed type, step blamed
FAILURES = [
    ("401", "extract", dict(mode="status", status=401), 1,
     "openai.AuthenticationError", "create"),
    ("500", "refined_title", dict(mode="status", status=500), 1,
     "openai.InternalServerError", "create"),
    ("malformed", "extract", dict(mode="malformed"), 1,
     "json.decoder.JSONDecodeError", "create"),
    ("html", "refined_title", dict(mode="html"), 1,
     "AttributeError", "answer"),
    ("close", "refined_title", dict(mode="close"), 3,
     "openai.APIConnectionError", "create"),
    ("closed-port", "extract", None, 0,
     "openai.APIConnectionError", "create"),
]


@pytest.mark.parametrize("method,settings,requests,error,step",
                         [f[1:] for f in FAILURES],
                         ids=[f[0] for f in FAILURES])
def test_failures_give_the_record_and_a_traceback(
        standins, capsys, method, settings, requests, error, step):
    failing = standins(**settings) if settings is not None else None
    url = failing.base_url if failing else closed_port_url()
    obj = fb.AISummary(url, "sk-local", "m")
    result = bounded(lambda: getattr(obj, method)("some, text"))

    assert result == failure(method)
    assert len(failing.received if failing else []) == requests
    out, err = capsys.readouterr()
    assert out == ""
    assert err.startswith("Traceback (most recent call last):\n")
    assert (f"line {METHODS[method].line(step)}, in "
            f"{METHODS[method].traceback_name}\n") in err
    assert err.splitlines()[-1].startswith(error + ":")
    # Nothing of the failure is left behind for the next call.
    assert_answered(standins(), method, ("still, here!",))
    assert capsys.readouterr() == ("", "")

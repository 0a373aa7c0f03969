"""The steps of a text answered in parts, driven here by hand: what is
asked at each step, and what the text's outcome comes to."""

from factbrief.engine.outcome import Outcome
from factbrief.engine.parts import Calls, Split, in_parts


def ok(summary, content="c"):
    return Outcome({"summary": summary, "content": content, "status": "ok"})


def failed(reason):
    return Outcome({"summary": "", "content": "", "status": "error"}, reason)


def drive(steps, answer):
    """Runs `steps`, answer(step) replying to each; (steps seen, outcome)."""
    seen, reply = [], None
    while True:
        try:
            step = steps.send(reply)
        except StopIteration as end:
            return seen, end.value
        seen.append(step)
        reply = answer(step)


def test_parts_then_the_whole_in_order():
    def answer(step):
        if isinstance(step, Split):
            return [step.text]  # the summaries fit
        if step.calls[0][0] == "title":
            return [Outcome({"title": "T", "content": "x", "status": "ok"})]
        return [ok(f"s{n}", f"<{text}>") for n, (_, text, _) in
                enumerate(step.calls)]
    seen, outcome = drive(in_parts("title", "my title", ["a", "b", "c"],
                                   "title"), answer)
    # A title's parts are summarised with no prompt; the last call is
    # the title, over the summaries joined in order.
    assert seen[0] == Calls([("extract", "a", ""), ("extract", "b", ""),
                             ("extract", "c", "")])
    assert seen[1] == Split("s0\n\ns1\n\ns2")
    assert seen[2] == Calls([("title", "s0\n\ns1\n\ns2", "my title")])
    assert outcome.record == {"title": "T", "content": "<a><b><c>",
                              "status": "ok", "parts": 3}


def test_summaries_too_long_are_summarised_in_groups_first():
    long_summary = "x" * 50
    rounds = iter([["g1", "g2"], ["short"]])

    def answer(step):
        if isinstance(step, Split):
            return next(rounds)
        if len(step.calls) == 1 and step.calls[0][1].startswith("r"):
            return [ok("final")]
        return [ok(long_summary if text in "ab" else "r" + text)
                for _, text, _ in step.calls]
    seen, outcome = drive(in_parts("extract", "p", ["a", "b"], "summary"),
                          answer)
    assert seen[2] == Calls([("extract", "g1", "p"), ("extract", "g2", "p")])
    assert seen[3] == Split("rg1\n\nrg2")
    assert seen[4] == Calls([("extract", "rg1\n\nrg2", "p")])
    assert outcome.record["summary"] == "final"
    assert outcome.record["parts"] == 2


def test_failures_end_the_text_named():
    # A part that fails names its place; so does a group of summaries.
    _, outcome = drive(in_parts("extract", "", ["a", "b"], "summary"),
                       lambda step: [ok("s"), failed("HTTP 500")])
    assert outcome.reason == "part 2 of 2 failed: HTTP 500"
    assert outcome.record["status"] == "error"

    def grouped(step):
        if isinstance(step, Split):
            return ["g1", "g2"]
        if step.calls[0][1] == "g1":
            return [failed("timed out"), ok("s")]
        return [ok("a long summary"), ok("another")]
    _, outcome = drive(in_parts("extract", "", ["a", "b"], "summary"),
                       grouped)
    assert outcome.reason == "group of summaries 1 of 2 failed: timed out"

    # A count that fails ends it with that outcome; so does the last call.
    counted = failed("the server could not count the text")
    _, outcome = drive(in_parts("extract", "", ["a"], "summary"),
                       lambda step: counted if isinstance(step, Split)
                       else [ok("s")])
    assert outcome is counted

    def last_fails(step):
        if isinstance(step, Split):
            return [step.text]
        return [failed("HTTP 429")] if step.calls[0][1] == "s" else [ok("s")]
    _, outcome = drive(in_parts("extract", "", ["a"], "summary"), last_fails)
    assert outcome.reason == "the summary of the 1 parts failed: HTTP 429"


def test_a_round_that_does_not_shrink_goes_to_the_last_call():
    def answer(step):
        if isinstance(step, Split):
            return ["g1", "g2"]
        if len(step.calls) == 1:
            return [ok("final")]
        return [ok("the same long summary")] * len(step.calls)
    seen, outcome = drive(in_parts("extract", "", ["a", "b"], "summary"),
                          answer)
    # One round of groups, no shorter: then the last call, not another.
    assert [type(s).__name__ for s in seen] == ["Calls", "Split", "Calls",
                                                "Calls"]
    assert outcome.record["summary"] == "final"

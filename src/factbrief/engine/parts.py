"""Texts too long for one request: what fits, and the parts' summaries
summarised again.

A text over the limit is cut where it pauses (factbrief.splitting), each
part summarised by the module's `extract`, and the parts' summaries,
joined in order, summarised once more (or given a title); when they do
not fit one request either, they are summarised in groups first, round by
round, so the last step never overflows as the first one would have.
"""

from typing import Any, Callable, Generator, NamedTuple

from factbrief.engine.outcome import Outcome, blank

# The most rounds of summaries of summaries: each round shrinks the text
# to the summaries' length, so a few rounds cover any text that fits in
# memory; a round that does not shrink ends the text as failed.
MAX_ROUNDS = 6
SEPARATOR = "\n\n"  # between summaries: a paragraph's end, to split at


class PartLimit(NamedTuple):
    """How much of a text one request may carry.

    `most` is in `unit`s; `measure_for(text)` gives the cost function of
    a text (factbrief.splitting's Measure), None meaning its length in
    characters. `strict`: the service's own limit, so a longer text
    cannot be sent whole (the local model's context); otherwise a limit
    chosen for splitting only (--part-chars).
    """
    most: int
    unit: str = "characters"
    measure_for: "Callable[[str], Callable[[int, int], int]] | None" = None
    strict: bool = False

    def measure(self, text):
        return None if self.measure_for is None else self.measure_for(text)

    def cost(self, text, measure):
        return len(text) if measure is None else measure(0, len(text))


def too_long(limit, cost):
    """The reason for a text over a strict limit, sent without --split."""
    return (f"the text is {cost:,} {limit.unit} with the instruction, over "
            f"the {limit.most:,} one request may carry: give --split to "
            f"summarise it in parts (nothing was sent)")


def joined(summaries):
    return SEPARATOR.join(s.strip() for s in summaries)


def parts_record(final, contents, count):
    """The record of a text answered in `count` parts: the last call's
    answer, the whole text as cleaned part by part, and the count."""
    record = dict(final)
    record["content"] = "".join(contents)
    record["parts"] = count
    return record


class Split(NamedTuple):
    """A step: `text` in pieces that each fit one request. Answered with
    the pieces (one when it fits), or the Outcome of a failure to count
    it."""
    text: str


class Calls(NamedTuple):
    """A step: calls of the module, (command, text, prompt) each, that may
    run at once. Answered with their Outcomes, in order."""
    calls: list[tuple[str, str, str]]


Steps = Generator["Split | Calls", Any, Outcome]


def in_parts(command: str, prompt: str, parts: list[str],
             answer_key: str) -> Steps:
    """The steps that answer a text cut into `parts`: each step is yielded
    and answered with `send`, by whoever runs them (the engine on its
    threads, a cluster's driver on its nodes); the text's Outcome is the
    generator's return value."""
    # A title's parts are summarised, not given titles: the instruction
    # is for the whole text's title.
    parts_prompt = prompt if command == "extract" else ""
    done, failed = yield from _summaries(parts, parts_prompt, "part",
                                         answer_key)
    if failed:
        return failed
    summary = joined(o.record["summary"] or "" for o in done)
    for _ in range(MAX_ROUNDS):
        groups = yield Split(summary)
        if isinstance(groups, Outcome):
            return groups
        if len(groups) <= 1:
            break
        rounds, failed = yield from _summaries(
            groups, parts_prompt, "group of summaries", answer_key)
        if failed:
            return failed
        shorter = joined(o.record["summary"] or "" for o in rounds)
        if len(shorter) >= len(summary):
            break  # no shorter: the last call says what is wrong
        summary = shorter
    final, = yield Calls([(command, summary, prompt)])
    if final.record.get("status") != "ok":
        return Outcome(blank(answer_key), f"the summary of the {len(parts)} "
                       f"parts failed: {final.reason}", final.printed)
    return Outcome(parts_record(
        final.record, [o.record["content"] for o in done], len(parts)))


def _summaries(parts, prompt, what, answer_key):
    """Each part's summary by `extract`, and the outcome of the first that
    failed, named, if one did."""
    done = yield Calls([("extract", part, prompt) for part in parts])
    for number, outcome in enumerate(done, 1):
        if outcome.record.get("status") != "ok":
            return done, Outcome(blank(answer_key), (
                f"{what} {number} of {len(parts)} failed: "
                f"{outcome.reason}"), outcome.printed)
    return done, None

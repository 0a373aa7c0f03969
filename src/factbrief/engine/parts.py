"""Texts too long for one request: what fits, and the parts' summaries
summarised again.

A text over the limit is cut where it pauses (factbrief.splitting), each
part summarised by the module's `extract`, and the parts' summaries,
joined in order, summarised once more (or given a title); when they do
not fit one request either, they are summarised in groups first, round by
round, so the last step never overflows as the first one would have.
"""

from typing import Callable, NamedTuple

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

"""Splitting a text that is too long for one request into parts that fit.

Pure functions of the text: no I/O, no model. `split_text` cuts where the
text itself pauses (paragraphs, then sentences) and never inside a number
or a word; `fits` says whether a text goes whole; `token_measure` turns a
tokenizer's token boundaries into the cost function both take.
"""

from __future__ import annotations

import bisect
import functools
import re
import unicodedata
from typing import Callable, Optional, Sequence

__all__ = ["split_text", "fits", "token_measure", "Measure"]

Measure = Callable[[int, int], int]

# A part may end at a boundary of a better kind only if that leaves it at
# least this full; otherwise a title or a short opening paragraph would be
# sent as a part of its own, and summarised out of context.
MIN_FILL = 0.5

# Kinds of boundary, best first. CHAR (any place outside a number or a
# word) is the last resort and has no list of its own.
PARAGRAPH, SENTENCE, LINE, SPACE = range(4)

_HAN = ("\u3005\u3007\u3021-\u3029\u3038-\u303b\u3400-\u4dbf\u4e00-\u9fff"
        "\uf900-\ufaff\U00020000-\U0003ffff")
_CLOSE = "\"'\u2019\u201d\u300d\u300f\uff09)\\]\u3011\u300b\u3009\uff3d}"
_SIGN = "-+\u2212\u00b1"
_UNIT = "%\uff05\u2030\u2031\u00b0\u2103\u2109"
# Marks that join the letters or digits on either side into one piece:
# 6,300 3.5 1:30 2023-07-26 1/2 don't COVID-19.
_JOIN = ".,:/-'\u2019\u00b7"

_PARAGRAPH = re.compile(
    # A blank line, or a line break right after a sentence's end.
    r"\n(?:[^\S\n]*\n)+\s*"
    r"|(?:[\u3002\uff01\uff1f\uff1b]|[.!?;])[" + _CLOSE + r"]*[^\S\n]*\n\s*")
_SENTENCE = re.compile(
    r"(?:[\u3002\uff01\uff1f\uff1b]+[" + _CLOSE + r"]*"
    r"|[.!?;]+[" + _CLOSE + r"]*(?=\s|\Z))\s*")
_LINE = re.compile(r"\n\s*")
_SPACE = re.compile(r"\s+")


def _classes() -> tuple[str, str]:
    """Character class bodies of (the characters of words other than Han,
    combining marks) in the first plane: letters, digits and marks by
    their Unicode category."""
    han, word, marks = _HAN_CHAR.match, [], []
    for code in range(0x10000):
        kind = unicodedata.category(chr(code))[0]
        if kind == "M":
            marks.append(code)
        if kind in "LNM" and not han(chr(code)):
            word.append(code)
    return _ranges(word), _ranges(marks)


def _ranges(codes: list[int]) -> str:
    """Increasing code points as the body of a character class."""
    out, i = [], 0
    while i < len(codes):
        j = i
        while j + 1 < len(codes) and codes[j + 1] == codes[j] + 1:
            j += 1
        out.append(re.escape(chr(codes[i]))
                   + ("-" + re.escape(chr(codes[j])) if j > i else ""))
        i = j + 1
    return "".join(out)


_HAN_CHAR = re.compile(f"[{_HAN}]")


@functools.lru_cache(maxsize=1)
def _pieces() -> re.Pattern[str]:
    """Spans that must not be cut: words and numbers (letters and digits
    other than Han, with the marks that join them), a character with the
    marks or joiners that follow it, CR LF, a pair of flag letters.

    The classes are spelled out once, on first use (about 30 ms): a class
    matches many times faster than a look-ahead per character, but only
    while it holds few ranges past the first plane, so all of the second
    plane (historic scripts, symbols, emoji) counts as letters: never
    cutting there is the safe side."""
    word, marks = _classes()
    word += "\U00010000-\U0001ffff\U000e0100-\U000e01ef"
    marks += "\U000e0100-\U000e01ef\U0001f3fb-\U0001f3ff"
    unit = f"[{word}]+"
    return re.compile(
        rf"(?:[{_SIGN}](?=\.?\d))?\.?{unit}(?:[{re.escape(_JOIN)}]{unit})*"
        rf"[{_UNIT}]?"
        rf"|\S(?:[{marks}]|\u200d\S)+"
        r"|\r\n|[\U0001f1e6-\U0001f1ff]{2}")


def _length(start: int, end: int) -> int:
    return end - start


def fits(text: str, limit: int, measure: Optional[Measure] = None) -> bool:
    """Whether `text` goes whole: its cost (`measure(0, len(text))`, by
    default its length in characters) is at most `limit`."""
    cost = len(text) if measure is None else measure(0, len(text))
    return cost <= limit


def split_text(text: str, limit: int,
               measure: Optional[Measure] = None) -> list[str]:
    """Splits `text` into parts that each cost at most `limit`.

    `measure(start, end)` is the cost of `text[start:end]`; by default its
    length in characters. It must not decrease as `end` grows (a token
    count is fine); it is called O(log n) times per part.

    Parts are packed greedily, in order: each holds as much of the text
    as fits, ending at the best kind of boundary that leaves it at least
    half full (`MIN_FILL`), of these kinds, best first:

    1. a paragraph's end: a blank line, or a line break right after a
       sentence's end (texts that separate paragraphs by one line break);
    2. a sentence's end: one of 。！？； or one of .!?; that white space or
       the end of the text follows (so 3.5 and U.S.A are not ends), with
       the closing quotes and brackets right after the mark;
    3. any other line break (a wrapped line, a heading, a list item);
    4. white space;
    5. any character boundary outside a number or a word.

    A part ends after the white space that follows its boundary, so the
    next part starts with the text itself. A number is a run of digits
    with its sign, its inner marks and its unit (-52.3 6,300 1:30
    2023-07-26 1e-5 12%); a word is a run of letters and digits other
    than Han (COVID-19 and don't are one word each); each Han character
    is a word of its own. Combining marks, joined emoji and CR LF stay
    with the character before them.

    Only when a single word or number costs more than `limit` by itself
    is it cut, at the last character boundary that fits; and a single
    character that costs more than `limit` makes a part of its own. No
    other part exceeds `limit`.

    `"".join(split_text(text, limit, measure)) == text` always; the empty
    text gives no parts. `limit` must be at least 1.
    """
    if limit < 1:
        raise ValueError(f"limit must be at least 1, not {limit!r}")
    if not text:
        return []
    cost = _length if measure is None else measure
    n = len(text)
    if cost(0, n) <= limit:
        return [text]
    places = _Places(text)
    parts, start = [], 0
    while start < n:
        end = _furthest(cost, start, n, limit, measure is None)
        if end < n:
            end = _cut(places, cost, start, end, limit)
        parts.append(text[start:end])
        start = end
    return parts


class _Places:
    """Where a part of one text may end, found when first asked for: most
    texts never need more than their paragraphs' ends."""

    def __init__(self, text: str) -> None:
        self.text = text
        self._ends: dict[int, list[int]] = {}
        self._spans: Optional[tuple[list[int], list[int]]] = None
        self._blank = (0, 0)

    def ends(self, kind: int) -> list[int]:
        """The sorted places after a boundary of `kind`."""
        if kind not in self._ends:
            pattern = (_PARAGRAPH, _SENTENCE, _LINE, _SPACE)[kind]
            self._ends[kind] = [m.end() for m in pattern.finditer(self.text)]
        return self._ends[kind]

    def blank_to(self, i: int) -> int:
        """Where the white space from place i ends (i if there is none);
        remembered, so that a long run is scanned once, not per part."""
        if not self._blank[0] <= i < self._blank[1]:
            run = _SPACE.match(self.text, i)
            if run is None:
                return i
            self._blank = run.span()
        return self._blank[1]

    def piece_at(self, i: int) -> Optional[tuple[int, int]]:
        """The number, word or other unbreakable span that holds place i
        inside it (not at its edge), if any."""
        if self._spans is None:
            spans = [m.span() for m in _pieces().finditer(self.text)]
            spans = [(a, b) for a, b in spans if b - a > 1]
            self._spans = [a for a, _ in spans], [b for _, b in spans]
        starts, ends = self._spans
        k = bisect.bisect_right(starts, i) - 1
        if k >= 0 and starts[k] < i < ends[k]:
            return starts[k], ends[k]
        return None


def _furthest(cost: Measure, start: int, n: int, limit: int,
              by_length: bool) -> int:
    """The largest end after `start` with cost(start, end) <= limit, or
    start + 1 when even one character costs more."""
    if by_length:
        return min(n, start + limit)
    if cost(start, n) <= limit:
        return n
    low, high = start + 1, n  # cost(start, high) > limit
    if cost(start, low) > limit:
        return low
    while high - low > 1:
        mid = (low + high) // 2
        if cost(start, mid) <= limit:
            low = mid
        else:
            high = mid
    return low


def _cut(places: _Places, cost: Measure, start: int, end: int,
         limit: int) -> int:
    """Where the part from `start` ends, at most `end` (which fits)."""
    text, floor = places.text, limit * MIN_FILL
    for kind in (PARAGRAPH, SENTENCE, LINE, SPACE):
        ends = places.ends(kind)
        i = bisect.bisect_right(ends, end)
        # A boundary's white space that runs past the end still counts.
        if i < len(ends) and places.blank_to(end) >= ends[i] and (
                _may_cut_at(text, end) and cost(start, end) >= floor):
            return end
        if i > 0 and ends[i - 1] > start and (
                cost(start, ends[i - 1]) >= floor):
            return ends[i - 1]
    piece = places.piece_at(end)
    if piece is None:
        return end
    if piece[0] > start:
        return piece[0]
    # One word or number longer than a whole part: cut it, but not between
    # a character and the marks that belong to it.
    cut = end
    while cut > start + 1 and not _may_cut_at(text, cut):
        cut -= 1
    return cut if _may_cut_at(text, cut) else end


def _may_cut_at(text: str, i: int) -> bool:
    """Whether a cut between text[i - 1] and text[i] keeps each character
    with what belongs to it: CR LF, joined emoji, marks and skin tones."""
    before, after = text[i - 1], text[i]
    if before == "\r" and after == "\n" or "\u200d" in (before, after):
        return False
    return not (unicodedata.category(after).startswith("M")
                or "\U0001f3fb" <= after <= "\U0001f3ff")


def token_measure(ends: Sequence[int]) -> Measure:
    """A measure from a tokenizer's view of the whole text: `ends[k]` is
    the character offset where token k ends, increasing. The cost of
    text[start:end] is the number of tokens it overlaps, so a part that
    starts or ends inside a token pays for the whole token."""
    ends = list(ends)

    def measure(start: int, end: int) -> int:
        if end <= start:
            return 0
        first = bisect.bisect_right(ends, start)
        last = bisect.bisect_left(ends, end)
        return max(0, min(last, len(ends) - 1) - first + 1)
    return measure

"""Splitting a long text into parts (factbrief.splitting): the text's own
boundaries first, never a cut inside a number or a word, the order kept
and the text given back exactly, the caller's measure obeyed."""

import pytest
from hypothesis import given, settings, strategies as st

from factbrief.splitting import fits, split_text, token_measure


def cuts(parts):
    """The places in the text where one part ends and the next begins."""
    places, at = [], 0
    for part in parts[:-1]:
        at += len(part)
        places.append(at)
    return places


# ---- where a part ends ----

PREFERENCES = [
    # (text, limit, parts)
    # A blank line beats the sentence ends that would fill the part more.
    ("One. Two three.\n\nFour five. Six.", 24,
     ["One. Two three.\n\n", "Four five. Six."]),
    # A line break after a sentence's end is a paragraph's end too.
    ("第一段有两句。这是第二句。\n第二段。再来一句话。", 16,
     ["第一段有两句。这是第二句。\n", "第二段。再来一句话。"]),
    # A wrapped line (no sentence end before the break) ranks below a
    # sentence's end.
    ("It rose sharply. Then it\nfell back.", 30,
     ["It rose sharply. ", "Then it\nfell back."]),
    # 。！？； end a sentence with nothing after them; the closing quote
    # stays with its sentence.
    ("他说：“到了。”随后离开；众人散去！", 9,
     ["他说：“到了。”", "随后离开；", "众人散去！"]),
    # .!?; need white space or the end after them: 3.5 and U.S are not
    # sentence ends, and neither is the full stop inside a number.
    ("Growth was 3.5 in the U.S (a record).\" Next year 4.0 is planned.",
     45, ["Growth was 3.5 in the U.S (a record).\" ",
          "Next year 4.0 is planned."]),
    # No sentence end within reach: white space, then the last character
    # boundary outside a word (a Han character is a word of its own).
    ("alpha beta gamma delta", 13, ["alpha beta ", "gamma delta"]),
    ("黄河流经九个省区最后注入渤海", 5, ["黄河流经九", "个省区最后", "注入渤海"]),
    # A better boundary that would leave the part less than half full
    # gives way to the furthest one of the next kind.
    ("Title\n\nA long first paragraph. It goes on and on and on.", 40,
     ["Title\n\nA long first paragraph. ", "It goes on and on and on."]),
    # The white space after a boundary ends the part it closes, as far as
    # it fits.
    ("First.   \n\n   Second.", 15, ["First.   \n\n   ", "Second."]),
    ("First.   \n\n   Second.", 12, ["First.   \n\n ", "  Second."]),
]


@pytest.mark.parametrize("text, limit, parts", PREFERENCES)
def test_a_part_ends_at_the_best_boundary_within_reach(text, limit, parts):
    assert split_text(text, limit) == parts


NUMBERS = ["6,300", "3.5", "1:30", "2023-07-26", "1e-5", "-52.3", "12%",
           "４２", "+7", "−3.25", "0.5‰", "38°", "1/2"]
WORDS = ["Yangtze", "COVID-19", "don't", "naïve", "cafe\u0301", "H2O",
         "Straße", "ロケット"]


@pytest.mark.parametrize("piece", NUMBERS + WORDS)
def test_a_number_or_word_is_never_cut_when_it_fits(piece):
    text = "看 " + piece + " end"
    for limit in range(len(piece), len(text) + 1):
        parts = split_text(text, limit)
        assert any(piece in part for part in parts), (limit, parts)


def test_a_piece_longer_than_a_part_is_cut_and_only_then():
    word = "Donaudampfschifffahrt"           # 21 letters
    parts = split_text(f"a {word} b", 8)
    assert parts == ["a ", "Donaudam", "pfschiff", "fahrt b"]
    # The cut keeps a letter with its combining mark.
    assert split_text("e\u0301" * 6, 5) == ["e\u0301e\u0301", "e\u0301e\u0301",
                                           "e\u0301e\u0301"]
    assert split_text("ab\r\ncd", 3) == ["ab", "\r\n", "cd"]


# ---- properties over random texts ----

_number = st.one_of(
    st.sampled_from(NUMBERS),
    st.integers(-10**7, 10**7).map(lambda n: f"{n:,}"),
    st.floats(-1e4, 1e4, allow_nan=False).map(lambda x: f"{x:.2f}"),
    st.tuples(st.integers(1900, 2100), st.integers(1, 12),
              st.integers(1, 28)).map(lambda d: "%d-%02d-%02d" % d))
_word = st.one_of(st.sampled_from(WORDS),
                  st.text("abcdefghijklmnopqrstuvwxyzéøA", min_size=1,
                          max_size=14))
# None of these joins the pieces on either side into one.
_gap = st.sampled_from([" ", "  ", "\n", "\n\n", ". ", "! ", "; ", "。",
                        "，", "、", "（", "）", "”", "的", "年", " - ",
                        "? ", "：", "\t", "! “"])


@st.composite
def texts_of_pieces(draw):
    """(text, [(start, end) of each number and word])."""
    text, spans = "", []
    for piece in draw(st.lists(st.one_of(_number, _word), min_size=1,
                               max_size=60)):
        text += draw(_gap)
        spans.append((len(text), len(text) + len(piece)))
        text += piece
    return text + draw(_gap), spans


@settings(max_examples=300, deadline=None)
@given(texts_of_pieces(), st.integers(1, 120))
def test_no_cut_inside_a_number_or_word_that_fits(sample, limit):
    text, spans = sample
    parts = split_text(text, limit)
    assert "".join(parts) == text
    assert all(len(part) <= limit for part in parts)
    for cut in cuts(parts):
        inside = [text[a:b] for a, b in spans if a < cut < b
                  and b - a <= limit]
        assert not inside, (cut, inside, parts)


@settings(max_examples=300, deadline=None)
@given(st.text(st.characters(codec="utf-8"), max_size=400),
       st.integers(1, 50))
def test_any_text_comes_back_whole_in_order_within_the_limit(text, limit):
    parts = split_text(text, limit)
    assert "".join(parts) == text
    assert all(parts) and all(len(part) <= limit for part in parts)
    assert parts == ([text] if text and fits(text, limit) else parts)


@settings(max_examples=300, deadline=None)
@given(texts_of_pieces(), st.integers(1, 80))
def test_parts_are_packed_greedily(sample, limit):
    # A part is at least half full, or what comes next is a number or
    # word that would not have fitted in it.
    text, spans = sample
    parts = split_text(text, limit)
    starting = {a: b - a for a, b in spans}
    for part, cut in zip(parts, cuts(parts)):
        assert 2 * len(part) >= limit or (
            len(part) + starting.get(cut, 0) > limit), (part, parts)


# ---- the caller's measure ----

def test_a_weighted_measure_is_obeyed():
    text = " ".join(["汉字", "123456", "plain"] * 20)
    weight = [3 if "\u4e00" <= c <= "\u9fff" else 2 if c.isdigit() else 1
              for c in text]
    prefix = [0]
    for w in weight:
        prefix.append(prefix[-1] + w)
    calls = []

    def measure(start, end):
        calls.append((start, end))
        return prefix[end] - prefix[start]

    parts = split_text(text, 60, measure)
    assert "".join(parts) == text
    at = 0
    for part in parts:
        assert measure(at, at + len(part)) <= 60
        at += len(part)
    # Heavier characters make more parts than counting characters would.
    assert len(parts) > len(split_text(text, 60))
    assert all(0 <= a < b <= len(text) for a, b in calls)


@settings(max_examples=200, deadline=None)
@given(texts_of_pieces(), st.lists(st.integers(0, 6), min_size=1),
       st.integers(1, 60))
def test_any_measure_is_obeyed_and_numbers_kept(sample, weights, limit):
    text, spans = sample
    prefix = [0]
    for i in range(len(text)):
        prefix.append(prefix[-1] + weights[i % len(weights)])

    def measure(start, end):
        return prefix[end] - prefix[start]

    parts = split_text(text, limit, measure)
    assert "".join(parts) == text
    at = 0
    for part in parts:
        assert measure(at, at + len(part)) <= limit or len(part) == 1
        at += len(part)
    for cut in cuts(parts):
        assert not [(a, b) for a, b in spans
                    if a < cut < b and measure(a, b) <= limit]


def test_a_character_heavier_than_the_limit_is_a_part_of_its_own():
    parts = split_text("ab汉cd", 2, lambda a, b: sum(
        5 if c == "汉" else 1 for c in "ab汉cd"[a:b]))
    assert parts == ["ab", "汉", "cd"]


def test_token_measure_counts_the_tokens_a_span_touches():
    # "Hello world." as the tokens "Hello", " world", "."
    measure = token_measure([5, 11, 12])
    assert [measure(0, 12), measure(0, 5), measure(5, 12),
            measure(3, 7), measure(6, 6), measure(11, 12)] == [3, 1, 2, 2, 0, 1]
    assert split_text("Hello world.", 2, measure) == ["Hello ", "world."]


# ---- the edges ----

def test_limits_of_one_and_beyond_the_text_and_the_empty_text():
    text = "长江 6,300 km。Yes."
    assert split_text(text, 10**9) == [text] and fits(text, len(text))
    assert not fits(text, len(text) - 1)
    one = split_text(text, 1)
    assert one == list(text)
    assert split_text("", 1) == [] and fits("", 0)
    for bad in (0, -5):
        with pytest.raises(ValueError, match="limit must be at least 1"):
            split_text(text, bad)

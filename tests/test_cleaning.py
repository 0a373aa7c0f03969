"""What the cleaning leaves of a text: punctuation goes, a number's marks
stay. The module is checked against hand-written answers and, on random
text, against the character-by-character rule in support.lines."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import factbrief.factbrief as fb
from support.doubles import ClientDouble, module_global
from support.lines import SERVICE_METHODS, clean, message_for

CASES = [
    # (text, what is sent)
    # numbers as the issue reports them mangled
    ("增长1.3%", "增长1.3%"),
    ("17.90亿亩", "17.90亿亩"),
    ("954.6万亩", "954.6万亩"),
    ("47.5 pounds", "47.5 pounds"),
    ("at 3:45.", "at 3:45"),
    ("2024-01-03", "2024-01-03"),
    ("-5", "-5"),
    ("6,300 km", "6,300 km"),
    ("3/4 of it", "3/4 of it"),
    # the minus sign: no word character directly before it
    ("x-5", "x5"),
    ("_-5", "_5"),
    ("--5", "-5"),
    ("(−3)", "−3"),
    ("a -5 b", "a -5 b"),
    ("3−5", "3−5"),
    ("ｘ-5 é-5 COVID-19", "ｘ5 é5 COVID19"),
    # Chinese and Japanese put no space before a number: the sign stays
    ("测得-52.3℃", "测得-52.3"),
    ("气温降至−5度", "气温降至−5度"),
    ("気温は-5度", "気温は-5度"),
    ("歼-20", "歼-20"),
    ("한-5", "한5"),
    ("-x", "x"),
    ("5-", "5"),
    # a mark between two digits, one after another
    ("1.2.3", "1.2.3"),
    ("3-5", "3-5"),
    ("1,234,567.89", "1,234,567.89"),
    ("5..5", "55"),
    ("5. 5", "5 5"),
    (".5", "5"),
    ("a.5 5.a", "a5 5a"),
    # the other marks between two digits: powers, errors, products,
    # ranges and scores; alone or by a letter they go
    ("2^10", "2^10"),
    ("1.5±0.2 mm", "1.5±0.2 mm"),
    ("3×4", "3×4"),
    ("10−20", "10−20"),
    ("3–5, 3–2", "3–5 3–2"),
    ("3~5天", "3~5天"),
    ("３～５", "３～５"),
    ("x^2 ±5 5× ~5 —", "x2 5 5 5 "),
    ("3 × 4", "3  4"),
    ("3—5", "35"),
    ("1^2^3", "1^2^3"),
    # the sign of an exponent, after a digit and e or E
    ("1e-5", "1e-5"),
    ("2.5E-3", "2.5E-3"),
    ("6.0e−7 m", "6.0e−7 m"),
    ("ab1e-5", "ab1e-5"),
    ("e-5 ee-5 1ee-5 1e-x", "e5 ee5 1ee5 1ex"),
    ("1e+5", "1e5"),
    ("1é-5 1ｅ-5", "1é5 1ｅ5"),
    # percent signs
    ("5%%", "5%"),
    ("%5", "5"),
    ("５％", "５％"),
    ("50 %", "50 "),
    # several numbers in a row; a number at the start and at the end
    ("1.5, 2.5; 3.5!", "1.5 2.5 3.5"),
    ("3.14是圆周率", "3.14是圆周率"),
    ("圆周率约为3.14。", "圆周率约为3.14"),
    # digits: full-width ones count, Chinese numerals do not
    ("１.５", "１.５"),
    ("１．５", "１５"),
    ("三.五", "三五"),
    ("第3.5条", "第3.5条"),
    ("٣.٥", "٣.٥"),
    # a lone mark, and everything else as before
    (".", ""),
    ("%", ""),
    ("-", ""),
    ("", ""),
    ("Hello, world! (a.b) x-y", "Hello world ab xy"),
    ("a@b.com, $3.50", "abcom 3.50"),
    ("约6,300公里。", "约6,300公里"),
    ("a_b 3.5%\tx\n", "a_b 3.5%\tx\n"),
]


def _call(method, text):
    """(record, the one message sent) of a call through a double."""
    with module_global(fb, "OpenAI", ClientDouble()) as client:
        result = getattr(fb.AISummary("u", "k", "m"), method)(text)
    [request] = client.requests
    return result, request["messages"][0]["content"]


@pytest.mark.parametrize("text, sent", CASES)
def test_a_number_keeps_its_marks(text, sent):
    assert clean(text) == sent  # the rule agrees with the hand answer
    for method in SERVICE_METHODS:
        result, message = _call(method, text)
        assert result["status"] == "ok"
        assert result["content"] == sent
        assert message == message_for(method, text)
        assert message.endswith(sent)


def _texts():
    digits = st.sampled_from("0123456789０１２３４５６７８９٣")
    letters = st.sampled_from("abxyzeEABé_三五亿はカ한𠀀")
    marks = st.sampled_from(".,:/-%％−^~～±×–")
    other = st.sampled_from("!?()[];@$#&*+=…·．，：。、“”《》（）—÷‰'\"")
    spaces = st.sampled_from(" \t\n\u3000")
    # Marks between digits, exponents and signs: single characters drawn
    # one by one rarely line up so.
    pieces = st.one_of(
        st.tuples(digits, marks, digits).map("".join),
        st.sampled_from(["1e-", "5E−", "e-", "E−", "ee-", "x-", "测-", "カ−"]))
    return st.lists(st.one_of(digits, digits, letters, marks, marks, other,
                              spaces, pieces, pieces, st.characters()),
                    max_size=30).map("".join)


@settings(max_examples=500, deadline=None)
@given(text=_texts(), method=st.sampled_from(SERVICE_METHODS))
def test_random_text_is_cleaned_by_the_rule(text, method):
    result, message = _call(method, text)
    assert result["content"] == clean(text)
    assert message == message_for(method, text)


def test_every_word_character_before_a_minus_sign():
    """The scripts whose letters leave a minus sign in place, checked for
    every word character of this Python's Unicode database."""
    words = [chr(c) for c in range(0x110000)
             if chr(c).isalnum() or chr(c) == "_"]
    text = " ".join(w + "-5" for w in words)
    result, _ = _call("extract", text)
    assert result["content"] == clean(text)
    assert "测-5" in result["content"] and "x5" in result["content"]

"""The numbers an answer states that its text does not support.

`unsupported_numbers(answer, source)` reads the numbers of both texts as
values, so that a faithful answer in another language or notation passes
and a changed figure does not: digits (ASCII and full-width, with
thousands separators and a decimal point), scale words (万, 亿, million,
...), Chinese numerals (十四亿一千一百七十八万, 七十多, 五点三八), English
number words and ordinals, percentages, signs (-52.3 = 零下52.3), and
dates and times by their parts (26 July 2023 = 2023年7月26日 = 2023-07-26;
3:59.4 = 3分59.4秒). Units are not compared, scale words are. A number the
answer marks as approximate (约, 超过, 多, about, nearly, more than, ...)
is supported by a value of the text that rounds to it at the answer's
precision; an unmarked one only by an equal value.

It checks numbers, and only whether each value occurs in the text: not
names, not claims, not whether a supported number is used for the right
thing (a right figure attached to the wrong event passes), and not
arithmetic the answer does on the text's figures. A length asked of the
answer (a round number of characters or words: 200字, 100 words) and
list markers (1. 2、) are not counted. Units are not converted: 1,921 m
told as 1.9 km is flagged.

Everything is hand-written and in this one module: it imports only `re`,
`decimal` and `functools`, compiles its patterns on the first check, and
caches a text's parse, so checking several answers against one text
reads it once.
"""

from __future__ import annotations

import re
import threading
from bisect import bisect_left
from decimal import Decimal
from functools import lru_cache

__all__ = ["unsupported_numbers"]

# One character in, one out: positions in the folded text are positions in
# the original, so an answer's numbers can be returned as written.
_FOLD = {
    **{chr(0xFF10 + i): str(i) for i in range(10)},
    "\uff0e": ".", "\uff05": "%", "\u2212": "-", "\uff0d": "-",
    "\uff1a": ":", "\u00a0": " ", "\u202f": " ", "\u2009": " ",
    "\u3000": " ",
}

class _Pending:
    __slots__ = ("pattern", "flags")

    def __init__(self, pattern: str, flags: int) -> None:
        self.pattern, self.flags = pattern, flags


def _later(pattern: str, flags: int = 0) -> re.Pattern[str]:
    """A pattern compiled on the first check, not at import: compiling
    them all takes longer than the rest of the import."""
    return _Pending(pattern, flags)  # type: ignore[return-value]


_COMPILING = threading.Lock()
_compiled = False


def _compile() -> None:
    """Compiles every pattern at the first check, once, whichever threads
    check at the same time: none may see some compiled and some not."""
    global _compiled
    with _COMPILING:
        if _compiled:
            return
        space = globals()
        for name, value in list(space.items()):
            if isinstance(value, _Pending):
                space[name] = re.compile(value.pattern, value.flags)
        _compiled = True


# str.translate looks up every character of a CJK text; this only the few
# to fold.
_FOLDED = _later("[" + "".join(_FOLD) + "]")
# Words whose numeral characters are no number. Masked before parsing.
# Every branch opens with a plain character, so that the scan can skip to
# where one stands.
_IDIOMS = _later(
    "一直|一起|一样|一些|一定|一般|一切|一旦|一度|一致|一律|一边|一面|一再|"
    "一向|一同|一共|一番|一带|一流|一心|一系列|一部分|一方面|一下|一点儿|"
    "一时|一举|一连|一贯|一概|一道|一路|一口气|一手|一生|一体|一行|之一|"
    "唯一|统一|同一|单一|不一|进一步|这一|那一|另一|每一|任一|万一|万分|"
    "千万别|千万不|十分|百分点|百姓|百科|百货|千方百计|万物|万岁|万里|千里|"
    "四川|四周|四处|三亚|三峡|九龙|十字|八卦|三角|四子王旗|五湖四海|乱七八糟|"
    "一一|星期[一二三四五六日天]|周[一二三四五六日]|前一[天晚日夜]|"
    "后一[天晚日夜]|次一[天晚日夜]|的一[次个场项]")
# "one" that counts nothing: no one, one another, one of them.
_NOT_ONE = _later(r"\s+(?:another|of)\b", re.I)

_CN_DIGIT = {"零": 0, "〇": 0, "一": 1, "二": 2, "两": 2, "三": 3, "四": 4,
             "五": 5, "六": 6, "七": 7, "八": 8, "九": 9}
_CN_SMALL = {"十": 10, "百": 100, "千": 1000}
_CN_BIG = {"万": 10**4, "亿": 10**8, "兆": 10**12}

_EN_UNIT = {w: i for i, w in enumerate(
    "zero one two three four five six seven eight nine ten eleven twelve "
    "thirteen fourteen fifteen sixteen seventeen eighteen nineteen".split())}
_EN_TENS = {w: 10 * i for i, w in enumerate(
    "twenty thirty forty fifty sixty seventy eighty ninety".split(), 2)}
_EN_ORD = {
    **{w: i for i, w in enumerate(
        "first second third fourth fifth sixth seventh eighth ninth tenth "
        "eleventh twelfth thirteenth fourteenth fifteenth sixteenth "
        "seventeenth eighteenth nineteenth".split(), 1)},
    **{w: 10 * i for i, w in enumerate(
        "twentieth thirtieth fortieth fiftieth sixtieth seventieth "
        "eightieth ninetieth".split(), 2)},
}
_EN_HUNDRED = {"hundred": 100, "hundredth": 100}
_EN_BIG = {"thousand": 10**3, "million": 10**6, "billion": 10**9,
           "trillion": 10**12, "thousandth": 10**3, "millionth": 10**6}
_EN_WORDS = {**_EN_UNIT, **_EN_TENS, **_EN_ORD, **_EN_HUNDRED, **_EN_BIG,
             "dozen": 12}
_MONTHS = {m: i for i, m in enumerate(
    "January February March April May June July August September October "
    "November December".split(), 1)}
_MONTHS.update({m[:3]: i for m, i in list(_MONTHS.items())})
_MONTHS["Sept"] = 9
# Words of a text that state a number without a numeral.
_IMPLIED = {"decade": 10, "decades": 10, "century": 100, "centuries": 100,
            "fortnight": 14, "both": 2, "twice": 2, "pair": 2}

_DIGITS = (r"\d{1,3}(?:,\d{3})+(?:\.\d+)?(?!\d|,\d)"
           r"|\d{1,3}(?: \d{3})+(?!\d|[.,]\d)"
           r"|\d+(?:\.\d+)?")
_CN_RUN = "[零〇一二两三四五六七八九十百千万亿兆]+(?:点[零〇一二两三四五六七八九]+)?"

# Where a number may start: a digit, a Chinese numeral, or a word (looked
# up in the tables above, faster than a pattern of every word).
_LEAD = _later(r"[0-9零〇一二两三四五六七八九十百千万亿兆]|\b[A-Za-z]+")
_TOKEN = _later(
    rf"(?P<iso>(?<![\d.])\d{{4}}([-/.])\d{{1,2}}\2\d{{1,2}}(?![\d.]))"
    rf"|(?P<time>(?<![\d.:])\d{{1,2}}(?::\d{{2}}){{1,2}}(?:\.\d+)?(?![\d:]))"
    rf"|(?P<sec>(?<![\d.])\d+\s*秒\s*\d+(?![\d.年月日号天个名米]))"
    rf"|(?P<pct>[百千]分之\s*(?:{_DIGITS}|{_CN_RUN}))"
    rf"|(?P<num>{_DIGITS})"
    rf"|(?P<cn>{_CN_RUN})")
_PM_AFTER = _later(r"(?::\d\d)?\s*p\.?m\b", re.I)
_PM_BEFORE = _later(r"(?:下午|晚上|傍晚|夜里|夜间)\s*$")
_NAMED = _later(r"[A-Za-z]-?$")
_NEXT_WORD = _later(r"(?:\s+and\s+|[\s-]+)([A-Za-z]+)\b")

_CN_SCALE = _later(
    r"\s*(?P<more>[多余几])?"
    r"(?P<scale>(?:[百千](?![米克瓦卡焦帕分]))?(?:万|亿|兆(?![瓦赫字帕焦伏欧]))+"
    r"|千(?![米克瓦卡焦帕分]))")
_EN_SCALE = _later(
    r"\s*(?P<scale>thousand|million|billion|trillion)\b|(?P<short>bn|tn)\b",
    re.I)
_AFTER_MORE = _later(r"\s*(?:多|余|几|以上|\+)")
_AFTER_ABOUT = _later(r"[^\s\d，。,;；]{0,3}?左右")
_PERCENT = _later(r"\s*(?:(?P<pc>%|percent\b|per\s+cent\b)|(?P<pm>‰))",
                      re.I)
_BELOW_ZERO = _later(
    r"\s*(?:°\s*[CF]?|degrees?(?:\s+(?:celsius|fahrenheit))?)?"
    r"\s*below\s+(?:zero|freezing)", re.I)
_ASKED_LENGTH = _later(
    r"\s*(?:个)?(?:汉)?字(?!母)|\s+(?:characters|words)\b", re.I)
_LIST_MARKER = _later(r"^[ \t>*#-]*\d{1,2}(?:\.(?!\d)|[、)）])", re.M)
# Words that mark the number after them as approximate.
_MARKED = _later(
    r"(?:(?P<about>约为?|大约|大概|(?i:\b(?:about|around|approximately|"
    r"approx\.|roughly|some|circa|close to)))\s*(?:为|是)?"
    r"|(?P<more>超过|超|逾|多于|高于|至少|(?i:\b(?:over|more than|above|"
    r"at least|upwards of|in excess of|just over)))"
    r"|(?P<less>将近|接近|近|不到|不足|少于|低于|(?i:\b(?:nearly|almost|"
    r"under|less than|fewer than|below|up to|just under))))\s*$")
_MARKER_ENDS = (
    "约", "约为", "约是", "大约", "大概", "about", "around", "approximately",
    "approx.", "roughly", "some", "circa", "close to", "超过", "超", "逾",
    "多于", "高于", "至少", "over", "more than", "above", "at least",
    "upwards of", "in excess of", "just over", "将近", "接近", "近", "不到",
    "不足", "少于", "低于", "nearly", "almost", "under", "less than",
    "fewer than", "below", "up to", "just under")
_SIGN = _later(r"(?:(?<![0-9A-Za-z.])-|零下|负|(?i:\bminus\s+))\s*$")


# Longer runs of digits are codes, not figures; and they would outgrow the
# 28 digits Decimal's arithmetic keeps.
_LONGEST = 20


class _Number:
    """A number of a text: where it stands, its value, and how it is
    marked: approx "", "about", "more" or "less"; per "%", "‰" or ""."""
    __slots__ = ("start", "end", "value", "approx", "per")

    def __init__(self, start: int, end: int, value: Decimal, approx: str,
                 per: str = "") -> None:
        self.start, self.end, self.value = start, end, value
        self.approx, self.per = approx, per


def _cn_value(run: str) -> Decimal | None:
    """The value of a run of Chinese numerals; None when it holds none."""
    whole, _, frac = run.partition("点")
    if not any(c in _CN_DIGIT for c in whole) and whole.strip("十") != "":
        return None
    if all(c in _CN_DIGIT for c in whole) and (len(whole) >= 3
                                               or "〇" in whole):
        value = Decimal("".join(str(_CN_DIGIT[c]) for c in whole))
    else:
        total = section = digit = 0
        largest = 0
        for c in whole:
            if c in _CN_DIGIT:
                digit = _CN_DIGIT[c]
            elif c in _CN_SMALL:
                section += (digit or 1) * _CN_SMALL[c]
                digit = 0
            else:
                big = _CN_BIG[c]
                part = section + digit
                if big > largest:
                    total, largest = (total + part) * big, big
                else:
                    total += part * big
                section = digit = 0
        value = Decimal(total + section + digit)
    if frac:
        value += Decimal("0." + "".join(str(_CN_DIGIT[c]) for c in frac))
    return value


def _en_values(words: str) -> list[Decimal]:
    """The values of a run of English number words: one per number, a new
    one where a unit follows a unit ("five four")."""
    out: list[Decimal] = []
    total = current = 0
    last = last_word = ""
    seen = False
    for w in re.split(r"[\s-]+", words.lower()):
        if w in ("a", "and"):
            continue
        small = w in _EN_UNIT or w in _EN_TENS or w in _EN_ORD
        if small and last == "small" and not (
                last_word in _EN_TENS and (w in _EN_UNIT or w in _EN_ORD)
                and 0 < _EN_WORDS[w] < 10):
            out.append(Decimal(total + current))
            total = current = 0
        if small:
            current += _EN_WORDS[w]
        elif w == "dozen":
            current = (current or 1) * 12
        elif w in _EN_HUNDRED:
            current = (current or 1) * 100
        else:
            total += (current or 1) * _EN_BIG[w]
            current = 0
        last, last_word, seen = ("small" if small else "scale"), w, True
    if seen:
        out.append(Decimal(total + current))
    return out


def _marker(text: str, start: int) -> str:
    """"about", "more" or "less" for a number marked so at `start`."""
    before = text[max(0, start - 20):start].rstrip().lower()
    # Most numbers have no marker: a test of the endings rules them out
    # before the pattern runs.
    if not before.endswith(_MARKER_ENDS):
        return ""
    m = _MARKED.search(text, max(0, start - 20), start)
    return m.lastgroup or "" if m else ""


def _words(text: str, s: int, e: int) -> tuple[int, str] | None:
    """The end and words of a run of English number words from s:e (the
    first word), or None when the word starts none."""
    first = text[s:e].lower()
    if first == "a":
        nxt = _NEXT_WORD.match(text, e)
        if not nxt or nxt.group(1).lower() not in _EN_BIG.keys() | {
                "hundred", "dozen"}:
            return None
    elif first not in _EN_WORDS or first == "zero" and text[
            max(0, s - 6):s].lower().startswith("below"):
        return None
    elif first == "one" and (_NOT_ONE.match(text, e) or text[
            max(0, s - 3):s].lower() == "no "):
        return None
    while (nxt := _NEXT_WORD.match(text, e)) and (
            nxt.group(1).lower() in _EN_WORDS):
        e = nxt.end()
    return e, text[s:e]


def _scale_of(words: str) -> int:
    low = words.lower()
    if low in _EN_BIG:
        return _EN_BIG[low]
    if low in ("bn", "tn"):
        return 10**9 if low == "bn" else 10**12
    factor = 1
    for c in words:
        factor *= _CN_SMALL.get(c) or _CN_BIG[c]
    return factor


def _dated(text: str, s: int, e: int) -> bool:
    """Whether a month name at s:e stands by a day or year."""
    return bool(re.match(r"\.?\s*\d", text[e:e + 3])
                or re.search(r"\d\s*$", text[max(0, s - 3):s]))


def _value(kind: str, text: str, s: int, e: int) -> Decimal | None:
    """The value of a single-number token; None when it is no number."""
    got = text[s:e]
    if kind == "sec":
        whole, frac = re.split(r"\s*秒\s*", got)
        return Decimal(f"{whole}.{frac}")
    if kind == "pct":
        got = got[3:].strip()
        kind = "num" if got[0].isdigit() else "cn"
    if len(got) > _LONGEST:
        return None  # a code or an identifier, not a figure
    if kind == "num":
        if _NAMED.search(text, max(0, s - 2), s):
            return None  # part of a name: G20, CO2, COVID-19, Qwen2.5
        return Decimal(got.replace(",", "").replace(" ", ""))
    if got == "零" and text[e:e + 1] == "下":
        return None
    if len(got) == 2 and got[0] in _CN_DIGIT and got[1] in _CN_DIGIT and (
            "〇" not in got) or got[0] in "十百千万亿" and s and text[
                s - 1] in "几数上":
        return None  # no figure: 一两天, 三四年, 几十年, 数百人
    return _cn_value(got)


def _parse(text: str, answer: bool) -> list[_Number]:
    """Every number of `text` (folded and masked), in order."""
    out: list[_Number] = []
    pos = 0
    while lead := _LEAD.search(text, pos):
        s = lead.start()
        if not "A" <= lead.group()[0] <= "z":
            m = _TOKEN.match(text, s)
            if not m:
                pos = s + 1
                continue
            kind, e = m.lastgroup or "", m.end()
        else:
            word, e = lead.group(), lead.end()
            run = _words(text, s, e)
            if run:
                kind, (e, _) = "en", run
            elif word in _MONTHS:
                kind = "month"
            elif word.lower() in _IMPLIED:
                kind = "implied"
            else:
                pos = e
                continue
        pos = e
        if kind in ("iso", "time"):
            parts = [_Number(s + p.start(), s + p.end(), Decimal(p.group()),
                             "")
                     for p in re.finditer(r"\d+(?:\.\d+)?", text[s:e])]
            if not answer and kind == "time" and 12 < parts[0].value < 24:
                # 23:40 is 11:40 p.m.
                hour = parts[0]
                parts.append(_Number(hour.start, hour.end, hour.value - 12,
                                     ""))
            out.extend(parts)
            continue
        if kind == "month":
            name = text[s:e]
            if not answer or (name != "May" and len(name) > 4) or _dated(
                    text, s, e):
                out.append(_Number(s, e, Decimal(_MONTHS[name]), ""))
            continue
        if kind == "implied":
            if not answer:
                out.append(_Number(s, e,
                                   Decimal(_IMPLIED[text[s:e].lower()]), ""))
            continue
        approx = _marker(text, s)
        if kind == "en":
            if text[s:e].lower() == "second" and re.search(
                    r"(?:\d|\b(?:a|per|one))\s*$", text[max(0, s - 6):s],
                    re.I):
                continue
            values = _en_values(text[s:e])
            if len(values) > 1:
                # Numbers side by side ("five four"): each gets the run.
                out.extend(_Number(s, e, v, approx) for v in values)
                continue
            value: Decimal | None = values[0]
        else:
            value = _value(kind, text, s, e)
        if value is None:
            continue
        scaled = None
        if kind == "num":
            scaled = _EN_SCALE.match(text, e) or _CN_SCALE.match(text, e)
        elif kind == "cn":
            scaled = _CN_SCALE.match(text, e)
        if scaled:
            if scaled.groupdict().get("more"):
                approx = approx or "more"
            value *= _scale_of(scaled.group("scale") or scaled.group(
                "short"))
            e = pos = scaled.end()
        if answer and _exponent(value) > 0 and _ASKED_LENGTH.match(text, e):
            # The length asked for (200字, 100 words), chosen round; not
            # a fact of the text. "197 characters" is one.
            continue
        sign = text[max(0, s - 8):s].rstrip().lower().endswith(
            ("-", "零下", "负", "minus")) and _SIGN.search(
                text, max(0, s - 8), s)
        if sign or _BELOW_ZERO.match(text, e):
            value = -value
        if sign and answer:
            s = sign.start()  # the sign as written: 零下52.3
        if not approx and _AFTER_MORE.match(text, e):
            approx = "more"
        elif not approx and _AFTER_ABOUT.match(text, e):
            approx = "about"
        pct = _PERCENT.match(text, e)
        per = "" if not pct else "‰" if pct.group("pm") else "%"
        if kind == "pct":
            per = "%" if text[s] == "百" else "‰"
        if answer and s and text[s - 1] == "第":
            s -= 1  # an ordinal as written: 第一
        out.append(_Number(s, e, value, approx, per))
        if not answer and 0 < value < 12 and (
                _PM_AFTER.match(text, e) or _PM_BEFORE.search(
                    text, max(0, s - 4), s) and text[e:e + 1] in "点时"):
            out.append(_Number(s, e, value + 12, ""))  # 11 p.m. is 23:00
    return out


def _prepare(text: str, answer: bool) -> str:
    if not _compiled:
        _compile()
    text = _FOLDED.sub(lambda m: _FOLD[m.group()], text)
    if answer:
        text = _LIST_MARKER.sub(lambda m: " " * len(m.group()), text)
    return _IDIOMS.sub(lambda m: " " * len(m.group()), text)


class _Source:
    """The values of a text; a text's 3‰ supports an answer's 0.3%, and
    its 0.3% an answer's 3‰."""
    __slots__ = ("exact", "values", "as_percent", "as_per_mille")

    def __init__(self, found: list[_Number]) -> None:
        self.exact = frozenset(n.value for n in found)
        self.values = tuple(sorted(self.exact))
        self.as_percent = frozenset(n.value / 10 for n in found
                                    if n.per == "‰")
        self.as_per_mille = frozenset(n.value * 10 for n in found
                                      if n.per == "%")


@lru_cache(maxsize=64)
def _source(source: str) -> _Source:
    return _Source(_parse(_prepare(source, False), False))


def _exponent(value: Decimal) -> int:
    """The place of the last significant digit: 2 for 6400, -2 for 3.31."""
    exponent = value.normalize().as_tuple().exponent
    return exponent if isinstance(exponent, int) else 0


def _supported(n: _Number, source: _Source) -> bool:
    if n.value in source.exact or (
            n.value in source.as_percent if n.per == "%"
            else n.per == "‰" and n.value in source.as_per_mille):
        return True
    if not n.approx:
        return False
    # One unit of the answer's last significant place.
    unit = Decimal(1).scaleb(_exponent(n.value))
    a = n.value
    lo, hi = {"about": (a - unit / 2, a + unit / 2), "more": (a, a + unit),
              "less": (a - unit, a)}[n.approx]
    # The text's values in [lo, hi], less the end the marker leaves out:
    # "more than 70" is not 80, "nearly 70" not 60.
    values = source.values
    i = bisect_left(values, lo)
    if n.approx == "less" and i < len(values) and values[i] == lo:
        i += 1
    return i < len(values) and (values[i] < hi if n.approx == "more"
                                else values[i] <= hi)


def unsupported_numbers(answer: str, source: str) -> list[str]:
    """The numbers `answer` states that `source` does not support, each as
    written in `answer` (with its scale word: "14.2万"), in the answer's
    order; an empty list when every number is supported.

    Values are compared, not spellings: "14.2 million" is supported by
    "1420万" and "14,200,000", "2023年7月26日" by "26 July 2023". A number
    marked as approximate ("约3.31亿", "about 6,400", "七十多") is supported
    by a value that rounds to it at its precision (331,449,281; 6,356;
    72); an unmarked one only by an equal value.
    """
    known = _source(source)
    folded = _prepare(answer, True)
    return [answer[n.start:n.end] for n in _parse(folded, True)
            if not _supported(n, known)]

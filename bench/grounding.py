"""How well `factbrief.grounding.unsupported_numbers` tells wrong numbers
from right ones: runs it over the labelled pairs of
bench/grounding/pairs.json and writes bench/results/grounding.json.

    python bench/grounding.py [--pairs FILE] [-o FILE]

Each pair is a text, an answer, every number the answer states (by hand,
as written in it) and those of them the text does not support. Counted:
wrong numbers flagged / wrong numbers; supported numbers flagged /
supported numbers (every number of the answer not labelled wrong or
misused); misused numbers (a value the text holds, said of something
else), which a value check cannot see, flagged or not; and the time per
pair, the text's parse included (its cache is cleared before each pair),
and per answer against a text already read. Exit status 1 when a wrong
number goes unflagged or a supported one is flagged.
"""

import argparse
import json
import os
import platform
import sys
import time
from collections import Counter
from pathlib import Path

from factbrief import grounding

BENCH_DIR = Path(__file__).resolve().parent
PAIRS = BENCH_DIR / "grounding" / "pairs.json"
CHECKED = BENCH_DIR / "grounding" / "real-summaries-checked.json"
OUTPUT = BENCH_DIR / "results" / "grounding.json"
ROUNDS = 50


def score(pair, flagged):
    """The counts of one pair: flags matched to its labels, as multisets
    of the answer's spellings."""
    wrong, misused = Counter(pair["wrong"]), Counter(pair["misused"])
    supported = Counter(pair["numbers"]) - wrong - misused
    got = Counter(flagged)
    caught, left = got & wrong, got - wrong
    misused_flagged = left & misused
    return {"id": pair["id"], "flagged": flagged,
            "wrong": sum(wrong.values()),
            "wrong_flagged": sum(caught.values()),
            "supported": sum(supported.values()),
            "supported_flagged": sum((left - misused_flagged).values()),
            "misused": sum(misused.values()),
            "misused_flagged": sum(misused_flagged.values()),
            "missed": sorted((wrong - got).elements()),
            "false": sorted((left - misused_flagged).elements())}


def timed(answer, text, cold):
    """Seconds per call, the median of ROUNDS rounds."""
    times = []
    for _ in range(ROUNDS):
        if cold:
            grounding._source.cache_clear()
        started = time.perf_counter()
        grounding.unsupported_numbers(answer, text)
        times.append(time.perf_counter() - started)
    return sorted(times)[len(times) // 2]


def evaluate(doc):
    load_before = os.getloadavg()
    rows, cold, warm = [], [], []
    for pair in doc["pairs"]:
        text = doc["texts"][pair["text"]]["text"]
        rows.append(score(pair, grounding.unsupported_numbers(
            pair["answer"], text)))
        cold.append(timed(pair["answer"], text, True))
        warm.append(timed(pair["answer"], text, False))
    totals = {k: sum(r[k] for r in rows) for k in (
        "wrong", "wrong_flagged", "supported", "supported_flagged",
        "misused", "misused_flagged")}
    langs = Counter((doc["texts"][p["text"]]["lang"], p["lang"])
                    for p in doc["pairs"])
    return {
        "date": time.strftime("%Y-%m-%d %H:%M"),
        "python": platform.python_version(),
        "load_before": load_before, "load_after": os.getloadavg(),
        "pairs": len(rows), "texts": len(doc["texts"]),
        "text_answer_langs": {f"{t}>{a}": n
                              for (t, a), n in sorted(langs.items())},
        "rules": sorted({r for p in doc["pairs"] for r in p["rules"]}),
        "totals": totals,
        "seconds_per_pair_median": sorted(cold)[len(cold) // 2],
        "seconds_per_pair_max": max(cold),
        "seconds_per_answer_read_text_median": sorted(warm)[len(warm) // 2],
        "answer_chars_max": max(len(p["answer"]) for p in doc["pairs"]),
        "text_chars_max": max(len(t["text"]) for t in doc["texts"].values()),
        "results": rows}


# ---- the section of bench/RESULTS.md ----

def _us(seconds):
    return f"{seconds * 1e6:.0f} µs"


def section(figures, checked=None):
    """The checker's figures on the labelled set and, where they were
    checked by hand, on the real summaries; or nothing."""
    if not figures:
        return []
    t = figures["totals"]
    met = (t["wrong_flagged"] == t["wrong"]
           and t["supported_flagged"] == 0)
    out = [
        "## Numbers checked against the text", "",
        f"`bench/grounding.py`, {figures['date']}, Python "
        f"{figures['python']} (load average {figures['load_before'][0]:.1f}"
        f" before, {figures['load_after'][0]:.1f} after): "
        f"`factbrief.grounding.unsupported_numbers` over the "
        f"{figures['pairs']} labelled pairs of "
        f"`bench/grounding/pairs.json` ({figures['texts']} texts; text > "
        f"answer languages " + ", ".join(
            f"{k} {v}" for k, v in figures["text_answer_langs"].items())
        + "). Each answer's numbers were listed by hand, and those its "
        "text does not hold marked wrong.", "",
        "| what | figure |", "|---|---:|",
        f"| wrong numbers flagged / wrong numbers | "
        f"**{t['wrong_flagged']} / {t['wrong']}** |",
        f"| supported numbers flagged / supported numbers | "
        f"**{t['supported_flagged']} / {t['supported']}** |",
        f"| misused numbers (a value of the text, said of something else) "
        f"flagged | {t['misused_flagged']} / {t['misused']} |",
        f"| time per pair, the text read afresh (median, max) | "
        f"{_us(figures['seconds_per_pair_median'])}, "
        f"{_us(figures['seconds_per_pair_max'])} |",
        f"| time per answer against a text already read (median) | "
        f"{_us(figures['seconds_per_answer_read_text_median'])} |",
        "",
        f"Goal: every wrong number flagged and no supported one: "
        f"{'met' if met else 'not met'}. A misused number is beyond a "
        f"check of values (a swapped day and month, a right figure for "
        f"the wrong medal).",
    ]
    for r in figures["results"]:
        if r["missed"] or r["false"]:
            out.append(f"- `{r['id']}`: missed {r['missed']}, flagged "
                       f"though supported {r['false']}")
    if checked:
        flags = [f for s in checked["summaries"] for f in s["flags"]]
        true = sum(f["verdict"] == "true" for f in flags)
        out += ["", f"On the real summaries ({checked['about']}), checked "
                f"by hand on {checked['date']}: **{true} of {len(flags)} "
                f"flags true**. Flags alike in several runs share a row.",
                "", "| text | flagged | runs | verdict | why |",
                "|---|---|---|---|---|"]
        rows = {}
        for s in checked["summaries"]:
            for f in s["flags"]:
                key = (s["text"], f["number"], f["verdict"], f["why"])
                rows.setdefault(key, []).append(s["run"])
        for (text, number, verdict, why), runs in rows.items():
            out.append(f"| {text} | `{number}` | {', '.join(runs)} | "
                       f"{verdict} | {why} |")
        misses = checked.get("not_flagged", [])
        if misses:
            out += ["", "Wrong numbers of those summaries that the check "
                    "does not flag, because their values occur in the "
                    "text:", ""]
            out += [f"- {m['text']} ({', '.join(m['runs'])}): "
                    f"`{m['number']}`: {m['why']}" for m in misses]
    return out + [""]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--pairs", type=Path, default=PAIRS)
    p.add_argument("-o", "--output", type=Path, default=OUTPUT)
    args = p.parse_args(argv)
    figures = evaluate(json.loads(args.pairs.read_text(encoding="utf-8")))
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(figures, ensure_ascii=False, indent=1)
                           + "\n", encoding="utf-8")
    t = figures["totals"]
    print(f"wrong flagged {t['wrong_flagged']}/{t['wrong']}, supported "
          f"flagged {t['supported_flagged']}/{t['supported']}, misused "
          f"flagged {t['misused_flagged']}/{t['misused']}, "
          f"{_us(figures['seconds_per_pair_median'])} per pair")
    for r in figures["results"]:
        if r["missed"] or r["false"]:
            print(f"  {r['id']}: missed {r['missed']}, false {r['false']}")
    print(f"wrote {args.output}")
    return 0 if (t["wrong_flagged"] == t["wrong"]
                 and not t["supported_flagged"]) else 1


if __name__ == "__main__":
    sys.exit(main())

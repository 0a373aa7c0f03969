"""What the cleaning costs: re.sub with the module's pattern against the
first pattern, which removed every mark (`[^\\w\\s]`), and the pattern
before this one, which tried its look-aheads at every position. Each
round times the three in turn on the same text, as the module calls them
(re.compile, then re.sub); the figures are medians over the rounds.

    .venv/bin/python bench/cleaning.py [--rounds 15]

Writes this Python's entry of bench/results/cleaning.json, then
bench/RESULTS.md again (bench/report.py adds the section rendered here).
"""

import argparse
import json
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

from baseline import PATTERN

HERE = Path(__file__).resolve().parent
OUT = HERE / "results" / "cleaning.json"
CHARS = 1_000_000
GOAL = 1.5   # the module's pattern against the first, at most

FIRST = r"[^\w\s]"
# Kept a number's . , : / - and %, but started every position with a
# negative look-ahead.
PREVIOUS = (r"(?!(?<=\d)[.,:/-]\d|(?<=\d)[%％]"
            r"|(?<![^\W\u3040-\u30ff\u31f0-\u31ff\u3400-\u9fff"
            r"\uf900-\ufaff\U0001aff0-\U0001b16f\U00020000-\U0003ffff])"
            r"[-−]\d)[^\w\s]")
PATTERNS = {"first": FIRST, "previous": PREVIOUS, "now": PATTERN}

WORDS = ("the of and to in a is that for it as was with be by on not he "
         "this are or his from at which but have an they you were her she "
         "there had been one all we their has would when if so what no out "
         "up can more will into other river water people year city first "
         "said report rose fell over about after between during").split()


def english(rng, chars):
    """Sentences of common words: a comma now and then, a full stop at the
    end, and a number (3.5, 12%, 2024-01-03) in one sentence of four."""
    sentences, size = [], 0
    while size < chars:
        words = [rng.choice(WORDS) for _ in range(rng.randint(8, 20))]
        for _ in range(rng.randint(0, 2)):
            words[rng.randrange(1, len(words))] += ","
        if rng.random() < 0.25:
            words.insert(rng.randrange(len(words)), rng.choice(
                ["3.5", "12%", "6,300", "2024-01-03", "1.5±0.2", "-5"]))
        sentence = " ".join(words).capitalize() + "."
        sentences.append(sentence)
        size += len(sentence) + 1
    return " ".join(sentences)[:chars]


def mixed(rng, chars):
    """Chinese sentences of bench/texts/ and English ones, one after the
    other in random turns, as a bilingual corpus mixes them."""
    chinese = [s + "。" for path in sorted((HERE / "texts").glob("*.txt"))
               for s in path.read_text(encoding="utf-8").split("。")
               if s.strip()]
    parts, size = [], 0
    while size < chars:
        part = (rng.choice(chinese) if rng.random() < 0.5
                else english(rng, rng.randint(60, 200)) + " ")
        parts.append(part)
        size += len(part)
    return "".join(parts)[:chars]


def measure(text, rounds):
    """{pattern: [seconds per round]}, the three timed in turn."""
    times = {name: [] for name in PATTERNS}
    for _ in range(rounds):
        for name, pattern in PATTERNS.items():
            start = time.perf_counter()
            re.sub(re.compile(pattern), "", text)
            times[name].append(time.perf_counter() - start)
    return times


def uptime():
    try:
        return subprocess.run(["uptime"], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "load average: %.2f, %.2f, %.2f" % os.getloadavg()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    rng = random.Random(26)
    texts = {"English words": english(rng, CHARS),
             "Chinese and English": mixed(rng, CHARS)}
    load_before = uptime()
    results = {}
    for label, text in texts.items():
        removed = {name: len(text) - len(re.sub(p, "", text))
                   for name, p in PATTERNS.items()}
        times = measure(text, args.rounds)
        results[label] = {"chars": len(text), "removed": removed,
                          "seconds": times}
        print(label, " ".join(
            f"{name} {1000 * statistics.median(t):.1f} ms"
            for name, t in times.items()), file=sys.stderr)
    version = "%d.%d" % sys.version_info[:2]
    report = json.loads(OUT.read_text()) if OUT.exists() else {}
    report[version] = {
        "date": time.strftime("%Y-%m-%d"), "rounds": args.rounds,
        "python": platform.python_version(), "platform": platform.platform(),
        "cpus": os.cpu_count(), "load_before": load_before,
        "load_after": uptime(), "patterns": PATTERNS, "results": results}
    OUT.parent.mkdir(exist_ok=True)
    OUT.write_text(json.dumps(dict(sorted(report.items())), indent=1,
                              ensure_ascii=False) + "\n")
    print("\n".join(section(report)))
    subprocess.run([sys.executable, str(HERE / "report.py")], check=True)


def _ratios(seconds, name):
    """(lower quartile, median, upper quartile) of name / first, per
    round: the rounds share the machine's load."""
    per_round = [a / b for a, b in zip(seconds[name], seconds["first"])]
    q1, median, q3 = statistics.quantiles(per_round, n=4)
    return q1, statistics.median(per_round), q3


def section(report):
    """The Markdown section of bench/RESULTS.md for these figures."""
    rows = ["| text | Python | `[^\\w\\s]` (first) | previous | now | "
            "previous / first | now / first (quartiles) | marks removed, "
            "first / now |", "|---|---|---:|---:|---:|---:|---:|---:|"]
    verdicts, runs = [], []
    for version, run in report.items():
        runs.append(f"Python {run['python']} on {run['date']}, "
                    f"{run['rounds']} rounds, {run['cpus']} CPUs shared "
                    f"with other work (`uptime` before: "
                    f"{run['load_before'].split('load average: ')[-1]}; "
                    f"after: {run['load_after'].split('load average: ')[-1]})")
        for label, r in run["results"].items():
            s = r["seconds"]
            ms = {name: 1000 * statistics.median(s[name]) for name in s}
            prev, now = _ratios(s, "previous"), _ratios(s, "now")
            rows.append(
                f"| {label}, {r['chars']:,} characters | {version} | "
                f"{ms['first']:.1f} ms | {ms['previous']:.1f} ms | "
                f"{ms['now']:.1f} ms | {prev[1]:.2f} | **{now[1]:.2f}** "
                f"({now[0]:.2f}–{now[2]:.2f}) | {r['removed']['first']:,} / "
                f"{r['removed']['now']:,} |")
            verdicts.append(
                f"- {'Met' if now[1] <= GOAL else 'Missed'}: {label}, "
                f"Python {version}: now / first {now[1]:.2f} (goal: at "
                f"most {GOAL:g}).")
    return [
        "## The cleaning: what the pattern costs", "",
        "`re.sub(re.compile(pattern), '', text)` on 1,000,000 characters, "
        "as the module calls it: the first pattern `[^\\w\\s]`, which "
        "removed every mark; the previous one, which kept a number's marks "
        "but started every position with a look-ahead; and the pattern of "
        "now, which starts with the character class. Each round times the "
        "three in turn; times are medians over the rounds, ratios the "
        "medians of the per-round ratios. Measured: " + "; ".join(runs) +
        ".", "",
        "Reproduce with `.venv/bin/python bench/cleaning.py` (after "
        "`scripts/setup.sh`).", ""] + rows + [""] + verdicts + [""]


if __name__ == "__main__":
    main()

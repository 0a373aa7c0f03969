"""Texts per second through the Python API for many texts
(`factbrief.extract_many`) against `AISummary.extract` called in a loop,
as a library caller would, in one process against a local stand-in that
answers at once. The two ways take turns, so that a change of the
machine's load falls on both.

    .venv/bin/python bench/engine_throughput.py [--texts 200] [--rounds 5]

Writes bench/results/engine_throughput.json, then bench/RESULTS.md again
(bench/report.py adds the section this file renders).
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import factbrief
from factbrief.factbrief import AISummary
from factbrief.standin import StandIn

HERE = Path(__file__).resolve().parent
TEXT = "Report {n}: revenue rose 4% in the quarter, to 6,300 units sold."
GOAL = 4.0
LOOP = "AISummary.extract in a loop"
MANY = "factbrief.extract_many (jobs=4)"


def in_a_loop(url, texts):
    ai = AISummary(url, "bench-key", "bench-model")
    return [ai.extract(text) for text in texts]


def through_the_api(url, texts):
    return list(factbrief.extract_many(texts, url, "bench-key",
                                       "bench-model"))


def timed(way, url, texts):
    start = time.perf_counter()
    records = way(url, texts)
    elapsed = time.perf_counter() - start
    ok = sum(r["status"] == "ok" for r in records)
    if ok != len(texts):
        raise SystemExit(f"{way.__name__}: {ok}/{len(texts)} ok")
    return elapsed


def load():
    return [round(x, 2) for x in os.getloadavg()]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--texts", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    texts = [TEXT.format(n=n) for n in range(args.texts)]
    ways = {LOOP: in_a_loop, MANY: through_the_api}
    seconds = {label: [] for label in ways}
    load_before = load()
    with StandIn() as service:
        timed(through_the_api, service.base_url, texts[:8])  # warm up
        for _ in range(args.rounds):
            for label, way in ways.items():
                seconds[label].append(timed(way, service.base_url, texts))
    report = {
        "date": time.strftime("%Y-%m-%d"), "texts": args.texts,
        "rounds": args.rounds, "cpus": os.cpu_count(),
        "load_before": load_before, "load_after": load(),
        "python": platform.python_version(), "platform": platform.platform(),
        "seconds": seconds,
    }
    out = HERE / "results" / "engine_throughput.json"
    out.parent.mkdir(exist_ok=True)
    out.write_text(json.dumps(report, indent=1) + "\n")
    print("\n".join(section(report)))
    subprocess.run([sys.executable, str(HERE / "report.py")], check=True)


def section(report):
    """The Markdown section of bench/RESULTS.md for these figures."""
    n = report["texts"]
    rate = {label: [n / s for s in runs]
            for label, runs in report["seconds"].items()}
    pairs = [many / loop for many, loop in zip(rate[MANY], rate[LOOP])]
    rows = ["| way | texts/s (median) | range |", "|---|---:|---:|"]
    for label, rates in rate.items():
        rows.append(f"| {label} | {statistics.median(rates):.0f} | "
                    f"{min(rates):.0f} to {max(rates):.0f} |")
    ratio = statistics.median(pairs)
    met = "Met" if ratio >= GOAL else "Missed"
    return [
        "## The Python API for many texts: texts per second", "",
        f"Measured on {report['date']}: {report['cpus']} CPUs, "
        f"{report['platform']}, Python {report['python']}, load average "
        f"{report['load_before'][0]} before and {report['load_after'][0]} "
        f"after. {n} short texts (about 65 characters) against the local "
        f"stand-in service, which answers at once, in one process; the two "
        f"ways take turns, {report['rounds']} rounds.", "",
        "Reproduce with `.venv/bin/python bench/engine_throughput.py`.", "",
    ] + rows + [
        "",
        f"{met}: `{MANY}` / `{LOOP}` in texts per second, {ratio:.1f} "
        f"(median of the rounds' ratios, {min(pairs):.1f} to "
        f"{max(pairs):.1f}; goal: at least {GOAL:g}). Each call in the "
        f"loop builds its own client, which loads the certificate bundle "
        f"(about 45 ms of CPU); the API shares one connection pool.", ""]


if __name__ == "__main__":
    main()

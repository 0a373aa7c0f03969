"""Writes bench/RESULTS.md from what run.py, memory.py, callgrind_share.py
and the other benchmarks left in bench/results/. Every figure in it comes
from those files; a part whose file is missing is left out.

    python bench/report.py [--results DIR] [--output FILE]
"""

import argparse
import importlib
import json
import statistics
import sys
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent

ROWS = [
    ("init", "constructor `AISummary(url, key, model)`"),
    ("extract_short", "`extract(text)`, 100 characters"),
    ("extract_10k", "`extract(text)`, 10,000 characters"),
    ("extract_1m", "`extract(text)`, 1,000,000 characters"),
    ("refined_title_short", "`refined_title(text, prompt)`, 100 characters"),
    ("refined_title_10k", "`refined_title(text, prompt)`, 10,000 characters"),
    ("refined_title_1m",
     "`refined_title(text, prompt)`, 1,000,000 characters"),
    ("keywords", "`AISummary.extract(self=, content=, prompt=, length=)`"),
    ("binding_error", "`extract()`: missing argument, `TypeError`"),
    ("caught_failure", "`extract(None)`: failure caught, traceback printed"),
    ("end_to_end", "`extract(text)`, real `openai` client, local HTTP"),
]
NETWORK_ROWS = {"end_to_end"}
FLOOR_OF = {"keywords": "extract_short"}
SHARE_GOAL = 0.10
BLOCKS_SLACK = 100    # caches that settle; a lost object per call is 10**6
RSS_GOAL_KIB = 1024
# Instruction counts this close are even: one call of a 1 MB text moves
# the allocator's counts by a few thousand either way.
EVEN_COUNTS = 1.0001


def fmt_time(seconds):
    if seconds is None:
        return "—"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_ratio(a, b):
    return "—" if a is None or not b else f"{a / b:.2f}"


def load_timings(path):
    if not path.exists():
        return None, {}
    import pyperf
    suite = pyperf.BenchmarkSuite.load(str(path))
    medians = {b.get_name(): b.median() for b in suite.get_benchmarks()}
    first = suite.get_benchmarks()[0]
    meta = dict(first.get_metadata())
    start = min(b.get_dates()[0] for b in suite.get_benchmarks())
    meta["date"] = start.strftime("%Y-%m-%d")
    runs = {b.get_name(): (b.get_nrun(), b.get_nvalue())
            for b in suite.get_benchmarks()}
    meta["values"] = runs
    return meta, medians


def load_json(path):
    if not path.exists():
        return None
    with open(path) as f:
        return json.load(f)


def timing_table(medians, paired):
    lines = ["| path | ours | plain Python | ours / plain | paired ours / "
             "plain (quartiles) | floor | ours / floor |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for row, label in ROWS:
        ours = medians.get(f"{row}/ours")
        plain = medians.get(f"{row}/plain")
        if ours is None and plain is None:
            continue
        floor = medians.get(f"{FLOOR_OF.get(row, row)}/floor")
        pair = paired.get(row, {}).get("ours_over_plain")
        pair_text = (f"**{pair[1]:.3f}** ({pair[0]:.3f}–{pair[2]:.3f})"
                     if pair else "—")
        lines.append(f"| {label} | {fmt_time(ours)} | {fmt_time(plain)} | "
                     f"{fmt_ratio(ours, plain)} | {pair_text} | "
                     f"{fmt_time(floor)} | {fmt_ratio(ours, floor)} |")
    return lines


def callgrind_table(data):
    by_name = {r["name"]: r for r in data["results"]}
    lines = ["| path | ours, Ir/call | plain, Ir/call | ours / plain "
             "| floor, Ir/call | share in our object |",
             "|---|---:|---:|---:|---:|---:|"]
    for row, label in ROWS:
        ours = by_name.get(f"{row}/ours")
        plain = by_name.get(f"{row}/plain")
        if ours is None:
            continue
        floor = by_name.get(f"{FLOOR_OF.get(row, row)}/floor")
        o = ours["instructions_per_call"]
        p = plain["instructions_per_call"] if plain else None
        f = floor["instructions_per_call"] if floor else None
        lines.append(
            f"| {label} | {o:,} | {'—' if p is None else f'{p:,}'} | "
            f"{fmt_ratio(o, p)} | {'—' if f is None else f'{f:,}'} | "
            f"**{100 * ours['ours_share']:.2f}%** |")
    return lines


def memory_table(results):
    lines = ["| class | path | calls | allocated blocks | resident memory |",
             "|---|---|---:|---:|---:|"]
    for r in results:
        lines.append(f"| {r['impl']} | {r['path']} | {r['calls']:,} | "
                     f"{r['blocks_growth']:+,} | "
                     f"{r['rss_growth_kib']:+,} KiB |")
    return lines


def time_ratios(medians, paired):
    """{row: ours / plain} for the rows that do not wait for the network:
    the paired median where there is one, else the ratio of medians."""
    out = {}
    for row, _ in ROWS:
        if row in NETWORK_ROWS:
            continue
        if row in paired:
            out[row] = paired[row]["ours_over_plain"][1]
        elif f"{row}/ours" in medians and f"{row}/plain" in medians:
            out[row] = medians[f"{row}/ours"] / medians[f"{row}/plain"]
    return out


def judge_times(ratios, paired, callgrind):
    """(missed, unclear) rows: missed when ours / plain is 1 or more and
    neither the quartiles nor the instruction counts say otherwise;
    unclear when the median is 1 or more, the lower quartile below 1 and
    the instruction counts are even or lower."""
    counts = {r["name"]: r["instructions_per_call"]
              for r in (callgrind or {}).get("results", [])}
    missed, unclear = [], []
    for row, ratio in ratios.items():
        if ratio < 1:
            continue
        q1 = paired.get(row, {}).get("ours_over_plain", (ratio,))[0]
        ours, plain = counts.get(f"{row}/ours"), counts.get(f"{row}/plain")
        if q1 < 1 and ours and plain and ours < plain * EVEN_COUNTS:
            unclear.append((row, ratio, ours / plain))
        else:
            missed.append((row, ratio))
    return missed, unclear


def goals(ratios, paired, callgrind, memory):
    labels = dict(ROWS)
    missed, unclear = judge_times(ratios, paired, callgrind)
    out = [f"- Missed: {labels[row]}, ours / plain {ratio:.3f}."
           for row, ratio in missed]
    out += [f"- Not shown: {labels[row]}, ours / plain {ratio:.3f} in "
            f"time with quartiles on both sides of 1; in instructions "
            f"{counts:.5f}. The callees' work hides any difference."
            for row, ratio, counts in unclear]
    for r in (callgrind or {}).get("results", []):
        if r["name"] == "extract_short/ours":
            verdict = "Met" if r["ours_share"] <= SHARE_GOAL else "Missed"
            out.append(f"- {verdict}: {100 * r['ours_share']:.2f}% of the "
                       f"instructions of a short `extract` in our object "
                       f"(goal: at most {100 * SHARE_GOAL:.0f}%).")
    for r in memory or []:
        if r["impl"] != "ours":
            continue
        ok = (r["blocks_growth"] <= BLOCKS_SLACK
              and r["rss_growth_kib"] < RSS_GOAL_KIB)
        out.append(f"- {'Met' if ok else 'Missed'}: {r['path']}, "
                   f"{r['blocks_growth']:+,} blocks and "
                   f"{r['rss_growth_kib']:+,} KiB over {r['calls']:,} calls "
                   f"(goal: no growth of blocks beyond {BLOCKS_SLACK} that "
                   f"caches may take, resident memory under 1 MiB).")
    if not missed and not unclear:
        out.insert(0, "- Met: ours / plain below 1 on every path that does "
                      "not wait for the network.")
    profile = []
    by_name = {r["name"]: r for r in (callgrind or {}).get("results", [])}
    for row, _ in missed:
        r = by_name.get(f"{row}/ours")
        if not r or not r.get("more_than_plain"):
            continue
        profile += ["", f"{labels[row]}: instructions per call above plain "
                    f"Python, by function (callgrind, self cost):", ""]
        profile += [f"- {count:+,.0f} {name}"
                    for count, name in r["more_than_plain"][:10]]
    if profile:
        out += ["", "### Where the missed rows spend more"] + profile
    return out


def headline(medians, ratios, paired, callgrind, memory):
    parts = []
    if ratios:
        labels = dict(ROWS)
        slower = [row for row, r in ratios.items() if r >= 1]
        lo, hi = min(ratios.values()), max(ratios.values())
        text = (f"Against the same class written in plain Python, factbrief "
                f"takes {lo:.2f} to {hi:.2f} times its time on the "
                f"{len(ratios)} measured paths that do not wait for the "
                f"network (median; below 1 is faster), and is faster on "
                f"{len(ratios) - len(slower)} of them")
        if slower:
            text += "; not on " + ", ".join(
                f"{labels[row]} ({ratios[row]:.2f})" for row in slower)
        parts.append(text + ".")
    by_name = {r["name"]: r for r in (callgrind or {}).get("results", [])}
    short = by_name.get("extract_short/ours")
    if short:
        shares = [r["ours_share"] for r in by_name.values()
                  if r["name"].endswith("/ours")]
        parts.append(
            f"Counted by callgrind, our own shared object executes "
            f"{100 * short['ours_share']:.1f}% of the instructions of a "
            f"short-text `extract` (at most {100 * max(shares):.1f}% on any "
            f"path); the rest is `re`, the client and the interpreter.")
    if "end_to_end/plain" in medians:
        text = (f"A real request through the `openai` client to a local "
                f"HTTP service takes about "
                f"{fmt_time(medians['end_to_end/plain'])}")
        pair = paired.get("end_to_end", {}).get("ours_over_plain")
        if pair:
            text += (f"; timed in turns, factbrief / plain Python is "
                     f"{pair[1]:.2f} (quartiles {pair[0]:.2f}–{pair[2]:.2f})")
        e2e = by_name.get("end_to_end/ours")
        if e2e:
            text += (f", and our object executes "
                     f"{100 * e2e['ours_share']:.4f}% of its instructions")
        parts.append(text + ".")
    ours_mem = [r for r in memory or [] if r["impl"] == "ours"]
    if ours_mem:
        blocks = max(r["blocks_growth"] for r in ours_mem)
        rss = max(r["rss_growth_kib"] for r in ours_mem)
        calls = min(r["calls"] for r in ours_mem)
        parts.append(
            f"Over {calls:,} calls on the success and the caught-failure "
            f"paths, allocated blocks grow by at most {blocks:+,} and "
            f"resident memory by at most {rss:+,} KiB.")
    return " ".join(parts)


def _loads(uptime):
    """The three load averages of an `uptime` line, as written."""
    return uptime.rsplit("load average:", 1)[1].strip()


def local_model_section(figures):
    """The local model's figures (bench/local_model.py), or nothing."""
    if not figures or "runs" not in figures or "pairs" not in figures:
        return []
    margin = figures["batch_margin"]
    runs = figures["runs"]
    texts = figures["texts"]

    def config(r):
        return ("default, `--jobs 1`" if r["default"]
                else f"`--jobs {r['jobs']}`")

    rows = [f"| {n} | {config(r)} | {r['slots']} | "
            f"{_loads(r['uptime_before'])} | {r['wall_s']:.1f} | "
            f"{r['per_text_s']:.1f} | {r['tokens']} | "
            f"{max(map(len, r['summaries'])):,} | "
            f"{len(r['differ_from_default'])} of {texts} |"
            for n, r in enumerate(runs, 1)]
    speedups = [1 / p for p in figures["pairs"]]
    typical = statistics.median(speedups)
    verdict = (f"median {typical:.2f}×, "
               + ("at least" if typical >= margin else "below")
               + f" the {margin:g}× that batching by default would need")
    defaults = [r for r in runs if r["default"]][1:]
    batched = [r for r in runs if not r["default"]]
    same = ", ".join(f"{texts - len(r['differ_from_default'])} of {texts}"
                     for r in defaults)
    differ = ", ".join(str(len(r["differ_from_default"])) for r in batched)
    setup = "—"
    if figures.get("setup_s") is not None:
        x = figures["setup_s"]
        setup = f"{x / 60:.1f} min" if x >= 120 else f"{x:.1f} s"
        if figures.get("setup_date"):
            setup += f", measured {figures['setup_date']}"
        if figures.get("setup_note"):
            setup += f" ({figures['setup_note']})"
    return ["## The local model", "",
            f"`bench/local_model.py`, {figures['date']}: "
            f"Qwen2.5-Coder-1.5B-Instruct (GGUF) under llama.cpp's "
            f"`llama-server`, on {figures['cpus']} CPUs shared with other "
            f"developers' builds and tests (the load average before each "
            f"run, over 1, 5 and 15 minutes, is in the table). Each run is "
            f"`factbrief extract --local` over the {texts} evaluation texts "
            f"(`bench/quality/texts.json`), starting its own server: at the "
            f"default ({figures['default_slots']} slot, `--jobs 1`) and "
            f"with `--jobs {figures['batched_jobs']}` (which starts it with "
            f"{figures['batched_jobs']} slots), alternating. The time per "
            f"text is the wall time after the server is ready over the "
            f"{texts} texts; tokens are llama.cpp's own counts from the "
            f"server log; a differing answer is one other than run 1's for "
            f"that text.", "",
            "| run | configuration | slots | load before | wall, s | "
            "per text, s | tokens | longest answer, characters | "
            "answers differing from run 1 |",
            "|---:|---|---:|---|---:|---:|---:|---:|---:|", *rows, "",
            "- Batched against the default next to it, wall time: "
            + ", ".join(f"{p:.2f}" for p in figures["pairs"])
            + " of the time (" + ", ".join(f"{x:.2f}×" for x in speedups)
            + f" as fast); {verdict}.",
            (f"- The default again: the same answer for {same} texts."
             if defaults else "- The default was run once.")
            + f" Batched: {differ} of {texts} answers differed from the "
            f"one-at-a-time answer.",
            f"- Set-up from an empty cache folder and pip cache: {setup}.",
            ""]


def version_table(results_root):
    """Paired ours / plain medians of every Python version with results
    under results_root/<version>/."""
    versions = {}
    for path in sorted(results_root.glob("*/paired.json")):
        meta, _ = load_timings(path.parent / "timings.json")
        label = (meta or {}).get("python_version", path.parent.name)
        versions[label.split()[0]] = {r["row"]: r["ours_over_plain"][1]
                                      for r in load_json(path) or []}
    if len(versions) < 2:
        return []
    names = list(versions)
    lines = ["| path | " + " | ".join(f"Python {v}" for v in names) + " |",
             "|---|" + "---:|" * len(names)]
    for row, label in ROWS:
        cells = [versions[v].get(row) for v in names]
        if any(c is not None for c in cells):
            lines.append(f"| {label} | " + " | ".join(
                "—" if c is None else f"{c:.3f}" for c in cells) + " |")
    return lines


def render(results_dir):
    meta, medians = load_timings(results_dir / "timings.json")
    callgrind = load_json(results_dir / "callgrind.json")
    memory = load_json(results_dir / "memory.json")
    paired = {r["row"]: r for r in load_json(results_dir / "paired.json")
              or []}
    ratios = time_ratios(medians, paired)
    out = ["# Benchmark results", ""]
    out += [headline(medians, ratios, paired, callgrind, memory), ""]
    if meta:
        out += [
            f"Measured on {meta['date']}: {meta.get('nproc', '?')} CPUs "
            f"available (`nproc`) of {meta.get('cpu_count', '?')}, "
            f"{meta.get('cpu_model_name', '?')}, {meta.get('platform', '?')};"
            f" Python {meta.get('python_version', '?')}, "
            f"pyperf {meta.get('perf_version', '?')}. The machine was "
            f"shared with other work, so times are medians of "
            f"several processes; the instruction counts below do not "
            f"depend on load.", ""]
    out += [
        "Reproduce with `scripts/bench.sh`. *ours* is `factbrief.factbrief`"
        "; *plain Python* is `bench/baseline.py`, the same class in Python "
        "making the same calls; the *floor* is the same calls on `re`, the "
        "client and the dicts and strings, made in a loop with no class, "
        "no argument binding and no exception guard. All but the last row "
        "use an in-process stand-in for the client class, set as the "
        "module global `OpenAI`.", ""]
    if medians:
        out += ["## Time per call", "",
                "Medians from pyperf: each case in 3 fresh processes, 5 "
                "values each after a warm-up. The *paired* column times "
                "ours, plain Python and the floor in turns within one "
                "process, round after round, and gives the median and "
                "quartiles of the per-round ratios: on a shared machine it "
                "is the steadier comparison, and the goals are judged on "
                "it.", ""] + timing_table(medians, paired) + [""]
    if callgrind:
        out += ["## Instructions per call (callgrind)", "",
                f"{callgrind['valgrind']}; share = instructions executed in "
                f"`{callgrind['object']}` / all instructions of the call.",
                ""] + callgrind_table(callgrind) + [""]
    if memory:
        out += ["## Memory growth", "",
                "Growth from after a warm-up to after the calls, each run "
                "in a fresh process, `gc.collect()` before each reading.",
                ""] + memory_table(memory) + [""]
    by_version = version_table(results_dir.parent)
    if by_version:
        out += ["## Across Python versions", "",
                "Paired ours / plain Python medians of each version's last "
                "`scripts/bench.sh` run (`FACTBRIEF_PY=3.1x`); each version "
                "compares against the plain class on the same "
                "interpreter.", ""] + by_version + [""]
    # The local model and the command line do not depend on the Python
    # version: their figures sit beside the versions' folders.
    shared = results_dir.parent
    out += local_model_section(load_json(shared / "local-model.json"))
    out += ["## Goals", ""] + goals(ratios, paired, callgrind, memory)
    for name in ("cli_throughput", "engine_throughput", "cluster_throughput",
                 "cleaning"):
        figures = load_json(shared / f"{name}.json")
        if figures:
            out += [""] + importlib.import_module(name).section(figures)
    for name in ("quality", "longtext"):
        facts_kept = importlib.import_module(name).section(shared)
        if facts_kept:
            out += [""] + facts_kept
    checked = load_json(BENCH_DIR / "grounding" /
                        "real-summaries-checked.json")
    numbers = importlib.import_module("grounding").section(
        load_json(shared / "grounding.json"), checked)
    if numbers:
        out += [""] + numbers
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    # By default the figures of the Python that runs this: the command-line
    # benchmarks re-render the report without saying whose they are.
    mine = BENCH_DIR / "results" / ("%d.%d" % sys.version_info[:2])
    parser.add_argument("--results", default=str(
        mine if mine.is_dir() else BENCH_DIR / "results"))
    parser.add_argument("--output", default=str(BENCH_DIR / "RESULTS.md"))
    args = parser.parse_args()
    text = render(Path(args.results))
    with open(args.output, "w") as f:
        f.write(text)
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

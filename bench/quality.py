"""How well `factbrief extract` keeps the facts of a text: runs the command
over the evaluation set (bench/quality/texts.json) and scores each summary.

    python bench/quality.py                      # factbrief extract --local
    OPENAI_API_KEY=... python bench/quality.py --base-url URL --model NAME

Per text and in all: fact recall (facts found / facts), the numbers in the
summary that the original text does not hold, and seconds per text. JSON
to bench/results/quality.json (-o); exit status 1 when a text fails or the
figures fall below --min-recall or above --max-foreign-numbers.

What counts: a fact is found when one of its spellings occurs in the
summary (full-width digits read as ASCII, thousands separators dropped,
case folded). The numbers not in the original are those that
`factbrief.grounding.unsupported_numbers(summary, text)` names: the same
check the command line runs on every answer.

    python bench/quality.py --rescore FILE       # score FILE's summaries
                                                 # again, in place

The texts run one after another through one process of the command, so a
text's seconds run from the record before it; the first also holds the
command's start-up (and, with --local, the server's unless `factbrief
local start` left one running).
"""

import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from factbrief.grounding import unsupported_numbers

BENCH_DIR = Path(__file__).resolve().parent
TEXTS = BENCH_DIR / "quality" / "texts.json"
OUTPUT = BENCH_DIR / "results" / "quality.json"
GOAL_RECALL, GOAL_FOREIGN = 0.9, 1

_WIDE = str.maketrans({**{chr(0xFF10 + i): str(i) for i in range(10)},
                       "\uff05": "%", "\u2212": "-"})
# For matching a fact's spelling only; numbers are compared by the check.
_THOUSANDS = re.compile(r"(?<=\d),(?=\d{3}(?!\d))")


def normalise(text):
    """Full-width digits as ASCII, no thousands separators, one space for
    any run of white space, case folded."""
    text = _THOUSANDS.sub("", text.translate(_WIDE))
    return " ".join(text.split()).casefold()


def _digit_at(text, i):
    return 0 <= i < len(text) and text[i].isdecimal()


def occurs(spelling, text):
    """Whether `spelling` is in `text` (both normalised) without being part
    of a longer number: "1.3" is not in "11.3" nor in "1.35"."""
    start = text.find(spelling)
    while start >= 0:
        end = start + len(spelling)
        before_ok = not spelling[0].isdecimal() or not (
            _digit_at(text, start - 1)
            or text[start - 1:start] == "." and _digit_at(text, start - 2))
        after_ok = not spelling[-1].isdecimal() or not (
            _digit_at(text, end)
            or text[end:end + 1] == "." and _digit_at(text, end + 1))
        if before_ok and after_ok:
            return True
        start = text.find(spelling, start + 1)
    return False


def score(item, summary):
    """The figures of one summary of `item` (a text of the set)."""
    said = normalise(summary or "")
    missed = [label for label, spellings in item["facts"].items()
              if not any(occurs(normalise(s), said) for s in spellings)]
    return {"facts": len(item["facts"]),
            "found": len(item["facts"]) - len(missed), "missed": missed,
            "foreign_numbers": unsupported_numbers(summary or "",
                                                   item["text"])}


def command_for(args, jobs=1, extra=()):
    """(argv, environment) of the one `factbrief extract` run, with
    `extra` options."""
    argv = [*args.factbrief, "extract", "--jobs", str(jobs),
            "--length", str(args.length), *extra]
    if args.prompt:
        argv += ["--prompt", args.prompt]
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "FACTBRIEF_"))
           or k == "FACTBRIEF_MODEL_FILE" and not args.base_url}
    if args.base_url:
        # The key goes through the environment, never the command line.
        env["OPENAI_API_KEY"] = os.environ["OPENAI_API_KEY"]
        argv += ["--base-url", args.base_url, "--model", args.model]
    else:
        argv.append("--local")
    return argv, env


def run(args, items):
    """Runs the command over the texts; {id: (record, seconds)}."""
    got = {}
    with tempfile.TemporaryDirectory(prefix="factbrief-quality-") as tmp:
        files = {}
        for item in items:
            path = Path(tmp) / f"{item['id']}.txt"
            path.write_text(item["text"], encoding="utf-8")
            files[str(path)] = item["id"]
        argv, env = command_for(args)
        last = time.monotonic()
        with subprocess.Popen(argv + list(files), env=env, text=True,
                              encoding="utf-8",
                              stdout=subprocess.PIPE) as proc:
            for line in proc.stdout:
                now = time.monotonic()
                record = json.loads(line)
                got[files[record.pop("file")]] = (record, now - last)
                last = now
    return got


def totals(results):
    facts = sum(r["facts"] for r in results)
    found = sum(r["found"] for r in results)
    times = [r["seconds"] for r in results if r["seconds"] is not None]
    return {
        "texts": len(results),
        "failed": sum(r["status"] != "ok" for r in results),
        "facts": facts, "found": found,
        "recall": found / facts if facts else 0.0,
        "foreign_numbers": sum(len(r["foreign_numbers"]) for r in results),
        "median_seconds": statistics.median(times) if times else None,
    }


def rescore(report, items):
    """`report` with each kept summary scored again against `items`."""
    by_id = {item["id"]: item for item in items}
    for row in report["texts"]:
        row.update(score(by_id[row["id"]], row["summary"]
                         if row["status"] == "ok" else ""))
    report["totals"] = totals(report["texts"])
    return report


def evaluate(args, items):
    load_before = os.getloadavg()
    started = time.monotonic()
    got = run(args, items)
    results = []
    for item in items:
        record, seconds = got.get(item["id"], ({"status": "no record"},
                                               None))
        row = {"id": item["id"], "lang": item["lang"],
               "status": record["status"], "seconds": seconds,
               "error": record.get("error"),
               "summary": record.get("summary"),
               "sent": record.get("content")}
        row.update(score(item, row["summary"] if row["status"] == "ok"
                         else ""))
        results.append(row)
    return {
        "label": args.label, "note": args.note,
        "date": time.strftime("%Y-%m-%d %H:%M"),
        "service": args.base_url or "--local",
        "model": args.model or "the local model",
        "length": args.length, "python": platform.python_version(),
        "load_before": load_before, "load_after": os.getloadavg(),
        "wall_seconds": time.monotonic() - started,
        "totals": totals(results),
        "texts": results}


def print_report(report, out=sys.stdout):
    print(f"{'text':<20} {'lang':<4} {'facts':>6} {'foreign':>7} "
          f"{'seconds':>7}", file=out)
    for r in report["texts"]:
        secs = _secs(r["seconds"])
        print(f"{r['id']:<20} {r['lang']:<4} {r['found']:>3}/{r['facts']:<2}"
              f" {len(r['foreign_numbers']):>7} {secs:>7}"
              + ("" if r["status"] == "ok" else f"  {r['status']}"),
              file=out)
    t = report["totals"]
    print(f"all: recall {t['recall']:.3f} ({t['found']}/{t['facts']}), "
          f"{t['foreign_numbers']} number(s) not in the original, "
          f"{t['failed']} failed, median {_secs(t['median_seconds'])} s "
          f"per text, {report['wall_seconds']:.0f} s in all (load "
          f"{report['load_before'][0]:.1f} before, "
          f"{report['load_after'][0]:.1f} after)", file=out)
    for r in report["texts"]:
        for label in r["missed"]:
            print(f"  missed: {r['id']}: {label}", file=out)
        if r["foreign_numbers"]:
            print(f"  not in the original: {r['id']}: "
                  f"{', '.join(r['foreign_numbers'])}", file=out)


def verdict(report, min_recall, max_foreign):
    """Lines that say which floor was not met; none when all are."""
    t = report["totals"]
    bad = []
    if t["failed"]:
        bad.append(f"{t['failed']} text(s) got no summary")
    if min_recall is not None and t["recall"] < min_recall:
        bad.append(f"recall {t['recall']:.3f} is below {min_recall}")
    if max_foreign is not None and t["foreign_numbers"] > max_foreign:
        bad.append(f"{t['foreign_numbers']} number(s) not in the "
                   f"original, more than {max_foreign}")
    return bad


# ---- the section of bench/RESULTS.md ----

def _runs(results_dir):
    """{label: [report, ...]} from results_dir/quality-*.json, in the
    order they ran."""
    reports = [json.loads(path.read_text(encoding="utf-8"))
               for path in Path(results_dir).glob("quality-*.json")]
    runs = {}
    for report in sorted(reports, key=lambda r: r["date"]):
        runs.setdefault(report["label"], []).append(report)
    return runs


def _times(runs):
    """How often the configurations ran, e.g. 'Each configuration ran
    2 times' or 'The configurations ran 1 to 2 times'."""
    counts = sorted({len(reports) for reports in runs.values()})
    if len(counts) == 1:
        return f"Each configuration ran {counts[0]} time" + (
            "s" if counts[0] > 1 else "")
    return f"The configurations ran {counts[0]} to {counts[-1]} times"


def section(results_dir):
    """Per text and in all, each label's runs side by side; or nothing."""
    runs = _runs(results_dir)
    if not runs:
        return []
    first = next(iter(runs.values()))[0]

    def cells(pick):
        return [", ".join(pick(r) for r in reports)
                for reports in runs.values()]

    head = (["text", "lang", "facts"]
            + [f"found, {label}" for label in runs]
            + [f"not in the original, {label}" for label in runs]
            + [f"s, {label}" for label in runs])
    rows = ["| " + " | ".join(head) + " |",
            "|---|---|" + "---:|" * (len(head) - 2)]
    for i, text in enumerate(first["texts"]):
        rows.append("| " + " | ".join(
            [text["id"], text["lang"], str(text["facts"])]
            + cells(lambda r: str(r["texts"][i]["found"]))
            + cells(lambda r: str(len(r["texts"][i]["foreign_numbers"])))
            + cells(lambda r: _secs(r["texts"][i]["seconds"]))) + " |")
    for lang in sorted({t["lang"] for t in first["texts"]}, reverse=True):
        mine = [i for i, t in enumerate(first["texts"]) if t["lang"] == lang]
        rows.append("| " + " | ".join(
            [f"all {lang}", lang,
             str(sum(first["texts"][i]["facts"] for i in mine))]
            + cells(lambda r: str(sum(r["texts"][i]["found"]
                                      for i in mine)))
            + cells(lambda r: str(sum(len(r["texts"][i]["foreign_numbers"])
                                      for i in mine)))
            + ["" for _ in runs]) + " |")
    rows.append("| " + " | ".join(
        ["**all**", "", str(first["totals"]["facts"])]
        + cells(lambda r: f"**{r['totals']['recall']:.3f}**")
        + cells(lambda r: f"**{r['totals']['foreign_numbers']}**")
        + cells(lambda r: _secs(r["totals"]["median_seconds"])
                + " (median)")) + " |")
    notes = " ".join(f"*{label}*: {reports[0]['note']}."
                     for label, reports in runs.items()
                     if reports[0].get("note"))
    loads = "; ".join(
        f"{label} {r['date']}, load {r['load_before'][0]:.1f} to "
        f"{r['load_after'][0]:.1f}"
        for label, reports in runs.items() for r in reports)
    return [
        "## Quality of the answers: facts kept", "",
        f"`bench/quality.py` over the {len(first['texts'])} texts of "
        f"`bench/quality/texts.json` ({first['totals']['facts']} facts), "
        f"through `factbrief extract --length {first['length']}`, the "
        f"texts one after another, against {first['service']} (model "
        f"`{first['model']}`). {_times(runs)}; a cell lists its runs. "
        f"*Found*: facts found in the summary (the last row: recall); "
        f"*not in the original*: numbers of the summary that the text "
        f"does not support, by `factbrief.grounding.unsupported_numbers` "
        f"(see the next section); *s*: seconds per text. {notes} Runs "
        f"(ended at, load average before and after): {loads}.", ""
    ] + rows + ["", f"Goal: recall at least {GOAL_RECALL} and at most "
                f"{GOAL_FOREIGN} number(s) not in the original, in all. "
                + " ".join(f"{label}: {_met(reports)}."
                           for label, reports in runs.items()), ""]


def _secs(seconds):
    return "—" if seconds is None else f"{seconds:.1f}"


def _met(reports):
    return ("not met" if any(verdict(r, GOAL_RECALL, GOAL_FOREIGN)
                             for r in reports) else "met")


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--texts", type=Path, default=TEXTS)
    p.add_argument("-o", "--output", type=Path, default=OUTPUT)
    p.add_argument("--label", default="",
                   help="a short name of what was measured (bench/"
                        "RESULTS.md puts runs of one label side by side)")
    p.add_argument("--note", default="",
                   help="a sentence on what the label means")
    p.add_argument("--base-url", help="a running service instead of "
                   "--local; the key is read from $OPENAI_API_KEY")
    p.add_argument("--model", help="the model name, with --base-url")
    p.add_argument("--length", type=int, default=200)
    p.add_argument("--prompt", default="",
                   help="the extra requirement passed as --prompt")
    p.add_argument("--factbrief", nargs="+",
                   default=[sys.executable, "-m", "factbrief"],
                   help="the command to run (default: this Python's)")
    p.add_argument("--min-recall", type=float)
    p.add_argument("--max-foreign-numbers", type=int)
    p.add_argument("--rescore", type=Path, metavar="FILE",
                   help="score the summaries FILE holds again, in place, "
                        "instead of running the command")
    args = p.parse_args(argv)
    if args.base_url and not (args.model and os.environ.get(
            "OPENAI_API_KEY")):
        p.error("--base-url needs --model and $OPENAI_API_KEY")
    return args


def main(argv=None):
    args = parse_args(argv)
    items = json.loads(args.texts.read_text(encoding="utf-8"))
    if args.rescore:
        args.output = args.rescore
        report = rescore(json.loads(args.rescore.read_text("utf-8")), items)
    else:
        report = evaluate(args, items)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(report, ensure_ascii=False, indent=1)
                           + "\n", encoding="utf-8")
    print_report(report)
    print(f"wrote {args.output}")
    bad = verdict(report, args.min_recall, args.max_foreign_numbers)
    for line in bad:
        print(f"quality: {line}", file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

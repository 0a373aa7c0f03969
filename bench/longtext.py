"""How `factbrief extract --split` keeps the facts of texts longer than one
request, against sending the first part only: runs the command over the
long-text set (bench/longtext/texts.json) and scores each summary.

    python bench/longtext.py                     # --local --split
    python bench/longtext.py --mode first-part   # what truncation gives
    OPENAI_API_KEY=... python bench/longtext.py --base-url URL --model NAME

Modes: *split* sends each whole text with --split; *first-part* sends only
the text's first part as `factbrief.splitting.split_text` cuts it at
--part-chars characters, the limit the command uses for a hosted service
(default 12,000); for --local the command counts tokens, so the default
there is a per-language estimate of what fits the local slot
(LOCAL_PART_CHARS). Given explicitly, --part-chars also goes to the
command in split mode, so both modes cut the same parts.

Per text: fact recall (bench/quality.py's scoring), recall of the facts
that lie past the first part (what truncation loses), the numbers of the
summary that the whole original text does not support, the number of
parts and the wall time. Each text runs in its own process of the
command, so its seconds include the command's start-up (and, with
--local, the server's unless `factbrief local start` left one running).
JSON to bench/results/longtext-<label>.json (the label defaults to the
mode); bench/report.py renders the runs side by side.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))
import quality  # noqa: E402  (the scoring is shared)

TEXTS = BENCH_DIR / "longtext" / "texts.json"
RESULTS = BENCH_DIR / "results"
MODES = ("split", "first-part")
HOSTED_PART_CHARS = 12_000
# What fits the local slot (5,120 tokens less the instruction and the
# answer's room): about 7,000 Chinese or 20,000 English characters whole,
# so a little less.
LOCAL_PART_CHARS = {"zh": 5_400, "en": 16_000}


def unsupported_numbers(summary, original):
    """(numbers of `summary` that `original` does not support, the name of
    the check). The hook for factbrief.grounding: its check when the
    package has it, else bench/quality.py's (same values, compared after
    normalising both texts)."""
    try:
        from factbrief.grounding import unsupported_numbers as check
    except ImportError:
        item = {"text": original, "facts": {}}
        return quality.score(item, summary)["foreign_numbers"], \
            "bench/quality.py"
    return [str(n) for n in check(summary, original)], "factbrief.grounding"


def split_text(text, limit):
    # Imported here: bench/report.py renders the section without factbrief.
    from factbrief.splitting import split_text
    return split_text(text, limit)


def part_chars(args, item):
    """The character limit of a part of `item`, as the run cuts it."""
    if args.part_chars:
        return args.part_chars
    if args.base_url:
        return HOSTED_PART_CHARS
    return LOCAL_PART_CHARS.get(item["lang"], min(LOCAL_PART_CHARS.values()))


def to_send(args, item):
    """The text the command gets for `item`: all of it with --split, else
    its first part."""
    if args.mode == "split":
        return item["text"]
    return split_text(item["text"], part_chars(args, item))[0]


def command_for(args):
    """(argv, environment) of one `factbrief extract` run, FILE to add."""
    extra = []
    if args.mode == "split":
        extra.append("--split")
        if args.part_chars:
            extra += ["--part-chars", str(args.part_chars)]
    return quality.command_for(args, args.jobs, extra)


def run_one(args, item, tmp):
    """(record, seconds) of the command over one text."""
    path = Path(tmp) / f"{item['id']}.txt"
    path.write_text(to_send(args, item), encoding="utf-8")
    argv, env = command_for(args)
    started = time.monotonic()
    proc = subprocess.run(argv + [str(path)], env=env, text=True,
                          encoding="utf-8", stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=args.timeout)
    seconds = time.monotonic() - started
    lines = [line for line in proc.stdout.splitlines() if line.strip()]
    if len(lines) != 1:
        return {"status": "no record",
                "error": (f"exit status {proc.returncode}, {len(lines)} "
                          f"record(s): {proc.stderr.strip()[-500:]}")}, seconds
    return json.loads(lines[0]), seconds


def score_text(args, item, record, seconds):
    """One row of the report."""
    ok = record.get("status") == "ok"
    summary = record.get("summary") if ok else ""
    first = split_text(item["text"], part_chars(args, item))
    first_end = len(first[0]) / len(item["text"])
    beyond = [label for label, at in item["positions"].items()
              if at >= first_end]
    row = {"id": item["id"], "lang": item["lang"],
           "chars": len(item["text"]), "sent_chars": len(to_send(args, item)),
           "status": record.get("status"), "error": record.get("error"),
           "seconds": seconds, "summary": summary,
           "parts": record.get("parts", 1) if ok else None,
           "parts_at_limit": len(first), "first_part_ends": first_end}
    row.update(quality.score(item, summary))
    row.pop("foreign_numbers")
    row["unsupported_numbers"], row["numbers_checked_by"] = (
        unsupported_numbers(summary or "", item["text"]))
    row["beyond_first_part"] = len(beyond)
    row["found_beyond_first_part"] = sum(
        label not in row["missed"] for label in beyond)
    row["missed_at"] = {label: item["positions"][label]
                        for label in row["missed"]}
    return row


def evaluate(args, items):
    load_before = os.getloadavg()
    started = time.monotonic()
    rows = []
    with tempfile.TemporaryDirectory(prefix="factbrief-longtext-") as tmp:
        for item in items:
            record, seconds = run_one(args, item, tmp)
            rows.append(score_text(args, item, record, seconds))
    facts = sum(r["facts"] for r in rows)
    found = sum(r["found"] for r in rows)
    beyond = sum(r["beyond_first_part"] for r in rows)
    return {
        "label": args.label or args.mode, "mode": args.mode,
        "note": args.note, "date": time.strftime("%Y-%m-%d %H:%M"),
        "service": args.base_url or "--local",
        "model": args.model or "the local model", "length": args.length,
        "jobs": args.jobs, "part_chars": args.part_chars,
        "python": platform.python_version(),
        "load_before": load_before, "load_after": os.getloadavg(),
        "wall_seconds": time.monotonic() - started,
        "totals": {
            "texts": len(rows),
            "failed": sum(r["status"] != "ok" for r in rows),
            "facts": facts, "found": found,
            "recall": found / facts if facts else 0.0,
            "beyond_first_part": beyond,
            "found_beyond_first_part": sum(r["found_beyond_first_part"]
                                           for r in rows),
            "unsupported_numbers": sum(len(r["unsupported_numbers"])
                                       for r in rows),
            "parts": sum(r["parts"] or 0 for r in rows),
            "seconds": sum(r["seconds"] for r in rows),
        },
        "texts": rows}


def print_report(report, out=sys.stdout):
    print(f"{'text':<22} {'lang':<4} {'chars':>6} {'facts':>6} "
          f"{'late':>5} {'unsup':>5} {'parts':>5} {'seconds':>7}", file=out)
    for r in report["texts"]:
        print(f"{r['id']:<22} {r['lang']:<4} {r['chars']:>6} "
              f"{r['found']:>3}/{r['facts']:<2} "
              f"{r['found_beyond_first_part']:>2}/"
              f"{r['beyond_first_part']:<2} "
              f"{len(r['unsupported_numbers']):>5} "
              f"{r['parts'] if r['parts'] is not None else '—':>5} "
              f"{r['seconds']:>7.1f}"
              + ("" if r["status"] == "ok" else
                 f"  {r['status']}: {r['error']}"), file=out)
    t = report["totals"]
    print(f"{report['label']}: recall {t['recall']:.3f} ({t['found']}/"
          f"{t['facts']}), past the first part {t['found_beyond_first_part']}"
          f"/{t['beyond_first_part']}, {t['unsupported_numbers']} "
          f"unsupported number(s), {t['parts']} part(s), {t['failed']} "
          f"failed, {t['seconds']:.0f} s (load "
          f"{report['load_before'][0]:.1f} before, "
          f"{report['load_after'][0]:.1f} after)", file=out)


# ---- the section of bench/RESULTS.md ----

def section(results_dir):
    """The runs of results_dir/longtext-*.json side by side, or nothing."""
    reports = sorted((json.loads(p.read_text(encoding="utf-8"))
                      for p in Path(results_dir).glob("longtext-*.json")),
                     key=lambda r: r["date"])
    if not reports:
        return []
    head = ["text", "lang", "chars", "facts"] + [
        f"{h}, {r['label']}" for r in reports
        for h in ("found", "past part 1", "unsupported", "parts", "s")]
    rows = ["| " + " | ".join(head) + " |",
            "|---|---|" + "---:|" * (len(head) - 2)]
    for i, text in enumerate(reports[0]["texts"]):
        cells = [text["id"], text["lang"], str(text["chars"]),
                 str(text["facts"])]
        for r in reports:
            t = r["texts"][i]
            cells += [str(t["found"]), f"{t['found_beyond_first_part']}/"
                      f"{t['beyond_first_part']}",
                      str(len(t["unsupported_numbers"])),
                      "—" if t["parts"] is None else str(t["parts"]),
                      f"{t['seconds']:.0f}"]
        rows.append("| " + " | ".join(cells) + " |")
    cells = ["**all**", "", "", str(reports[0]["totals"]["facts"])]
    for r in reports:
        t = r["totals"]
        cells += [f"**{t['recall']:.3f}**", f"{t['found_beyond_first_part']}"
                  f"/{t['beyond_first_part']}",
                  f"**{t['unsupported_numbers']}**", str(t["parts"]),
                  f"{t['seconds']:.0f}"]
    rows.append("| " + " | ".join(cells) + " |")
    runs = "; ".join(
        f"*{r['label']}* ({r['mode']}{', ' + r['note'] if r['note'] else ''})"
        f" {r['date']}, load {r['load_before'][0]:.1f} to "
        f"{r['load_after'][0]:.1f}" for r in reports)
    return [
        "## Long texts: split, or the first part only", "",
        f"`bench/longtext.py` over the {len(reports[0]['texts'])} texts of "
        f"`bench/longtext/texts.json`, each through one `factbrief extract "
        f"--length {reports[0]['length']}` against "
        f"{reports[0]['service']}. *Found*: facts found in the summary "
        f"(the last row: recall); *past part 1*: of the facts that lie "
        f"past the text's first part, those found; *unsupported*: numbers "
        f"of the summary that the whole text does not support; *s*: "
        f"seconds for the text. Runs: {runs}.", ""] + rows + [""]


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--texts", type=Path, default=TEXTS)
    p.add_argument("-o", "--output", type=Path,
                   help="default: bench/results/longtext-LABEL.json")
    p.add_argument("--mode", choices=MODES, default="split")
    p.add_argument("--label", default="",
                   help="a short name of what was measured (default: the "
                        "mode)")
    p.add_argument("--note", default="",
                   help="a sentence on what the label means")
    p.add_argument("--part-chars", type=int,
                   help="characters per part (default: 12,000 for a "
                        "hosted service; for --local the command counts "
                        "tokens, and the first part is cut at "
                        f"{LOCAL_PART_CHARS})")
    p.add_argument("--base-url", help="a running service instead of "
                   "--local; the key is read from $OPENAI_API_KEY")
    p.add_argument("--model", help="the model name, with --base-url")
    p.add_argument("--length", type=int, default=200)
    p.add_argument("--jobs", type=int, default=1,
                   help="--jobs of the command: a split text's parts run "
                        "concurrently within it")
    p.add_argument("--prompt", default="")
    p.add_argument("--ids", nargs="+", metavar="ID",
                   help="only these texts of the set")
    p.add_argument("--min-recall", type=float,
                   help="exit with status 1 when the recall is lower "
                        "(a floor for CI)")
    p.add_argument("--timeout", type=float, default=3600.0,
                   help="seconds one text may take")
    p.add_argument("--factbrief", nargs="+",
                   default=[sys.executable, "-m", "factbrief"],
                   help="the command to run (default: this Python's)")
    args = p.parse_args(argv)
    if args.base_url and not (args.model and os.environ.get(
            "OPENAI_API_KEY")):
        p.error("--base-url needs --model and $OPENAI_API_KEY")
    if args.part_chars is not None and args.part_chars < 1:
        p.error("--part-chars must be at least 1")
    return args


def main(argv=None):
    args = parse_args(argv)
    items = json.loads(args.texts.read_text(encoding="utf-8"))
    if args.ids:
        items = [item for item in items if item["id"] in args.ids]
        if len(items) != len(set(args.ids)):
            sys.exit(f"longtext: no such text among {args.ids}")
    report = evaluate(args, items)
    output = args.output or RESULTS / f"longtext-{report['label']}.json"
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(json.dumps(report, ensure_ascii=False, indent=1)
                      + "\n", encoding="utf-8")
    print_report(report)
    print(f"wrote {output}")
    recall = report["totals"]["recall"]
    if args.min_recall is not None and recall < args.min_recall:
        print(f"longtext: recall {recall:.3f} is below the floor of "
              f"{args.min_recall}", file=sys.stderr)
        return 1
    return 1 if report["totals"]["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())

"""Figures of the local model on this machine, through the command a user
runs: `factbrief extract --local` over the 8 texts of bench/texts, with
--jobs 1 and with --jobs 4 in turns (1, 4, 4, 1, twice), each against a fresh
start of the same service (`factbrief local start`, 4 slots), so no run
reuses another's prompts. Per run: the wall time, the time to the first
record, the tokens generated and tokens/s in all, tokens/s per request
(llama.cpp's own counts from the server log), the server's start and
peak memory; and whether every text got the same summary in every run.

The set-up from an empty cache folder and an empty pip cache (it builds
the server: minutes) with --fresh; --link-model FILE then skips fetching
the model by linking a verified copy, and the figures say so. Or give
that time with --setup-seconds (and --setup-note).

    .venv/bin/python bench/local_model.py [--fresh [--link-model FILE]]

Writes bench/results/local-model.json; bench/report.py puts it into
bench/RESULTS.md.
"""

import argparse
import datetime
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from factbrief.local import process, service
from factbrief.local.cache import Cache
from factbrief.local.model import DEFAULT_MODEL, model_path
from factbrief.local.progress import Progress

BENCH_DIR = Path(__file__).resolve().parent
TEXTS = sorted((BENCH_DIR / "texts").glob("*.txt"))
ORDER = (1, 4, 4, 1, 1, 4, 4, 1)
EVAL = re.compile(r"^\S+ I slot print_timing: .*\|\s+eval time =\s+"
                  r"([\d.]+) ms /\s+(\d+) tokens", re.M)


def factbrief(*args, cache_home):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "FACTBRIEF_", "XDG_"))}
    env["XDG_CACHE_HOME"] = str(cache_home)
    return [sys.executable, "-m", "factbrief", *args], env


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return None


def one_run(jobs, cache):
    """Starts the service, times one `extract --local --jobs N` over the
    texts, stops the service; the run's figures."""
    home = cache.root.parent
    argv, env = factbrief("local", "start", cache_home=home)
    t = time.monotonic()
    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL)
    start_s = time.monotonic() - t
    state = process.running_service(cache)
    log = Path(state["log"])
    offset = log.stat().st_size
    argv, env = factbrief("extract", "--local", "--no-content", "--jobs",
                          str(jobs), *map(str, TEXTS), cache_home=home)
    t = time.monotonic()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    first, records = None, []
    for line in proc.stdout:
        first = first or time.monotonic() - t
        records.append(json.loads(line))
    proc.wait()
    wall = time.monotonic() - t
    peak = peak_rss_mb(state["pid"])
    argv, env = factbrief("local", "stop", cache_home=home)
    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL)
    with open(log, "rb") as f:
        f.seek(offset)
        evals = EVAL.findall(f.read().decode("utf-8", "replace"))
    tokens = sum(int(n) for _, n in evals)
    assert all(r["status"] == "ok" for r in records), records
    return {"jobs": jobs, "wall_s": wall, "first_answer_s": first,
            "start_s": start_s, "tokens": tokens,
            "tokens_per_s": tokens / wall,
            "request_tokens_per_s": [int(n) / (float(ms) / 1000)
                                     for ms, n in evals if float(ms) > 0],
            "peak_rss_mb": peak,
            "summaries": [r["summary"] for r in records]}


def set_up_fresh(link_model):
    """Seconds to set up in an empty cache folder, with an empty pip
    cache (and the model linked in, if given); and a note on how."""
    with tempfile.TemporaryDirectory() as tmp:
        os.environ["PIP_CACHE_DIR"] = os.path.join(tmp, "pip")
        cache = Cache(Path(tmp) / "factbrief")
        note = "server built and model fetched"
        if link_model:
            cache.make(cache.models)
            os.link(link_model, model_path(cache, DEFAULT_MODEL))
            note = ("server built; the model linked from a verified copy "
                    "(hashed again, not fetched)")
        t = time.monotonic()
        service.prepare(cache, Progress(sys.stderr))
        return time.monotonic() - t, note


def summarise(runs):
    by_jobs = {}
    for run in runs:
        by_jobs.setdefault(run["jobs"], []).append(run)
    pairs = [b["wall_s"] / a["wall_s"] for a, b in
             zip(by_jobs[1], by_jobs[4])]
    differing = []
    for i, text in enumerate(TEXTS):
        answers = [run["summaries"][i] for run in runs]
        usual = statistics.mode(answers)
        odd = [n for n, a in enumerate(answers) if a != usual]
        if odd:
            differing.append({"text": text.name, "runs": odd})
    return {"ratio_4_to_1": statistics.median(pairs), "pairs": pairs,
            "same_summary_texts": len(TEXTS) - len(differing),
            "differing": differing}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fresh", action="store_true")
    parser.add_argument("--link-model", default=None)
    parser.add_argument("--setup-seconds", type=float, default=None)
    parser.add_argument("--setup-note", default="")
    parser.add_argument("--output", default=str(
        BENCH_DIR / "results" / "local-model.json"))
    args = parser.parse_args()
    figures = {"date": datetime.date.today().isoformat(),
               "cpus": process.cpus(), "texts": len(TEXTS),
               "slots": service.SLOTS, "load_before": os.getloadavg()[0]}
    if args.fresh:
        figures["setup_s"], figures["setup_note"] = set_up_fresh(
            args.link_model)
    else:
        figures["setup_s"] = args.setup_seconds
        figures["setup_note"] = args.setup_note
    cache = Cache.default()
    service.prepare(cache, Progress(sys.stderr))
    runs = []
    for jobs in ORDER:
        runs.append(one_run(jobs, cache))
        print(json.dumps({k: v for k, v in runs[-1].items()
                          if k != "summaries"}), file=sys.stderr)
    figures.update(summarise(runs), runs=runs,
                   load_after=os.getloadavg()[0])
    Path(args.output).parent.mkdir(exist_ok=True)
    Path(args.output).write_text(json.dumps(figures, indent=1,
                                            ensure_ascii=False) + "\n")
    print(json.dumps({k: v for k, v in figures.items() if k != "runs"},
                     indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Figures of the local model on this machine, through the command a user
runs: `factbrief extract --local` over the 12 evaluation texts
(bench/quality/texts.json) at the default (one slot, --jobs 1) and with
--jobs 4 (which starts the server with 4 slots), in the order 1, 4, 4, 1
(--rounds 2; one round is 1, 4), each run starting its own server, so no
run reuses another's prompts. Per run: the load (`uptime`) before and
after, the wall time, the time per text once the server serves, the
tokens generated (llama.cpp's own counts from the server log); and which
texts got another answer than at the default in the first run: that is
what a user who runs the same corpus twice sees.

The runs use a private cache folder holding a copy of the server and the
model file of the shared cache (by --model-file), so a service another
user left running in the shared cache is neither used nor disturbed.

The set-up from an empty cache folder and an empty pip cache (it builds
the server: minutes) with --fresh; --link-model FILE then skips fetching
the model by linking a verified copy, and the figures say so. Without
--fresh the set-up figures of the previous results are kept, with their
date.

    .venv/bin/python bench/local_model.py [--rounds N] [--fresh ...]

Writes bench/results/local-model.json; bench/report.py puts it into
bench/RESULTS.md.
"""

import argparse
import datetime
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from factbrief.local import process, service
from factbrief.local.cache import Cache
from factbrief.local.model import DEFAULT_MODEL, model_path
from factbrief.local.progress import Progress
from factbrief.local.server import ServerBuild

BENCH_DIR = Path(__file__).resolve().parent
TEXTS = BENCH_DIR / "quality" / "texts.json"
BATCHED = 4
EVAL = re.compile(r"^\S+ I slot print_timing: .*\|\s+eval time =\s+"
                  r"([\d.]+) ms /\s+(\d+) tokens", re.M)
SERVES = re.compile(r"serves at \S+ for this run \((\d+) at once\)")


def uptime():
    return subprocess.run(["uptime"], capture_output=True,
                          text=True).stdout.strip()


def private_cache(root, shared):
    """A cache folder at `root` with a copy of the shared cache's server."""
    cache = Cache(Path(root) / "factbrief")
    ServerBuild(cache).keep(ServerBuild(shared).executable)
    return cache


def one_run(jobs, cache, model, files):
    """One `extract --local` over `files`: at the default when `jobs` is
    None, else with --jobs; the run's figures."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "FACTBRIEF_", "XDG_"))}
    env["XDG_CACHE_HOME"] = str(cache.root.parent)
    argv = [sys.executable, "-m", "factbrief", "extract", "--no-content",
            "--model-file", str(model)]
    argv += [] if jobs is None else ["--jobs", str(jobs)]
    log = cache.logs / "run-server.log"
    offset = log.stat().st_size if log.exists() else 0
    before = uptime()
    t = time.monotonic()
    proc = subprocess.Popen(argv + [str(f) for f in files], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, encoding="utf-8")
    served = {}

    def watch():
        for line in proc.stderr:
            found = SERVES.search(line)
            if found and not served:
                served.update(at=time.monotonic() - t,
                              slots=int(found.group(1)))
    watcher = threading.Thread(target=watch)
    watcher.start()
    records = [json.loads(line) for line in proc.stdout]
    proc.wait()
    wall = time.monotonic() - t
    watcher.join()
    with open(log, "rb") as f:
        f.seek(offset)
        evals = EVAL.findall(f.read().decode("utf-8", "replace"))
    assert proc.returncode == 0 and len(records) == len(files), records
    assert all(r["status"] == "ok" for r in records), records
    by_file = {r["file"]: r["summary"] for r in records}
    return {"jobs": 1 if jobs is None else jobs,
            "default": jobs is None, "slots": served["slots"],
            "uptime_before": before, "uptime_after": uptime(),
            "load_before": float(before.rsplit(":", 1)[1].split(",")[0]),
            "wall_s": wall, "ready_s": served["at"],
            "per_text_s": (wall - served["at"]) / len(files),
            "tokens": sum(int(n) for _, n in evals),
            "summaries": [by_file[str(f)] for f in files]}


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


def compare(runs, ids):
    """Which texts each run answered otherwise than the first run at the
    default; and the wall-time ratios of each batched run to the
    default run next to it (1, 4, 4, 1: pairs 1-2 and 4-3)."""
    reference = next(r for r in runs if r["default"])["summaries"]
    for run in runs:
        run["differ_from_default"] = [
            ids[i] for i, s in enumerate(run["summaries"])
            if s != reference[i]]
    pairs = []
    for i in range(0, len(runs) - 1, 2):
        a, b = runs[i], runs[i + 1]
        one, batched = (a, b) if a["default"] else (b, a)
        pairs.append(batched["wall_s"] / one["wall_s"])
    return pairs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--fresh", action="store_true")
    parser.add_argument("--link-model", default=None)
    parser.add_argument("--output", default=str(
        BENCH_DIR / "results" / "local-model.json"))
    args = parser.parse_args()
    items = json.loads(TEXTS.read_text(encoding="utf-8"))
    previous = {}
    if Path(args.output).exists():
        previous = json.loads(Path(args.output).read_text())
    figures = {"date": datetime.date.today().isoformat(),
               "cpus": process.cpus(), "texts": len(items),
               "default_slots": service.slots_wanted({}),
               "batched_jobs": BATCHED,
               "batch_margin": service.BATCH_MARGIN}
    if args.fresh:
        figures["setup_s"], figures["setup_note"] = set_up_fresh(
            args.link_model)
        figures["setup_date"] = figures["date"]
    else:
        for key in ("setup_s", "setup_note"):
            figures[key] = previous.get(key)
        figures["setup_date"] = previous.get("setup_date",
                                             previous.get("date"))
    shared = Cache.default()
    _, model, _ = service.prepare(shared, Progress(sys.stderr))
    order = [None, BATCHED, BATCHED, None] * (args.rounds // 2)
    order += [None, BATCHED] * (args.rounds % 2)
    runs = []
    with tempfile.TemporaryDirectory(prefix="factbrief-bench-") as tmp:
        files = []
        for item in items:
            files.append(Path(tmp) / f"{item['id']}.txt")
            files[-1].write_text(item["text"], encoding="utf-8")
        cache = private_cache(tmp, shared)
        for jobs in order:
            runs.append(one_run(jobs, cache, model, files))
            print(json.dumps({k: v for k, v in runs[-1].items()
                              if k != "summaries"}), file=sys.stderr)
    figures["pairs"] = compare(runs, [item["id"] for item in items])
    figures["runs"] = runs
    Path(args.output).parent.mkdir(exist_ok=True)
    Path(args.output).write_text(json.dumps(figures, indent=1,
                                            ensure_ascii=False) + "\n")
    print(json.dumps({k: v for k, v in figures.items() if k != "runs"},
                     indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())

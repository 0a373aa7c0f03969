"""Figures of the local model on this machine: server start, `extract`
latency (first and repeated), tokens per second (llama.cpp's own counts
from the server log), and the server's peak resident memory. With
--fresh, also the set-up time from an empty cache folder and an empty pip
cache (builds the server and fetches the model: up to 20 minutes); or
give that time with --setup-seconds, as scripts/check-local-model.sh
reports it for an empty cache.

    .venv/bin/python bench/local_model.py [--fresh | --setup-seconds S]

Writes bench/results/local-model.json; bench/report.py puts it into
bench/RESULTS.md.
"""

import argparse
import datetime
import json
import os
import re
import statistics
import sys
import tempfile
import time
from pathlib import Path

from factbrief.factbrief import AISummary
from factbrief.local import process, service
from factbrief.local.cache import Cache
from factbrief.local.progress import Progress

BENCH_DIR = Path(__file__).resolve().parent
SAMPLE = BENCH_DIR.parent / "examples" / "sample.txt"
EVAL = re.compile(r"^llama_perf_context_print:\s+eval time =\s+([\d.]+) ms "
                  r"/\s+(\d+) runs", re.M)


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return None


def rates(pattern, text):
    return [int(n) / (float(ms) / 1000) for ms, n in pattern.findall(text)
            if float(ms) > 0]


def measure(cache, repeats, threads, progress):
    setup_start = time.monotonic()
    command, model, name = service.prepare(cache, progress)
    setup = time.monotonic() - setup_start
    log = cache.logs / "bench-server.log"
    log.unlink(missing_ok=True)
    text = SAMPLE.read_text(encoding="utf-8")
    t0 = time.monotonic()
    with process.ServerProcess(command, model, name, log,
                               max_tokens=service.MAX_TOKENS,
                               threads=threads) as server:
        server.wait_ready(progress)
        start = time.monotonic() - t0
        ai = AISummary(server.base_url, "local", name)
        latencies, summaries = [], []
        for _ in range(1 + repeats):
            t = time.monotonic()
            record = ai.extract(text)
            latencies.append(time.monotonic() - t)
            assert record["status"] == "ok", record
            summaries.append(record["summary"])
        peak = peak_rss_mb(server.proc.pid)
    logged = log.read_text(errors="replace")
    return {"setup_s": setup, "start_s": start,
            "first_extract_s": latencies[0],
            "repeat_extract_s": latencies[1:],
            "eval_tokens_per_s": rates(EVAL, logged),
            "peak_rss_mb": peak, "summary": summaries[0],
            "same_each_time": len(set(summaries)) == 1}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fresh", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--setup-seconds", type=float, default=None)
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--output", default=str(
        BENCH_DIR / "results" / "local-model.json"))
    args = parser.parse_args()
    progress = Progress(sys.stderr)
    load = os.getloadavg()[0]
    if args.fresh:
        with tempfile.TemporaryDirectory() as tmp:
            os.environ["PIP_CACHE_DIR"] = os.path.join(tmp, "pip")
            figures = measure(Cache(Path(tmp) / "factbrief"), args.repeats,
                              args.threads, progress)
    else:
        figures = measure(Cache.default(), args.repeats, args.threads,
                          progress)
        figures["setup_s"] = args.setup_seconds  # here nothing was set up
    figures.update(
        date=datetime.date.today().isoformat(), cpus=os.cpu_count(),
        threads=args.threads or os.cpu_count(), load_before=load,
        load_after=os.getloadavg()[0])
    Path(args.output).parent.mkdir(exist_ok=True)
    Path(args.output).write_text(json.dumps(figures, indent=1,
                                            ensure_ascii=False) + "\n")
    print(json.dumps({k: v for k, v in figures.items() if k != "summary"},
                     indent=1))
    print(f"median repeat: {statistics.median(figures['repeat_extract_s'])}"
          if figures["repeat_extract_s"] else "")
    return 0


if __name__ == "__main__":
    sys.exit(main())

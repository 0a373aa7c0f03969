"""Times factbrief's AISummary against the plain-Python class of
baseline.py, and both against the floor: the same calls on `re`, the
client and dicts and strings, made in a loop with no class at all.

    python bench/run.py [options]   # everything below, about ten minutes
    python bench/run.py --smoke     # every case a few times, and the two
                                    # classes compared; no timing claims

In order: pyperf timings of every case (bench/results/timings.json, or
-o FILE, beside which the rest goes); paired timings (paired.py,
paired.json); memory growth over a million calls (memory.py, memory.json)
while callgrind counts instructions (callgrind_share.py, callgrind.json).
bench/report.py turns them into bench/RESULTS.md.
"""

import argparse
import io
import os
import re
import shutil
import subprocess
import sys
from contextlib import redirect_stderr
from pathlib import Path

import common
import paired
from cases import cases
from common import (API_KEY, BASE_URL, IMPLEMENTATIONS, MODEL, TEXTS,
                    ClientDouble, use_client)

# ---- smoke: both classes behave alike, every case runs ----

def _observe(module, call):
    """(result or the exception's type, client calls, last stderr line).
    Binding messages are the module's own, so only the type is kept."""
    client = use_client(module, ClientDouble(common.REPLY))
    err = io.StringIO()
    with redirect_stderr(err):
        try:
            result = call(module.AISummary(BASE_URL, API_KEY, MODEL))
        except TypeError:
            result = "raised TypeError"
    lines = err.getvalue().strip().splitlines()
    return result, client.log, lines[-1] if lines else ""


SMOKE_CALLS = {
    "extract": lambda ai: ai.extract(TEXTS["short"]),
    "extract 1m": lambda ai: ai.extract(TEXTS["1m"], "brief", 50),
    "refined_title": lambda ai: ai.refined_title(TEXTS["10k"], "Shorter:"),
    "keywords": lambda ai: type(ai).extract(
        self=ai, content=TEXTS["short"], prompt="", length=200),
    "binding error": lambda ai: ai.extract(),
    "caught failure": lambda ai: ai.extract(None),
}


def smoke(service_url):
    failed = []
    for label, call in SMOKE_CALLS.items():
        seen = {impl: _observe(module, call)
                for impl, module in IMPLEMENTATIONS.items()}
        if seen["ours"] != seen["plain"] or not seen["ours"][0]:
            failed.append(label)
        print(f"compare {label:15} {'differs' if label in failed else 'same'}")
    for name, func, args in cases(service_url):
        seconds = func(2, *args)
        print(f"run     {name:28} {seconds * 1e6 / 2:12.1f} us per call "
              f"(not a measurement)")
    import memory
    for impl in IMPLEMENTATIONS:
        for path in memory.PATHS:
            print(f"memory  {impl}/{path}: {memory.growth(impl, path, 200)}")
    if failed:
        print("the two classes differ on: " + ", ".join(failed))
        return 1
    return 0


# ---- main ----

def add_worker_args(cmd, args):
    if args.service_url:
        cmd.extend(("--service-url", args.service_url))
    if args.select:
        cmd.extend(("--select", args.select))


def after_timings(args, service_url):
    """Paired timings, then memory growth while callgrind counts (neither
    is disturbed by the other; the timings would be)."""
    results = Path(args.output).parent
    if args.paired_rounds > 0:
        paired.run_all(args.paired_rounds, str(results / "paired.json"),
                       service_url)
    counting = None
    if args.callgrind and shutil.which("valgrind"):
        counting = subprocess.Popen(
            [sys.executable, str(common.BENCH_DIR / "callgrind_share.py"),
             "--output", str(results / "callgrind.json")])
    elif args.callgrind:
        print("valgrind not found: instruction counts left out",
              file=sys.stderr)
    if args.memory_calls > 0:
        import memory
        memory.run_all(args.memory_calls, str(results / "memory.json"))
    if counting is not None and counting.wait() != 0:
        raise SystemExit("the callgrind run failed")


def main():
    common.quiet_client_environment()
    if "--smoke" in sys.argv[1:]:
        parser = argparse.ArgumentParser(description="quick smoke run")
        parser.add_argument("--smoke", action="store_true")
        parser.parse_args()
        with common.LocalService() as service:
            return smoke(service.base_url)

    import pyperf
    runner = pyperf.Runner(processes=3, values=5, warmups=1, min_time=0.1,
                           add_cmdline_args=add_worker_args)
    runner.argparser.add_argument("--service-url", help=argparse.SUPPRESS)
    runner.argparser.add_argument(
        "--select", metavar="REGEX",
        help="only the benchmarks whose name matches (re.search)")
    runner.argparser.add_argument(
        "--paired-rounds", type=int, default=100,
        help="rounds of paired timings (paired.py); 0 skips them")
    runner.argparser.add_argument(
        "--memory-calls", type=int, default=1_000_000,
        help="calls per memory-growth run (memory.py); 0 skips them")
    runner.argparser.add_argument(
        "--no-callgrind", dest="callgrind", action="store_false",
        help="skip the instruction counts (callgrind_share.py)")
    args = runner.parse_args()
    runner.metadata["nproc"] = len(os.sched_getaffinity(0))
    if args.worker:
        for name, func, func_args in cases(args.service_url):
            if not args.select or re.search(args.select, name):
                runner.bench_time_func(name, func, *func_args)
        return 0
    if args.output is None:
        common.RESULTS_DIR.mkdir(exist_ok=True)
        args.output = str(common.RESULTS_DIR / "timings.json")
        if os.path.exists(args.output):
            os.remove(args.output)
    with common.LocalService() as service:
        args.service_url = service.base_url
        for name, func, func_args in cases(service.base_url):
            if not args.select or re.search(args.select, name):
                runner.bench_time_func(name, func, *func_args)
        after_timings(args, service.base_url)
    return 0


if __name__ == "__main__":
    sys.exit(main())

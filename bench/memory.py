"""Memory over many calls: resident memory and the interpreter's allocated
blocks before and after, each run in a fresh process.

    python bench/memory.py [--calls N] [--output FILE]
    python bench/memory.py --one IMPL PATH --calls N   # one run, as JSON

A call that kept one object would show as N blocks; caches that settle
show as a few dozen at most, whatever N is.
"""

import argparse
import gc
import json
import subprocess
import sys
import time

from common import (API_KEY, BASE_URL, IMPLEMENTATIONS, MODEL, STAND_IN,
                    TEXTS, null_stderr, resident_kib, use_client)

PATHS = ("success", "caught_failure")


def _loop(call, calls):
    for _ in range(calls):
        call()


def growth(impl, path, calls, warmup=None):
    """Growth of resident memory (KiB) and allocated blocks over `calls`
    calls of `path`, after `warmup` calls that let caches fill."""
    module = IMPLEMENTATIONS[impl]
    use_client(module, STAND_IN)
    ai = module.AISummary(BASE_URL, API_KEY, MODEL)
    text = TEXTS["short"]
    if path == "success":
        def call():
            ai.extract(text)
    else:
        def call():
            ai.extract(None)
    if warmup is None:
        warmup = max(100, calls // 100)
    with null_stderr():
        _loop(call, warmup)
        gc.collect()
        rss, blocks = resident_kib(), sys.getallocatedblocks()
        start = time.perf_counter()
        _loop(call, calls)
        seconds = time.perf_counter() - start
        gc.collect()
        return {"impl": impl, "path": path, "calls": calls,
                "warmup": warmup,
                "rss_before_kib": rss,
                "rss_growth_kib": resident_kib() - rss,
                "blocks_before": blocks,
                "blocks_growth": sys.getallocatedblocks() - blocks,
                "seconds": round(seconds, 2)}


def run_all(calls, output=None):
    """Every (implementation, path) in its own process, two at a time;
    returns the results and writes them to `output` as JSON."""
    runs = [(impl, path) for path in PATHS for impl in IMPLEMENTATIONS]
    results = []
    for i in range(0, len(runs), 2):
        procs = [subprocess.Popen(
            [sys.executable, __file__, "--one", impl, path,
             "--calls", str(calls)], stdout=subprocess.PIPE, text=True)
            for impl, path in runs[i:i + 2]]
        for proc in procs:
            out, _ = proc.communicate()
            if proc.returncode != 0:
                raise RuntimeError(f"memory run failed: {proc.args}")
            results.append(json.loads(out))
            print(format_result(results[-1]), flush=True)
    if output:
        with open(output, "w") as f:
            json.dump(results, f, indent=1)
    return results


def format_result(r):
    return (f"{r['impl']}/{r['path']}: {r['calls']} calls, "
            f"{r['blocks_growth']:+d} blocks, "
            f"{r['rss_growth_kib']:+d} KiB resident ({r['seconds']} s)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--one", nargs=2, metavar=("IMPL", "PATH"))
    parser.add_argument("--output")
    args = parser.parse_args()
    if args.one:
        impl, path = args.one
        if impl not in IMPLEMENTATIONS or path not in PATHS:
            parser.error(f"IMPL is one of {list(IMPLEMENTATIONS)}, "
                         f"PATH one of {list(PATHS)}")
        print(json.dumps(growth(impl, path, args.calls)))
    else:
        run_all(args.calls, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())

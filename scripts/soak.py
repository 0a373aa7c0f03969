#!/usr/bin/env python3
"""Long soak: a million calls per path, then allocated blocks and RSS.

    .venv/bin/python scripts/soak.py [--calls N] [--path NAME ...]

Paths: ok (a success with an in-process client), caught (the client
fails; the printed traceback goes to a sink), binding (the call's
arguments are refused). Growth that does not scale with N is caches
settling; a leak shows as growth in proportion to N.
"""

import argparse
import gc
import itertools
import os
import platform
import sys
import time
from pathlib import Path

import factbrief.factbrief as fb

# The doubles the tests use; the script runs from a checkout.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from support.doubles import (ClientDouble, module_global,  # noqa: E402
                             null_stderr, resident_kib)


# Each path cycles through its calls, one call per step.
SERVICE_CALLS = [
    lambda obj: obj.extract("Hello, world! 你好，世界。", "short", 120),
    lambda obj: obj.refined_title("Hello, world!", "title please"),
]


def _refused(call):
    def run(obj):
        try:
            call(obj)
        except TypeError:
            return
        raise AssertionError("binding error expected")
    return run


BINDING_CALLS = [
    _refused(lambda obj: obj.extract()),
    _refused(lambda obj: obj.refined_title("t", x=1)),
    _refused(lambda obj: obj.extract("t", content="u")),
    _refused(lambda obj: fb.AISummary("url only")),
]

# name -> (the client double's faults, calls)
PATHS = {"ok": ({}, SERVICE_CALLS),
         "caught": ({"create": ConnectionError}, SERVICE_CALLS),
         "binding": ({}, BINDING_CALLS)}


def run(obj, calls, steps):
    for _, call in zip(range(steps), itertools.cycle(calls)):
        call(obj)


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def soak(name, calls):
    faults, body = PATHS[name]
    obj = fb.AISummary("http://127.0.0.1:9/v1", "key", "model")
    client = ClientDouble("reply", record=False, **faults)
    with module_global(fb, "OpenAI", client), null_stderr():
        run(obj, body, 1000)
        gc.collect()
        blocks, rss, start = sys.getallocatedblocks(), resident_kib(), \
            time.perf_counter()
        run(obj, body, calls)
        elapsed = time.perf_counter() - start
        gc.collect()
        blocks_after, rss_after = sys.getallocatedblocks(), resident_kib()
    print(f"{name:8} {calls:>9} {blocks:>9} {blocks_after:>9} "
          f"{blocks_after - blocks:>+7} {rss:>9} {rss_after:>9} "
          f"{rss_after - rss:>+7} {elapsed / calls * 1e6:>8.1f}",
          flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--path", action="append", choices=sorted(PATHS))
    args = parser.parse_args()
    print(f"# {time.strftime('%Y-%m-%d')} {platform.machine()} "
          f"{cpu_name()}, {os.cpu_count()} CPUs, "
          f"Python {platform.python_version()}")
    print(f"{'path':8} {'calls':>9} {'blocks':>9} {'after':>9} "
          f"{'growth':>7} {'RSS KiB':>9} {'after':>9} {'growth':>7} "
          f"{'us/call':>8}")
    for name in args.path or list(PATHS):
        soak(name, args.calls)


if __name__ == "__main__":
    main()

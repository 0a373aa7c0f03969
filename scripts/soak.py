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

import factbrief.factbrief as fb


class _Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


class _Obj:
    def __init__(self, **kw):
        self.__dict__.update(kw)


class StandInClient:
    """Takes the place of OpenAI: answers, or raises, without a network."""

    def __init__(self, fail):
        self.fail = fail
        self.response = _Obj(choices=[_Obj(message=_Obj(content="reply"))])

    def __call__(self, base_url, api_key):
        return _Obj(chat=_Obj(completions=_Obj(create=self.create)))

    def create(self, model, messages, stream):
        if self.fail:
            raise ConnectionError("service unreachable")
        return self.response


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

PATHS = {"ok": (False, SERVICE_CALLS), "caught": (True, SERVICE_CALLS),
         "binding": (False, BINDING_CALLS)}


def run(obj, calls, steps):
    for _, call in zip(range(steps), itertools.cycle(calls)):
        call(obj)


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


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
    fail, body = PATHS[name]
    obj = fb.AISummary("http://127.0.0.1:9/v1", "key", "model")
    saved_client, saved_stderr = fb.OpenAI, sys.stderr
    fb.OpenAI, sys.stderr = StandInClient(fail), _Sink()
    try:
        run(obj, body, 1000)
        gc.collect()
        blocks, rss, start = sys.getallocatedblocks(), rss_kib(), \
            time.perf_counter()
        run(obj, body, calls)
        elapsed = time.perf_counter() - start
        gc.collect()
        blocks_after, rss_after = sys.getallocatedblocks(), rss_kib()
    finally:
        fb.OpenAI, sys.stderr = saved_client, saved_stderr
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

"""The same texts through `factbrief extract` on one machine and on Ray:
`--ray local` (a Ray instance started for the run) and a cluster of two
Ray nodes on this machine (started once, before the timings), against
the stand-in answering each request after 0.5 s. Each run is its own
process; the figures are its wall time, start-up included, and the time
from its first record to its last.

    .venv/bin/python bench/cluster_throughput.py [--texts 200] [--rounds 2]

Writes bench/results/cluster_throughput.json, then bench/RESULTS.md again
(bench/report.py adds the section this file renders).
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from factbrief.standin import StandIn

HERE = Path(__file__).resolve().parent
DELAY = 0.5
TEXT = "Report {n}: revenue rose 4% in the quarter, to 6,300 units sold."
FAST_JOBS = 64
ONE = "one machine, `factbrief extract -j {jobs}`"
LOCAL = "`--ray local -j {jobs}`, Ray started for the run"
TWO = "`--ray ADDRESS -j {jobs}`, two Ray nodes on this machine"


class _Lines(threading.Thread):
    """Notes when a file gets its first line and its last."""

    def __init__(self, path):
        super().__init__(daemon=True)
        self.path, self.stop, self.stamps = path, threading.Event(), []

    def run(self):
        seen = 0
        while not self.stop.wait(0.01):
            try:
                count = self.path.read_bytes().count(b"\n")
            except FileNotFoundError:
                continue
            if count > seen:
                seen = count
                self.stamps.append(time.perf_counter())


def timed(command, count, cwd, env, output):
    """(wall seconds, first record to last) of one run, which must give
    `count` "ok" records, on standard output or in `output`."""
    out_path = Path(cwd, output) if output else Path(cwd, "stdout.jsonl")
    out_path.unlink(missing_ok=True)
    watch = _Lines(out_path)
    watch.start()
    start = time.perf_counter()
    with open(out_path, "ab") if not output else open(os.devnull, "wb") \
            as stdout:
        proc = subprocess.run(command, cwd=cwd, env=env, stdout=stdout,
                              stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - start
    time.sleep(0.05)
    watch.stop.set()
    watch.join()
    lines = out_path.read_text(encoding="utf-8").splitlines()
    ok = sum(json.loads(line)["status"] == "ok" for line in lines)
    if proc.returncode != 0 or ok != count:
        raise SystemExit(f"{command[3:8]} failed: {proc.returncode}, "
                         f"{ok}/{count} ok\n{proc.stderr.decode()[-2000:]}")
    return elapsed, watch.stamps[-1] - watch.stamps[0]


def load():
    return os.getloadavg()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--texts", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--jobs", type=int, nargs="+", default=[4, 16])
    parser.add_argument("--fast-texts", type=int, default=1000,
                        help="texts for the driver's own limit, against a "
                             "stand-in that answers at once")
    args = parser.parse_args()
    from ray.cluster_utils import Cluster
    with tempfile.TemporaryDirectory(dir="/tmp", prefix="fbb") as work, \
            StandIn(delay=DELAY) as service:
        for folder, count in (("texts", args.texts),
                              ("many", args.fast_texts)):
            Path(work, folder).mkdir()
            for n in range(count):
                Path(work, folder, f"t{n:04d}.txt").write_text(
                    TEXT.format(n=n), encoding="utf-8")
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("OPENAI_", "FACTBRIEF_", "RAY_"))}
        env.update(OPENAI_BASE_URL=service.base_url,
                   OPENAI_API_KEY="bench-key", FACTBRIEF_MODEL="bench",
                   RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0",
                   RAY_TMPDIR=work)
        os.environ.update(RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0",
                          RAY_TMPDIR=work)
        two = Cluster(initialize_head=True, head_node_args={
            "num_cpus": 1, "include_dashboard": False})
        two.add_node(num_cpus=1)
        two.wait_for_nodes()
        cli = [sys.executable, "-m", "factbrief", "extract"]
        results, loads = {}, [load()]
        try:
            for jobs in args.jobs:
                ways = {
                    ONE: (cli + ["-j", str(jobs), "texts"], None),
                    LOCAL: (cli + ["-j", str(jobs), "--ray", "local",
                                   "--output", "o.jsonl", "texts"],
                            "o.jsonl"),
                    TWO: (cli + ["-j", str(jobs), "--ray", two.address,
                                 "--output", "o.jsonl", "texts"],
                          "o.jsonl")}
                for _ in range(args.rounds):  # the ways take turns
                    for label, (command, output) in ways.items():
                        runs = results.setdefault(label.format(jobs=jobs),
                                                  [])
                        runs.append(timed(command, args.texts, work, env,
                                          output))
                        print(f"{label.format(jobs=jobs)}: "
                              f"{runs[-1][0]:.1f} s", file=sys.stderr)
                    loads.append(load())
            fast = _fast(cli, two.address, args.fast_texts, work, env)
            loads.append(load())
        finally:
            two.shutdown()
    report = {
        "date": time.strftime("%Y-%m-%d"), "texts": args.texts,
        "delay": DELAY, "rounds": args.rounds, "jobs": args.jobs,
        "cpus": os.cpu_count(), "python": platform.python_version(),
        "platform": platform.platform(), "load": loads,
        "fast_texts": args.fast_texts, "fast": fast,
        "results": {label: {"seconds": [w for w, _ in runs],
                            "first_to_last_record": [s for _, s in runs]}
                    for label, runs in results.items()}}
    out = HERE / "results" / "cluster_throughput.json"
    out.write_text(json.dumps(report, indent=1) + "\n")
    print("\n".join(section(report)))
    subprocess.run([sys.executable, str(HERE / "report.py")], check=True)


def _fast(cli, address, count, work, env):
    """Wall seconds of one machine and of two Ray nodes over `count`
    texts, against a stand-in that answers at once: how many texts a
    second one driver handles."""
    with StandIn() as at_once:
        env = {**env, "OPENAI_BASE_URL": at_once.base_url}
        jobs = ["-j", str(FAST_JOBS), "many"]
        return {
            "one": timed(cli + jobs, count, work, env, None)[0],
            "two": timed(cli + ["--ray", address, "--output", "o.jsonl",
                                *jobs], count, work, env, "o.jsonl")[0]}


def section(report):
    """The Markdown section of bench/RESULTS.md for these figures."""
    n, results = report["texts"], report["results"]
    rows = ["| way | wall time | texts/s | texts/s once running | "
            "wall / one machine's |", "|---|---:|---:|---:|---:|"]
    verdicts = []
    for jobs in report["jobs"]:
        alone = statistics.median(results[ONE.format(jobs=jobs)]["seconds"])
        for way in (ONE, LOCAL, TWO):
            r = results[way.format(jobs=jobs)]
            wall = statistics.median(r["seconds"])
            span = statistics.median(r["first_to_last_record"])
            rows.append(f"| {way.format(jobs=jobs)} | {wall:.1f} s | "
                        f"{n / wall:.1f} | {(n - 1) / span:.1f} | "
                        f"{wall / alone:.2f} |")
            if way != ONE:
                verdicts.append(
                    f"- {'Met' if wall / alone <= 1.2 else 'Missed'} at "
                    f"-j {jobs}: {way.format(jobs=jobs)} took "
                    f"{wall / alone:.2f} times one machine's time (goal: "
                    f"at most 1.2).")
    lo, hi = min(map(min, report["load"])), max(map(max, report["load"]))
    count, fast = report["fast_texts"], report["fast"]
    rows += [f"| {count} texts answered at once, one machine, -j "
             f"{FAST_JOBS} | {fast['one']:.1f} s | "
             f"{count / fast['one']:.0f} | | |",
             f"| {count} texts answered at once, two Ray nodes, -j "
             f"{FAST_JOBS} | {fast['two']:.1f} s | "
             f"{count / fast['two']:.0f} | | {fast['two'] / fast['one']:.2f}"
             f" |"]
    return [
        "## Corpora on Ray: texts per second", "",
        f"Measured on {report['date']}: {report['cpus']} CPUs, "
        f"{report['platform']}, Python {report['python']}; load average "
        f"{lo:.1f} to {hi:.1f} during the runs (other work shared the "
        f"machine). {n} small files against the stand-in answering each "
        f"request after {report['delay']:g} s; each way runs as its own "
        f"process, {report['rounds']} times, the ways taking turns "
        f"(medians). *Texts/s* counts the whole process, start-up "
        f"included; *once running* counts from its first record to its "
        f"last. The two-node cluster (one CPU each) is started once "
        f"before the timings, as a cluster would be; `--ray local` "
        f"starts Ray in every run. The last two rows, once each, show how "
        f"many texts a second one driver handles when the service costs "
        f"nothing.", "",
        "Reproduce with `.venv/bin/python bench/cluster_throughput.py` "
        "(after `scripts/setup.sh`).", ""] + rows + [""] + verdicts + [
        "",
        "Once running, Ray keeps --jobs requests in flight as the "
        "single-machine command does, so the texts per second match; "
        "what differs is start-up: starting a Ray instance takes several "
        "seconds, connecting to a running cluster and starting an actor "
        "per node a second or two. Over a corpus of hours, neither "
        "counts.", ""]


if __name__ == "__main__":
    main()

"""Files per second through the `factbrief` command, against a local
stand-in service that answers at once, compared with what a user might
run instead. Each way runs as its own process over the same small files;
the figure is files / wall time of that process, start-up included.

    .venv/bin/python bench/cli_throughput.py [--files 200] [--rounds 3]

Writes bench/results/cli_throughput.json, then bench/RESULTS.md again
(bench/report.py adds the section this file renders).
"""

import argparse
import cProfile
import io
import json
import os
import platform
import pstats
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from baseline import PATTERN
from factbrief.standin import StandIn

HERE = Path(__file__).resolve().parent
TEXT = "Report {n}: revenue rose 4% in the quarter, to 6,300 units sold."

# What a user would write with the openai package alone: one client, a
# thread pool of 16, the same cleaning and message as `extract`.
HAND_WRITTEN = r'''
import json, re, sys
from concurrent.futures import ThreadPoolExecutor
from openai import OpenAI
base_url, key, model, *files = sys.argv[1:]
client = OpenAI(base_url=base_url, api_key=key)
def one(name):
    with open(name, encoding="utf-8") as f:
        content = re.sub(PATTERN, "", f.read())
    reply = client.chat.completions.create(model=model, stream=False,
        messages=[{"role": "user", "content": "200。" + content}])
    return {"file": name, "summary": reply.choices[0].message.content,
            "content": content, "status": "ok"}
with ThreadPoolExecutor(16) as pool:
    for record in pool.map(one, files):
        print(json.dumps(record, ensure_ascii=False))
'''.replace("PATTERN", repr(PATTERN))

# The module's own calls, each building its own client as a library
# caller's does: one after another, or from a thread pool of 16.
MODULE_CALLS = r'''
import json, sys
from concurrent.futures import ThreadPoolExecutor
from factbrief.factbrief import AISummary
jobs, base_url, key, model, *files = sys.argv[1:]
ai = AISummary(base_url, key, model)
def one(name):
    with open(name, encoding="utf-8") as f:
        return {"file": name, **ai.extract(f.read())}
with ThreadPoolExecutor(int(jobs)) as pool:
    for record in pool.map(one, files):
        print(json.dumps(record, ensure_ascii=False))
'''


def ways(url, files):
    settings = ["-u", url, "-k", "bench-key", "-m", "bench-model"]
    cli = [sys.executable, "-m", "factbrief", "extract", *settings]
    plain = [url, "bench-key", "bench-model"]
    return {
        "factbrief --jobs 1": cli + ["--jobs", "1", *files],
        "factbrief --jobs 4 (default)": cli + [*files],
        "factbrief --jobs 16": cli + ["--jobs", "16", *files],
        "hand-written script: one openai client, 16 threads":
            [sys.executable, "-c", HAND_WRITTEN, *plain, *files],
        "module calls, no shared pool, one after another":
            [sys.executable, "-c", MODULE_CALLS, "1", *plain, *files],
        "module calls, no shared pool, 16 threads":
            [sys.executable, "-c", MODULE_CALLS, "16", *plain, *files],
    }


def timed(command, count, cwd):
    """(wall seconds, seconds from the first record to the last) of one
    run, which must give `count` "ok" records."""
    env = {**os.environ, "PYTHONUNBUFFERED": "1"}  # records as they come
    start = time.perf_counter()
    with subprocess.Popen(command, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, cwd=cwd, env=env) as proc:
        stamps, ok = [], 0
        for line in proc.stdout:
            stamps.append(time.perf_counter())
            ok += json.loads(line)["status"] == "ok"
        stderr = proc.stderr.read()
    elapsed = time.perf_counter() - start
    if proc.returncode != 0 or ok != count:
        raise SystemExit(f"{command[:4]} failed: {proc.returncode}, "
                         f"{ok}/{count} ok\n{stderr.decode()[-2000:]}")
    return elapsed, stamps[-1] - stamps[0]


def profile_cli(url, files):
    """Certificate-bundle loads in one in-process run of the command over
    `files`, and the same calls without the shared pool."""
    from factbrief.cli import main
    import factbrief.factbrief as module
    counts = {}
    for label, run in (
            ("factbrief (shared pool)", lambda: main(
                ["extract", "-u", url, "-k", "k", "-m", "m", "-j", "4",
                 *files])),
            ("module calls, no shared pool", lambda: [
                module.AISummary(url, "k", "m").extract("text")
                for _ in files])):
        stdout, sys.stdout = sys.stdout, io.StringIO()
        profile = cProfile.Profile()
        try:
            profile.runcall(run)
        finally:
            sys.stdout = stdout
        stats = pstats.Stats(profile).stats
        counts[label] = sum(
            calls for (_, _, name), (calls, *_rest) in stats.items()
            if "load_verify_locations" in name)
    return counts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work, StandIn() as service:
        files = []
        for n in range(args.files):
            name = f"report{n:04d}.txt"
            Path(work, name).write_text(TEXT.format(n=n), encoding="utf-8")
            files.append(name)
        results = {}
        for label, command in ways(service.base_url, files).items():
            before = service.connections
            runs = [timed(command, len(files), work)
                    for _ in range(args.rounds)]
            results[label] = {
                "seconds": [wall for wall, _ in runs],
                "first_to_last_record": [span for _, span in runs],
                "connections_per_run": (service.connections - before)
                / args.rounds}
            print(f"{label}: {statistics.median(results[label]['seconds']):.2f}"
                  f" s", file=sys.stderr)
        loads = profile_cli(service.base_url,
                            [str(Path(work, f)) for f in files[:50]])
    report = {
        "date": time.strftime("%Y-%m-%d"), "files": args.files,
        "rounds": args.rounds, "cpus": os.cpu_count(),
        "python": platform.python_version(), "platform": platform.platform(),
        "results": results,
        "certificate_loads_for_50_files": loads,
    }
    out = HERE / "results" / "cli_throughput.json"
    out.parent.mkdir(exist_ok=True)
    out.write_text(json.dumps(report, indent=1) + "\n")
    print("\n".join(section(report)))
    subprocess.run([sys.executable, str(HERE / "report.py")], check=True)


CLI = "factbrief --jobs 16"
DEFAULT = "factbrief --jobs 4 (default)"
SCRIPT = "hand-written script: one openai client, 16 threads"
SERIAL = "module calls, no shared pool, one after another"


def section(report):
    """The Markdown section of bench/RESULTS.md for these figures."""
    n = report["files"]
    rates = {}
    rows = ["| way | wall time | files/s | files/s once running | "
            "connections per run |", "|---|---:|---:|---:|---:|"]
    for label, r in report["results"].items():
        wall = statistics.median(r["seconds"])
        span = statistics.median(r["first_to_last_record"])
        rates[label] = (n / wall, (n - 1) / span)
        rows.append(f"| {label} | {wall:.2f} s | {rates[label][0]:.0f} | "
                    f"{rates[label][1]:.0f} | "
                    f"{r['connections_per_run']:.0f} |")
    loads = report["certificate_loads_for_50_files"]

    def verdict(way, other, goal):
        whole, running = (rates[way][i] / rates[other][i] for i in (0, 1))
        met = "Met" if min(whole, running) >= goal else (
            "Partly met" if max(whole, running) >= goal else "Missed")
        return (f"{met}: `{way}` / {other}: {whole:.2f} in files per "
                f"second, {running:.2f} once running (goal: at least "
                f"{goal:g}).")
    return [
        "## The command line: files per second", "",
        f"Measured on {report['date']}: {report['cpus']} CPUs, "
        f"{report['platform']}, Python {report['python']}, the machine "
        f"shared with other work. {n} small files (about 70 bytes each) "
        f"against the local stand-in service, which answers at once; each "
        f"way runs as its own process, {report['rounds']} times (medians). "
        f"*Files/s* counts the whole process, start-up (importing "
        f"`openai`, about a second) included; *once running* counts from "
        f"its first record to its last.", "",
        "Reproduce with `.venv/bin/python bench/cli_throughput.py` (after "
        "`scripts/setup.sh`).", ""] + rows + [
        "",
        f"cProfile over 50 files: `load_verify_locations` (loading the "
        f"certificate bundle, about 45 ms of CPU) runs "
        f"{loads['factbrief (shared pool)']} time(s) in a run of the "
        f"command and {loads['module calls, no shared pool']} times for "
        f"the same calls without the shared pool.", "",
        "- " + verdict(DEFAULT, SCRIPT, 1),
        "- " + verdict(CLI, SCRIPT, 1),
        "- " + verdict(DEFAULT, SERIAL, 10),
        "- " + verdict(CLI, SERIAL, 10),
        "",
        "Against a service that answers at once, each request costs the "
        "`openai` client a few milliseconds of CPU with the interpreter "
        "lock held, in the command as in the hand-written script, so more "
        "threads than the default add little; they pay off when the "
        "service takes its time (see `tests/test_cli.py`, "
        "`test_jobs_overlap_requests`).", ""]


if __name__ == "__main__":
    main()

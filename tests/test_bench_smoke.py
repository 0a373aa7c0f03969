"""The benchmark suite still runs and still compares like with like: the
plain-Python class in bench/ gives the same records and makes the same
client calls as the module on every measured path, and every benchmark
case runs. Times are printed, never checked."""

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BENCH = ROOT / "bench"


def run(args, cwd, timeout=180):
    proc = subprocess.run([sys.executable, *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_smoke_compares_both_classes_and_runs_every_case(tmp_path):
    out = run([BENCH / "run.py", "--smoke"], tmp_path)
    compared = [line for line in out.splitlines()
                if line.startswith("compare")]
    assert len(compared) >= 6
    assert all(line.endswith(" same") for line in compared), out
    ran = {line.split()[1] for line in out.splitlines()
           if line.startswith("run")}
    for name in ("init/ours", "extract_1m/plain", "refined_title_10k/floor",
                 "keywords/ours", "binding_error/plain",
                 "caught_failure/ours", "end_to_end/ours"):
        assert name in ran


@pytest.mark.skipif(importlib.util.find_spec("pyperf") is None,
                    reason="pyperf is not installed")
def test_pyperf_run_and_report(tmp_path):
    results = tmp_path / "results"
    results.mkdir()
    run([BENCH / "run.py", "--debug-single-value", "--quiet",
         "--paired-rounds", "0", "--no-callgrind",
         "--select", "^(binding_error|end_to_end)/ours$",
         "--memory-calls", "0", "-o", results / "timings.json"], tmp_path)
    import pyperf
    names = {b.get_name() for b in pyperf.BenchmarkSuite.load(
        str(results / "timings.json")).get_benchmarks()}
    assert names == {"binding_error/ours", "end_to_end/ours"}
    (results / "memory.json").write_text(json.dumps([]))
    run([BENCH / "report.py", "--results", results,
         "--output", tmp_path / "RESULTS.md"], tmp_path)
    text = (tmp_path / "RESULTS.md").read_text()
    assert "## Time per call" in text
    assert "`extract()`: missing argument" in text

#!/usr/bin/env bash
# Builds factbrief into .venv (scripts/setup.sh), adds the benchmark
# harness, then times the module against the plain-Python class, counts
# instructions under callgrind (when valgrind is installed) and writes
# bench/RESULTS.md. About ten minutes. Extra arguments go to bench/run.py
# (pyperf options); `scripts/bench.sh --smoke` only runs the quick check.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pip install -q "pyperf>=2.6"
if [ "${1:-}" = "--smoke" ]; then
    exec .venv/bin/python bench/run.py --smoke
fi
mkdir -p bench/results
rm -f bench/results/timings.json bench/results/memory.json \
    bench/results/callgrind.json
.venv/bin/python bench/run.py "$@"
if command -v valgrind >/dev/null; then
    .venv/bin/python bench/callgrind_share.py
else
    echo "bench: valgrind not found, instruction counts left out" >&2
fi
.venv/bin/python bench/report.py

#!/usr/bin/env bash
# Builds factbrief into the venv of the chosen Python (FACTBRIEF_PY=3.10 to
# 3.13, default 3.13; scripts/setup.sh), adds the benchmark harness, then
# times the module against the plain-Python class, counts instructions
# under callgrind (when valgrind is installed) and writes bench/RESULTS.md
# from that version's results (bench/results/<version>/), with the
# ours/plain-Python ratios of every version measured so far. About ten
# minutes. Extra arguments go to bench/run.py (pyperf options);
# `scripts/bench.sh --smoke` only runs the quick check.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/versions.sh
scripts/setup.sh
python=$venv/bin/python
"$python" -m pip install -q "pyperf>=2.6"
if [ "${1:-}" = "--smoke" ]; then
    exec "$python" bench/run.py --smoke
fi
results=bench/results/$py_version
mkdir -p "$results"
rm -f "$results"/timings.json "$results"/memory.json \
    "$results"/callgrind.json "$results"/paired.json
# run.py also runs the callgrind count, when valgrind is installed.
"$python" bench/run.py -o "$results/timings.json" "$@"
"$python" bench/report.py --results "$results"

#!/usr/bin/env bash
# The main job through the real local model. Sets up the local service in
# the cache folder ($XDG_CACHE_HOME/factbrief, default ~/.cache/factbrief)
# unless it is there already: builds the server (6 to 20 minutes on 2
# cores) and fetches the model (1.1 GB). Then runs the integration test,
# which starts a server per run and checks the answers, and the main job
# over a few texts on Ray (--ray local --local).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
factbrief=.venv/bin/factbrief
SECONDS=0
trap '"$factbrief" local stop >/dev/null 2>&1 || true' EXIT
"$factbrief" local start
echo "check-local-model: set-up and first start took ${SECONDS} s"
"$factbrief" local status
"$factbrief" local stop
FACTBRIEF_CHECK_LOCAL_MODEL=1 .venv/bin/python -m pytest -v \
    -p no:cacheprovider tests/integration/test_local_model.py
# The main job over a few texts on a Ray instance of this machine: the
# node's actor holds one local server, with as many requests in flight as
# it has slots; every text must get an "ok" record.
corpus=$(mktemp -d)
trap '"$factbrief" local stop >/dev/null 2>&1 || true; rm -rf "$corpus"' EXIT
for n in 1 2 3; do
    { cat examples/sample.txt; echo "($n)"; } > "$corpus/sample$n.txt"
done
"$factbrief" extract --ray local --local --output "$corpus/out.jsonl" \
    "$corpus"
.venv/bin/python - "$corpus/out.jsonl" <<'CHECK'
import json, sys
records = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
assert len(records) == 3, records
assert all(r["status"] == "ok" and r["summary"] for r in records), records
print("check-local-model: --ray local --local: 3 ok records")
CHECK
echo "check-local-model: done in ${SECONDS} s"

#!/usr/bin/env bash
# The main job through the real local model. Sets up the local service in
# the cache folder ($XDG_CACHE_HOME/factbrief, default ~/.cache/factbrief)
# unless it is there already: builds llama.cpp's server (5 to 30 minutes
# on 2 cores) and fetches the model (1.1 GB). Then runs the integration
# test, which starts servers and checks the answers and the server's own
# promises.
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
echo "check-local-model: done in ${SECONDS} s"

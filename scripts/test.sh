#!/usr/bin/env bash
# Builds and installs factbrief into the venv of the chosen Python
# (FACTBRIEF_PY, default 3.13 in .venv), then runs the test suite.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/versions.sh
scripts/setup.sh
exec "$venv/bin/python" -m pytest "$@"

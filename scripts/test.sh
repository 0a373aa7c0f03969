#!/usr/bin/env bash
# Builds and installs factbrief into .venv, then runs the test suite.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec .venv/bin/python -m pytest "$@"

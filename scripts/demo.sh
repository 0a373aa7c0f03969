#!/usr/bin/env bash
# The README's main job: sets up .venv (Python 3.13) and builds factbrief,
# then summarises examples/sample.txt (or the file given) and prints the
# result record. Uses the service named by OPENAI_BASE_URL, OPENAI_API_KEY
# and FACTBRIEF_MODEL when all three are set, else a local stand-in.
# Stays in the caller's directory, so a relative FILE works.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/examples/demo.py" "$@"

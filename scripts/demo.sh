#!/usr/bin/env bash
# The README's main job: sets up .venv (the newest supported Python, 3.13)
# with factbrief and what it needs to run (not the test tools), then
# summarises examples/sample.txt (or the file given) and prints the result
# record.
# Uses the service named by OPENAI_BASE_URL, OPENAI_API_KEY and
# FACTBRIEF_MODEL when all three are set, else the local model (set up in
# the cache folder on the first run); `--demo` uses the stand-in instead.
# Stays in the caller's directory, so a relative FILE works.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
for arg in "$@"; do
    case "$arg" in
        -*) ;;
        *)  if [ ! -f "$arg" ] || [ ! -r "$arg" ]; then
                echo "demo: cannot read $arg: not a readable file" >&2
                exit 2
            fi ;;
    esac
done
"$root/scripts/setup.sh" --main
echo "demo: the factbrief command is $root/.venv/bin/factbrief" >&2
exec "$root/.venv/bin/python" "$root/examples/demo.py" "$@"

#!/usr/bin/env bash
# Prints the path of a working Python 3.10: a python3.10 on PATH that
# really runs (pyenv shims may not), else pyenv's own installation.
set -euo pipefail
for candidate in "${FACTBRIEF_PYTHON:-}" python3.10 \
        "${PYENV_ROOT:-$HOME/.pyenv}/versions/3.10.13/bin/python3.10" \
        /root/.pyenv/versions/3.10.13/bin/python3.10; do
    [ -n "$candidate" ] || continue
    if "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 10)' \
            >/dev/null 2>&1; then
        command -v "$candidate"
        exit 0
    fi
done
for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.10.*/bin/python3.10; do
    if "$candidate" -c 'import sys' >/dev/null 2>&1; then
        echo "$candidate"
        exit 0
    fi
done
echo "factbrief: no working Python 3.10 found" >&2
exit 1

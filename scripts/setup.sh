#!/usr/bin/env bash
# Creates .venv with Python 3.10 (once), installs the build tools and the
# test extra (again whenever pyproject.toml changes), then builds and
# installs factbrief into it. The build directory is kept, so a rebuild
# only compiles what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
python=$(scripts/find-python.sh)
if [ ! -x .venv/bin/python ] ||
        ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 10)' 2>/dev/null; then
    rm -rf .venv
    "$python" -m venv .venv
fi
stamp=.venv/.factbrief-deps
want=$(sha256sum pyproject.toml | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    .venv/bin/python -m pip install -q -U pip
    .venv/bin/python -m pip install -q "scikit-build-core>=0.10" cmake ninja
    .venv/bin/python -m pip install -q --no-build-isolation ".[test,bench]"
    echo "$want" > "$stamp"
else
    .venv/bin/python -m pip install -q --no-build-isolation --no-deps \
        --force-reinstall .
fi

#!/usr/bin/env bash
# Creates the venv of the chosen Python (FACTBRIEF_PY=3.10 to 3.13, default
# 3.13: .venv; others .venv-3.1x) once, installs the build tools and the
# test extra (again whenever pyproject.toml changes), then builds and
# installs factbrief into it. Each version has its own build directory,
# kept, so a rebuild only compiles what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/versions.sh
python=$(scripts/find-python.sh "$py_version")
check="import sys; assert '%d.%d' % sys.version_info[:2] == '$py_version'"
if [ ! -x "$venv/bin/python" ] ||
        ! "$venv/bin/python" -c "$check" 2>/dev/null; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
stamp=$venv/.factbrief-deps
want=$(sha256sum pyproject.toml | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    "$venv/bin/python" -m pip install -q -U pip
    "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja
    "$venv/bin/python" -m pip install -q --no-build-isolation ".[test,bench]"
    echo "$want" > "$stamp"
else
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
        --force-reinstall .
fi

#!/usr/bin/env bash
# Creates the venv of the chosen Python (FACTBRIEF_PY=3.10 to 3.13, default
# 3.13: .venv; others .venv-3.1x) once, installs the build tools and
# factbrief's dependencies (again whenever pyproject.toml changes), then
# builds and installs factbrief into it, only when a source changed since
# the installed build (scripts/source-stamp.sh) or it is missing. Each
# version has its own build directory, kept, so a rebuild only compiles
# what changed.
#
#   scripts/setup.sh          with the test and benchmark tools and Ray
#                             (tests, CI)
#   scripts/setup.sh --main   only what the main job needs (the demo)
set -euo pipefail
cd "$(dirname "$0")/.."
main_only=$([ "${1:-}" = --main ] && echo 1 || echo "")
source scripts/versions.sh
check="import sys; assert '%d.%d' % sys.version_info[:2] == '$py_version'"
if [ ! -x "$venv/bin/python" ] ||
        ! "$venv/bin/python" -c "$check" 2>/dev/null; then
    python=$(scripts/find-python.sh "$py_version")
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip install -q)
# The stamps: the dependencies installed for this pyproject.toml ("main"
# or "all"), and the sources the installed build was made from. A stamp is
# written only after its step succeeded, from what was read before it.
deps_stamp=$venv/.factbrief-deps
source_stamp=$venv/.factbrief-source
project=$(sha256sum pyproject.toml | cut -d' ' -f1)
sources=$(scripts/source-stamp.sh)
have=$(cat "$deps_stamp" 2>/dev/null || true)
case "$have" in
    "$project all") deps_ok=1 ;;
    "$project main") deps_ok=$main_only ;;
    *) deps_ok="" ;;
esac
# The built module in place (not imported: importing it costs a second).
installed() {
    local site=$venv/lib/python$py_version/site-packages
    compgen -G "$site/factbrief/factbrief*.so" >/dev/null
}
if [ -z "$deps_ok" ]; then
    "${pip[@]}" -U pip
    "${pip[@]}" "scikit-build-core>=0.10" cmake ninja
    if [ -n "$main_only" ]; then
        "${pip[@]}" --no-build-isolation .
        echo "$project main" > "$deps_stamp"
    else
        # Ray too, for the cluster tests; where it has no wheel for this
        # Python or machine, they skip.
        "${pip[@]}" --no-build-isolation ".[test,bench,ray]" || {
            echo "setup: Ray cannot be installed here; its tests will skip" >&2
            "${pip[@]}" --no-build-isolation ".[test,bench]"; }
        echo "$project all" > "$deps_stamp"
    fi
    echo "$sources" > "$source_stamp"
elif [ "$(cat "$source_stamp" 2>/dev/null)" != "$sources" ] ||
        ! installed; then
    "${pip[@]}" --no-build-isolation --no-deps --force-reinstall .
    echo "$sources" > "$source_stamp"
fi

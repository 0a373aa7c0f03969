#!/usr/bin/env bash
# Creates the venv of the chosen Python (FACTBRIEF_PY=3.10 to 3.13, default
# 3.13: .venv; others .venv-3.1x) once, installs the build tools and
# factbrief's dependencies (again whenever pyproject.toml changes), then
# builds and installs factbrief into it. Each version has its own build
# directory, kept, so a rebuild only compiles what changed.
#
#   scripts/setup.sh          with the test and benchmark tools and Ray
#                             (tests, CI)
#   scripts/setup.sh --main   only what the main job needs (the demo); skips
#                             the rebuild when no source file changed
set -euo pipefail
cd "$(dirname "$0")/.."
main_only=$([ "${1:-}" = --main ] && echo 1 || echo "")
source scripts/versions.sh
python=$(scripts/find-python.sh "$py_version")
check="import sys; assert '%d.%d' % sys.version_info[:2] == '$py_version'"
if [ ! -x "$venv/bin/python" ] ||
        ! "$venv/bin/python" -c "$check" 2>/dev/null; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip install -q)
# The stamps: the dependencies installed for this pyproject.toml ("main"
# or "all"), and the sources the installed build was made from.
deps_stamp=$venv/.factbrief-deps
source_stamp=$venv/.factbrief-source
project=$(sha256sum pyproject.toml | cut -d' ' -f1)
sources=$( (ls CMakeLists.txt pyproject.toml;
            find src native -type f \( -name '*.cpp' -o -name '*.h' \
                 -o -name '*.py' -o -name '*.pyi' -o -name py.typed \
                 -o -name CMakeLists.txt \)) |
          LC_ALL=C sort | xargs sha256sum | sha256sum | cut -d' ' -f1)
have=$(cat "$deps_stamp" 2>/dev/null || true)
if [ -n "$main_only" ]; then
    case "$have" in
        "$project main" | "$project all") ;;
        *)
            "${pip[@]}" -U pip
            "${pip[@]}" "scikit-build-core>=0.10" cmake ninja
            "${pip[@]}" --no-build-isolation .
            echo "$project main" > "$deps_stamp"
            echo "$sources" > "$source_stamp" ;;
    esac
    if [ "$(cat "$source_stamp" 2>/dev/null)" != "$sources" ] ||
            ! "$venv/bin/python" -c 'import factbrief.factbrief' 2>/dev/null
    then
        "${pip[@]}" --no-build-isolation --no-deps --force-reinstall .
        echo "$sources" > "$source_stamp"
    fi
elif [ "$have" != "$project all" ]; then
    "${pip[@]}" -U pip
    "${pip[@]}" "scikit-build-core>=0.10" cmake ninja
    # Ray too, for the cluster tests; where it has no wheel for this
    # Python or machine, they skip.
    "${pip[@]}" --no-build-isolation ".[test,bench,ray]" || {
        echo "setup: Ray cannot be installed here; its tests will skip" >&2
        "${pip[@]}" --no-build-isolation ".[test,bench]"; }
    echo "$project all" > "$deps_stamp"
    echo "$sources" > "$source_stamp"
else
    "${pip[@]}" --no-build-isolation --no-deps --force-reinstall .
    echo "$sources" > "$source_stamp"
fi

#!/usr/bin/env bash
# Prints one hash of everything an installed build is made from: the C++
# sources and headers and CMake files (native/, CMakeLists.txt, cmake/ if
# any), pyproject.toml, every file of the package under src/ (Python
# sources, stubs, py.typed, data) and scripts/setup.sh, which says how the
# build is made. Content only, with the file names: a touch does not
# change it, an edit, a new file, a rename or a removal does.
# scripts/setup.sh rebuilds when it differs from the installed build's.
#
#   scripts/source-stamp.sh [DIR]   DIR: the checkout (default this one)
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
dirs=()
for d in src native cmake; do
    [ -d "$d" ] && dirs+=("$d")
done
{
    printf '%s\n' CMakeLists.txt pyproject.toml scripts/setup.sh
    find "${dirs[@]}" -type f ! -name '*.pyc' ! -path '*/__pycache__/*'
} | LC_ALL=C sort | xargs -d '\n' sha256sum | sha256sum | cut -d' ' -f1

#!/usr/bin/env bash
# Compiles and links the module with g++ and with clang++ for every
# supported CPython, warnings as errors (the flags of CMakeLists.txt),
# each into its own build directory (build/<compiler>-3.1x). Needs the
# venvs of .ci/test-all-versions.sh for CMake, Ninja and each
# interpreter, and a clang++ of version 15 or later (std::source_location;
# Debian: apt-get install clang-16).
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS=0
source scripts/versions.sh

# The newest clang++ on PATH that is at least version 15.
find_clang() {
    local c major
    for c in $(compgen -c clang++ | sort -t- -k2 -nr | uniq); do
        major=$("$c" -dumpversion 2>/dev/null | cut -d. -f1) || continue
        if [ "${major:-0}" -ge 15 ]; then
            command -v "$c"
            return 0
        fi
    done
    return 1
}
mkdir -p build
clang=$(find_clang) || {
    echo "check-compilers: needs clang++ 15 or later" \
         "(apt-get install clang-16)" >&2
    exit 1
}
status=0
for v in "${supported_versions[@]}"; do
    env=$PWD/$(venv_for "$v")
    if [ ! -x "$env/bin/cmake" ]; then
        echo "check-compilers: no $env;" \
             "run .ci/test-all-versions.sh" >&2
        exit 1
    fi
    for cxx in g++ "$clang"; do
        dir=build/$(basename "$cxx")-$v
        if "$env/bin/cmake" -S . -B "$dir" -G Ninja \
                -DCMAKE_MAKE_PROGRAM="$env/bin/ninja" \
                -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=Release \
                -DPython_EXECUTABLE="$env/bin/python" >"$dir.log" 2>&1 &&
                "$env/bin/cmake" --build "$dir" -j 2 >>"$dir.log" 2>&1; then
            echo "check-compilers: Python $v, $(basename "$cxx"): clean"
        else
            echo "check-compilers: Python $v, $(basename "$cxx"): FAILED" >&2
            cat "$dir.log" >&2
            status=1
        fi
    done
done
echo "check-compilers: $([ "$status" = 0 ] && echo clean || echo FAILED)" \
    "in ${SECONDS} s" >&2
exit "$status"

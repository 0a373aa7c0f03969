#!/usr/bin/env bash
# Builds the wheel and the sdist the way a user or an index would (isolated
# builds, nothing from .venv), installs each into its own fresh virtual
# environment, and checks that the installed package works: the module
# imports from a directory outside the checkout, the console script and
# python -m factbrief answer --help, and a summary runs against the local
# stand-in. Artefacts go to build/packaging/.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS=0
root=$PWD
python=$(scripts/find-python.sh)
out=$root/build/packaging
rm -rf "$out"
mkdir -p "$out/dist"

# A throwaway environment with the build front end only.
"$python" -m venv "$out/tools"
"$out/tools/bin/python" -m pip install -q build
"$out/tools/bin/python" -m build --sdist --outdir "$out/dist" . >"$out/sdist.log"
# Its own build directory: the default one belongs to scripts/setup.sh.
"$out/tools/bin/python" -m pip wheel -q --no-deps -w "$out/dist" \
    --config-settings=build-dir="$out/wheel-build" . >"$out/wheel.log"

wheel=$(ls "$out"/dist/factbrief-*.whl)
sdist=$(ls "$out"/dist/factbrief-*.tar.gz)
tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
case "$(basename "$wheel")" in
    *-"$tag"-"$tag"-linux_*.whl) ;;
    *) echo "check-packaging: unexpected wheel tag: $wheel" >&2; exit 1 ;;
esac
if "$out/tools/bin/python" -m zipfile -l "$wheel" | grep -E '\.(cpp|h) ' >&2
then
    echo "check-packaging: the wheel carries C++ sources" >&2
    exit 1
fi

# Installs $2 into a fresh environment $1 and exercises it from outside the
# checkout, so that the source tree cannot stand in for the installed copy.
try_install() {
    local env=$out/$1 artefact=$2
    "$python" -m venv "$env"
    "$env/bin/python" -m pip install -q "$artefact" >"$out/$1.log"
    mkdir -p "$out/$1-run"
    (
        cd "$out/$1-run"
        "$env/bin/python" -c 'import factbrief.factbrief as m; print(m.__file__)' |
            grep -q "$env/lib/"
        "$env/bin/factbrief" --help >/dev/null
        "$env/bin/python" -m factbrief title --help >/dev/null
        echo "Rivers, lakes and seas." |
            "$env/bin/factbrief" extract --demo 2>/dev/null |
            grep -q '"status": "ok"'
    )
    echo "check-packaging: $(basename "$artefact") installs and runs"
}
try_install from-wheel "$wheel"
try_install from-sdist "$sdist"
echo "check-packaging: done in ${SECONDS} s"

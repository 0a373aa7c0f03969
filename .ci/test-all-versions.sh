#!/usr/bin/env bash
# The whole test suite on every supported CPython, one after the other,
# each in its own venv (.venv-3.10, .venv-3.11, .venv-3.12; the newest in
# .venv, as scripts/test.sh has it). Extra arguments go to pytest. Prints
# the time of each version and fails when any version fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/versions.sh
status=0
summary=()
for v in "${supported_versions[@]}"; do
    echo "test-all-versions: Python $v" >&2
    start=$SECONDS
    result=passed
    FACTBRIEF_PY=$v scripts/test.sh -p no:cacheprovider "$@" ||
        { result=FAILED; status=1; }
    summary+=("Python $v: $result in $((SECONDS - start)) s")
done
printf 'test-all-versions: %s\n' "${summary[@]}" >&2
exit "$status"

#!/usr/bin/env bash
# Prints the path of a working CPython of the version asked for (3.10 to
# 3.13; default $FACTBRIEF_PY, else 3.13, the newest): a python3.X on
# PATH that really runs (a pyenv shim answers only where pyenv selects
# that version), else one installed by pyenv (under $PYENV_ROOT, else
# `pyenv root`, else ~/.pyenv). The path printed is the interpreter's own,
# never a shim's. To use a Python installed elsewhere, put its bin folder
# first on PATH.
set -euo pipefail
if [ $# -gt 0 ]; then
    want=$1
else
    source "$(dirname "$0")/versions.sh"
    want=$py_version
fi
check="import sys; assert '%d.%d' % sys.version_info[:2] == '$want'
print(sys.executable)"
pyenv_root=${PYENV_ROOT:-}
if [ -z "$pyenv_root" ]; then
    pyenv_root=$(pyenv root 2>/dev/null) ||
        pyenv_root=${HOME:+$HOME/.pyenv}
fi
candidates=("python$want")
if [ -n "$pyenv_root" ]; then
    candidates+=("$pyenv_root"/versions/"$want".*/bin/"python$want")
fi
for candidate in "${candidates[@]}"; do
    if found=$("$candidate" -c "$check" 2>/dev/null) && [ -n "$found" ]; then
        echo "$found"
        exit 0
    fi
done
where="no python$want on PATH"
[ -z "$pyenv_root" ] || where+=" and none under $pyenv_root/versions"
echo "factbrief: no working Python $want found: $where" >&2
exit 1

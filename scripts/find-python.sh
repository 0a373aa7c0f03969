#!/usr/bin/env bash
# Prints the path of a working CPython of the version asked for (3.10 to
# 3.13; default 3.13, the newest): $FACTBRIEF_PYTHON when it is that
# version, a python3.X on PATH that really runs (a pyenv shim answers only
# where pyenv selects that version), else pyenv's own installation. The
# path printed is the interpreter's own, never a shim's.
set -euo pipefail
want=${1:-3.13}
check="import sys; assert '%d.%d' % sys.version_info[:2] == '$want'
print(sys.executable)"
root=${PYENV_ROOT:-$HOME/.pyenv}
for candidate in "${FACTBRIEF_PYTHON:-}" "python$want" \
        "$root"/versions/"$want".*/bin/"python$want" \
        /root/.pyenv/versions/"$want".*/bin/"python$want"; do
    [ -n "$candidate" ] || continue
    if found=$("$candidate" -c "$check" 2>/dev/null) && [ -n "$found" ]; then
        echo "$found"
        exit 0
    fi
done
echo "factbrief: no working Python $want found" >&2
exit 1

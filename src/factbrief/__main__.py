"""`python -m factbrief`: the same command as the `factbrief` script."""

import sys

from factbrief.cli import console

if __name__ == "__main__":
    status = console()
    # A Ctrl-C that ended code run from a string (libraries exec source
    # text as they import) leaves a mark by which `python -m` ends by
    # SIGINT instead of with this status, even though the command took
    # the interrupt; running a string clears it.
    exec("None")
    sys.exit(status)

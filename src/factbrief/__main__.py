"""`python -m factbrief`: the same command as the `factbrief` script."""

import sys

from factbrief.cli import console

if __name__ == "__main__":
    sys.exit(console())

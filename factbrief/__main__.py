"""`python -m factbrief`: the same command as the `factbrief` script."""

import sys

from factbrief.cli import main

if __name__ == "__main__":
    sys.exit(main())

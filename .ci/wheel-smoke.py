"""Checks an installed factbrief from wherever it is run: the module loads
without the version warning, from the installed copy, and one call through
the local stand-in returns an "ok" record. Exits non-zero otherwise.
Used by .ci/check-packaging.sh and by cibuildwheel's wheel test."""

import os
import sys
import warnings

warnings.simplefilter("error")  # the version warning would now raise
import factbrief.factbrief as fb  # noqa: E402
from factbrief.standin import StandIn  # noqa: E402

here = os.path.abspath(os.getcwd())
if os.path.abspath(fb.__file__).startswith(here + os.sep):
    sys.exit(f"wheel-smoke: {fb.__file__} is not an installed copy")
with StandIn() as server:
    ai = fb.AISummary(server.base_url, "any-key", "stand-in")
    record = ai.extract("Rivers, lakes and seas.")
if record["status"] != "ok" or record["content"] != "Rivers lakes and seas":
    sys.exit(f"wheel-smoke: unexpected record {record!r}")
print(f"wheel-smoke: Python {sys.version.split()[0]}: {fb.__file__}: ok")

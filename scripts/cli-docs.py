"""Writes docs/cli.md, the command-line reference, from the command's own
`--help` texts; tests/test_cli_docs.py fails when the two drift apart.

    .venv/bin/python scripts/cli-docs.py [--check]
"""

import contextlib
import io
import os
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent.parent / "docs" / "cli.md"
WIDTH = "80"
PAGES = [
    ("factbrief", []),
    ("factbrief extract", ["extract"]),
    ("factbrief title", ["title"]),
    ("factbrief local", ["local"]),
    ("factbrief local start", ["local", "start"]),
]
HEAD = """\
# The `factbrief` command line

Generated from the command's own `--help` (Python 3.13) by
`scripts/cli-docs.py`; do not edit by hand (the suite checks that the two
agree). The README has the commands most used; this page has every option.
"""


def help_of(argv):
    from factbrief.cli.argparser import version
    from factbrief.cli.definition import build_parser
    saved = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = WIDTH  # argparse wraps to the terminal
    out = io.StringIO()
    try:
        with contextlib.redirect_stdout(out), \
                contextlib.suppress(SystemExit):
            build_parser(version()).parse_args([*argv, "--help"])
    finally:
        if saved is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = saved
    return out.getvalue()


def render():
    parts = [HEAD]
    for title, argv in PAGES:
        text = help_of(argv).replace("factbrief (not installed)", "")
        parts += [f"## `{title}`", "", "```text", text.rstrip("\n"), "```",
                  ""]
    return "\n".join(parts)


def main(argv):
    text = render()
    if "--check" in argv:
        same = DOCS.exists() and DOCS.read_text(encoding="utf-8") == text
        print("docs/cli.md is up to date" if same else
              "docs/cli.md differs from --help: run scripts/cli-docs.py")
        return 0 if same else 1
    DOCS.write_text(text, encoding="utf-8")
    print(f"wrote {DOCS}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

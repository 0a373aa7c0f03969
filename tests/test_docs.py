"""The documents a newcomer reads: a README of one screen that opens with
the two commands that work on a fresh machine, and no relative link in
the documents that points at nothing."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", ROOT / "CONTRIBUTING.md",
             ROOT / "CHANGELOG.md", *sorted((ROOT / "docs").glob("*.md"))]

FENCE = re.compile(r"^(```|~~~).*?^\1", re.M | re.S)
CODE = re.compile(r"`[^`\n]*`")
LINK = re.compile(r"\[[^\]\n]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")


def relative_links(text):
    """The link targets of Markdown text that name a file of the tree:
    no web or mail address, no anchor alone; code is not prose."""
    prose = CODE.sub("", FENCE.sub("", text))
    for target in LINK.findall(prose):
        if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):
            continue
        path = target.split("#", 1)[0]
        if path:
            yield path


def test_readme_is_one_screen_opening_with_the_two_commands():
    lines = (ROOT / "README.md").read_text(encoding="utf-8").splitlines()
    assert len(lines) <= 200
    opening = [line.split("#", 1)[0].strip() for line in lines[:10]
               if line.startswith("scripts/")]
    assert opening == ["scripts/demo.sh", "scripts/test.sh"]


@pytest.mark.parametrize("document", DOCUMENTS,
                         ids=lambda p: str(p.relative_to(ROOT)))
def test_every_relative_link_resolves(document):
    text = document.read_text(encoding="utf-8")
    missing = [target for target in relative_links(text)
               if not (document.parent / target).exists()]
    assert missing == []


def test_the_link_reader_skips_what_is_no_file():
    text = ("[a](docs/a.md#part) [b](https://x.org/c.md) [c](#here)\n"
            "`[d](in/code.md)`\n```\n[e](in/fence.md)\n```\n"
            "[f](mailto:a@b.org) [g](<spaced.md> \"title\")")
    assert list(relative_links(text)) == ["docs/a.md", "spaced.md"]

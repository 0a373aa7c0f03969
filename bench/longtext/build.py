"""Checks the long-text set (texts.json beside this file) and writes where
each fact first occurs in its text.

    python bench/longtext/build.py           # check, write "positions"
    python bench/longtext/build.py --check   # check only; 1 if stale

A fact's position is the offset of the first occurrence of any of its
spellings in the text, as a fraction 0..1 of the text's length: a summary
made from the text up to that point cannot hold the fact. The checks:
every text is 20,000 to 60,000 characters long with at least 10 facts,
each found in its own text by bench/quality.py's scoring, and each
quarter of the text holds at least one fact.
"""

import argparse
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
import quality  # noqa: E402

TEXTS = HERE / "texts.json"
MIN_CHARS, MAX_CHARS, MIN_FACTS = 20_000, 60_000, 10


def positions(item):
    """{fact: fraction of the text before its first occurrence}."""
    text, out = item["text"], {}
    for label, spellings in item["facts"].items():
        found = [text.find(s) for s in spellings if s in text]
        out[label] = round(min(found) / len(text), 4) if found else None
    return out


def problems(item):
    """What is wrong with one text of the set; nothing when all is well."""
    bad, text = [], item["text"]
    name = item.get("id", "?")
    if not MIN_CHARS <= len(text) <= MAX_CHARS:
        bad.append(f"{name}: {len(text)} characters")
    if len(item["facts"]) < MIN_FACTS:
        bad.append(f"{name}: {len(item['facts'])} facts")
    scored = quality.score(item, text)
    bad += [f"{name}: not in its own text: {label}"
            for label in scored["missed"]]
    where = positions(item)
    bad += [f"{name}: no spelling occurs as written: {label}"
            for label, at in where.items() if at is None]
    quarters = {int(at * 4) for at in where.values() if at is not None}
    if quarters != {0, 1, 2, 3}:
        bad.append(f"{name}: facts only in quarters "
                   f"{sorted(q + 1 for q in quarters)}")
    return bad


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--texts", type=Path, default=TEXTS)
    p.add_argument("--check", action="store_true")
    args = p.parse_args(argv)
    items = json.loads(args.texts.read_text(encoding="utf-8"))
    bad = [line for item in items for line in problems(item)]
    stale = [item["id"] for item in items
             if item.get("positions") != positions(item)]
    for item in items:
        print(f"{item['id']:<22} {item['lang']}  {len(item['text']):>6} "
              f"characters, {len(item['facts'])} facts at "
              + " ".join(f"{at:.2f}" for at in sorted(
                  v for v in positions(item).values() if v is not None)))
    for line in bad:
        print(f"problem: {line}", file=sys.stderr)
    if args.check:
        for name in stale:
            print(f"stale positions: {name}", file=sys.stderr)
        return 1 if bad or stale else 0
    for item in items:
        item["positions"] = positions(item)
    args.texts.write_text(json.dumps(items, ensure_ascii=False, indent=1)
                          + "\n", encoding="utf-8")
    print(f"wrote {args.texts}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

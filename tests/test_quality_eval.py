"""The evaluation set and its scoring (bench/quality.py): every fact of a
text can be found in the text itself, a summary is scored as a reader
would count, and the script's run through the command ends with the exit
status its floors call for."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest


ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
import quality  # noqa: E402

SET = json.loads(quality.TEXTS.read_text(encoding="utf-8"))


def test_the_set_is_balanced_and_sized():
    langs = [item["lang"] for item in SET]
    assert len(SET) >= 10 and len({item["id"] for item in SET}) == len(SET)
    assert abs(langs.count("zh") - langs.count("en")) <= 2
    assert all(150 <= len(item["text"]) <= 600 for item in SET)
    assert all(len(item["facts"]) >= 4 for item in SET)


@pytest.mark.parametrize("item", SET, ids=[item["id"] for item in SET])
def test_a_text_carries_its_own_facts_and_numbers(item):
    """The original as its own summary: recall 1, nothing foreign."""
    assert quality.score(item, item["text"]) == {
        "facts": len(item["facts"]), "found": len(item["facts"]),
        "missed": [], "foreign_numbers": []}


ITEM = {"text": "In July the output rose 1.3% to 6,300 tonnes; four new "
                "sites opened, 17.90 km apart.",
        "facts": {"rise": ["1.3%"], "output": ["6300 tonnes"],
                  "distance": ["17.90 km", "17.9 km"]}}

SCORES = [
    # (summary, facts missed, numbers not in the original)
    ("Output rose 1.3% to 6,300 tonnes, sites 17.9 km apart.", [], []),
    ("产量增长１.３％，达６３００ tonnes，相距17.90 km。", [], []),
    ("Output rose 13% to 6300 tonnes; 1790 km.", ["rise", "distance"],
     ["13", "1790"]),
    ("It rose 11.3%, or 1.35%, to 6,300 Tonnes.", ["rise", "distance"],
     ["11.3", "1.35"]),
    ("1. rose 1.3%\n2) 6300 tonnes\n3、17.90 km", [], []),
    ("7月，4个新址，相距17.90 km，增长1.3个百分点。", ["rise", "output"], []),
    ("In 2024 output rose by 5 sites.", ["rise", "output", "distance"],
     ["2024", "5"]),
    ("", ["rise", "output", "distance"], []),
]


@pytest.mark.parametrize("summary, missed, foreign", SCORES)
def test_a_summary_is_scored(summary, missed, foreign):
    got = quality.score(ITEM, summary)
    assert (got["missed"], got["foreign_numbers"]) == (missed, foreign)
    assert got["found"] == 3 - len(missed)


def test_the_run_reports_and_keeps_to_its_floors(standin, tmp_path):
    # The stand-in quotes the first 60 characters of the cleaned text, in
    # which 3—5 (an em dash) became 35, a number the text does not hold.
    text = ("河宽3—5公里。2023年粮食产量增长1.3%，播种面积17.90亿亩，测得-52.3℃。"
            + "此后多年没有变化。" * 12 + "单产389.7公斤。")
    items = [{"id": "grain", "lang": "zh", "kind": "statistics",
              "text": text,
              "facts": {"growth": ["1.3%"], "area": ["17.90亿亩"],
                        "cold": ["-52.3"], "yield": ["389.7"]}}]
    texts = tmp_path / "texts.json"
    texts.write_text(json.dumps(items, ensure_ascii=False), "utf-8")
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "FACTBRIEF_"))}
    env["OPENAI_API_KEY"] = "sk-quality-test"

    def run(*floors):
        out = tmp_path / "quality.json"
        proc = subprocess.run(
            [sys.executable, str(ROOT / "bench" / "quality.py"),
             "--texts", str(texts), "-o", str(out), "--label", "t",
             "--base-url", standin.base_url, "--model", "m", *floors],
            env=env, capture_output=True, text=True, timeout=120)
        return proc, json.loads(out.read_text("utf-8"))

    proc, report = run("--min-recall", "0.75", "--max-foreign-numbers", "1")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    [row] = report["texts"]
    assert row["status"] == "ok" and row["missed"] == ["yield"]
    assert row["foreign_numbers"] == ["35"]
    assert row["seconds"] > 0
    assert report["totals"]["recall"] == 0.75
    assert "recall 0.750 (3/4), 1 number(s) not in the original" in (
        proc.stdout)
    assert "sk-quality-test" not in proc.stdout + proc.stderr

    proc, _ = run("--min-recall", "0.8", "--max-foreign-numbers", "0")
    assert proc.returncode == 1
    assert "recall 0.750 is below 0.8" in proc.stderr
    assert "1 number(s) not in the original, more than 0" in proc.stderr


# ---- the numbers check on the kept summaries ----

CHECKED = json.loads((ROOT / "bench" / "grounding" /
                      "real-summaries-checked.json").read_text("utf-8"))
KEPT = sorted(p for p in (ROOT / "bench" / "results").glob("quality-*.json")
              if p.name.startswith(("quality-after", "quality-local")))


def test_every_flag_on_the_kept_summaries_was_checked_by_hand():
    """The verdicts in bench/RESULTS.md are of the flags the check gives
    today: a change to the check that adds or drops a flag on a real
    summary shows here, to be read by hand again."""
    by_id = {item["id"]: item for item in SET}
    verdicts = {(s["run"], s["text"]): [(f["number"], f["verdict"])
                                        for f in s["flags"]]
                for s in CHECKED["summaries"]}
    assert KEPT
    for path in KEPT:
        run = path.stem.removeprefix("quality-")
        for row in json.loads(path.read_text("utf-8"))["texts"]:
            flags = quality.score(by_id[row["id"]],
                                  row["summary"])["foreign_numbers"]
            assert row["foreign_numbers"] == flags, (run, row["id"])
            checked = verdicts.pop((run, row["id"]), [])
            assert [n for n, _ in checked] == flags, (run, row["id"])
            assert all(v == "true" for _, v in checked), (run, row["id"])
    assert not verdicts


def test_rescore_scores_the_kept_summaries_again_in_place(tmp_path):
    item = SET[0]
    report = {"label": "x", "date": "2026-01-01 00:00", "totals": {},
              "texts": [
                  {"id": item["id"], "lang": item["lang"], "status": "ok",
                   "seconds": 2.0, "summary": item["text"] + " 12345",
                   "facts": 0, "found": 0, "missed": [],
                   "foreign_numbers": ["stale"]},
                  {"id": SET[1]["id"], "lang": SET[1]["lang"],
                   "status": "error", "seconds": None, "summary": None,
                   "facts": 0, "found": 0, "missed": [],
                   "foreign_numbers": ["stale"]}]}
    path = tmp_path / "quality-x-1.json"
    path.write_text(json.dumps(report), "utf-8")
    proc = subprocess.run([sys.executable, str(ROOT / "bench" / "quality.py"),
                           "--rescore", str(path)], capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 1, proc.stdout + proc.stderr  # one failed
    got = json.loads(path.read_text("utf-8"))
    first, second = got["texts"]
    assert first["foreign_numbers"] == ["12345"]
    assert first["found"] == first["facts"] == len(item["facts"])
    assert second["foreign_numbers"] == [] and second["found"] == 0
    assert got["totals"]["foreign_numbers"] == 1
    assert got["totals"]["failed"] == 1 and got["label"] == "x"

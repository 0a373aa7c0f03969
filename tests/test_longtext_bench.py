"""The long-text set and its benchmark (bench/longtext.py): every text is
long enough, carries its own facts spread over its length, and the
driver sends what each mode should, scores it, and reports failures."""

import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from factbrief.splitting import split_text

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "bench" / "longtext"))
import build  # noqa: E402
import longtext  # noqa: E402

SET = json.loads(longtext.TEXTS.read_text(encoding="utf-8"))


def test_the_set_has_both_languages_and_long_texts():
    langs = [item["lang"] for item in SET]
    assert len(SET) >= 3 and {"zh", "en"} <= set(langs)
    assert len({item["id"] for item in SET}) == len(SET)


@pytest.mark.parametrize("item", SET, ids=[item["id"] for item in SET])
def test_a_text_is_sound_and_its_positions_are_current(item):
    assert build.problems(item) == []
    assert item["positions"] == build.positions(item)


# A stand-in for `factbrief extract`: it answers each file with the text
# it was sent plus a number no text holds, logs what it got, and fails on
# a file whose name holds "broken".
FAKE = textwrap.dedent('''
    import json, sys
    from pathlib import Path
    argv = sys.argv[1:]
    files = [a for a in argv if a.endswith(".txt")]
    log = Path(__file__).with_suffix(".log")
    for name in files:
        text = Path(name).read_text(encoding="utf-8")
        with log.open("a", encoding="utf-8") as f:
            f.write(json.dumps({"argv": argv, "file": Path(name).name,
                                "text": text}) + "\\n")
        if "broken" in name:
            sys.exit(1)
        record = {"status": "ok", "summary": text + " 31415926"}
        if "--split" in argv:
            record["parts"] = 3
        print(json.dumps(record, ensure_ascii=False))
''')


def run_driver(tmp_path, *options, items=SET):
    fake = tmp_path / "fake.py"
    fake.write_text(FAKE, encoding="utf-8")
    texts = tmp_path / "texts.json"
    texts.write_text(json.dumps(items, ensure_ascii=False), "utf-8")
    out = tmp_path / "out.json"
    proc = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "longtext.py"),
         "--texts", str(texts), "-o", str(out),
         "--factbrief", sys.executable, str(fake), *options],
        capture_output=True, text=True, timeout=300)
    log = [json.loads(line) for line in
           fake.with_suffix(".log").read_text("utf-8").splitlines()]
    fake.with_suffix(".log").unlink()
    return proc, json.loads(out.read_text("utf-8")), log


def test_split_mode_sends_whole_texts_with_split(tmp_path):
    proc, report, log = run_driver(tmp_path, "--part-chars", "9000",
                                   "--jobs", "2")
    assert proc.returncode == 0, proc.stderr
    assert [entry["text"] for entry in log] == [i["text"] for i in SET]
    argv = log[0]["argv"]
    assert argv[:5] == ["extract", "--jobs", "2", "--length", "200"]
    assert {"--split", "--local"} <= set(argv)
    assert argv[argv.index("--part-chars") + 1] == "9000"
    for item, row in zip(SET, report["texts"]):
        assert (row["found"], row["parts"]) == (row["facts"], 3)
        assert row["unsupported_numbers"] == ["31415926"]
        assert row["found_beyond_first_part"] == row["beyond_first_part"]
        assert row["parts_at_limit"] == len(split_text(item["text"], 9000))
    totals = report["totals"]
    assert totals["recall"] == 1.0 and totals["parts"] == 3 * len(SET)


def test_first_part_mode_sends_the_first_part_only(tmp_path):
    proc, report, log = run_driver(tmp_path, "--mode", "first-part")
    assert proc.returncode == 0, proc.stderr
    assert "--split" not in log[0]["argv"]
    for item, entry, row in zip(SET, log, report["texts"]):
        limit = longtext.LOCAL_PART_CHARS[item["lang"]]
        assert entry["text"] == split_text(item["text"], limit)[0]
        assert row["sent_chars"] == len(entry["text"]) < len(item["text"])
        # What lies past the first part cannot be in a summary of it.
        assert row["beyond_first_part"] > 0
        assert row["found_beyond_first_part"] == 0
        assert row["found"] == row["facts"] - row["beyond_first_part"]
        assert row["parts"] == 1
    assert report["label"] == "first-part"


def test_a_text_without_a_record_fails_the_run(tmp_path):
    broken = dict(SET[0], id="broken")
    proc, report, _ = run_driver(tmp_path, items=[broken, SET[1]])
    assert proc.returncode == 1
    first, second = report["texts"]
    assert first["status"] == "no record" and "exit status 1" in (
        first["error"])
    assert (first["found"], first["parts"]) == (0, None)
    assert second["status"] == "ok" and report["totals"]["failed"] == 1


def test_the_numbers_check_uses_grounding_when_present(monkeypatch):
    monkeypatch.setitem(sys.modules, "factbrief.grounding", None)
    assert longtext.unsupported_numbers(
        "It rose 7.5% in 2023 to 6,300 t.", "In 2023 it was 6300 t.") == (
        ["7.5"], "bench/quality.py")
    fake = type(sys)("factbrief.grounding")
    fake.unsupported_numbers = lambda summary, original: [12, "3.5"]
    monkeypatch.setitem(sys.modules, "factbrief.grounding", fake)
    assert longtext.unsupported_numbers("x", "y") == (
        ["12", "3.5"], "factbrief.grounding")


def test_the_runs_render_side_by_side(tmp_path):
    results = tmp_path / "results"
    results.mkdir()
    for mode in ("split", "first-part"):
        proc, report, _ = run_driver(tmp_path, "--mode", mode)
        (results / f"longtext-{mode}.json").write_text(json.dumps(report))
    lines = longtext.section(results)
    assert lines[0] == "## Long texts: split, or the first part only"
    rows = [line for line in lines if line.startswith("| ")]
    assert len(rows) == 2 + len(SET)        # head, texts, all
    assert "found, split" in rows[0] and "found, first-part" in rows[0]
    assert longtext.section(tmp_path / "none") == []

"""--split and the Python API's split: a text too long for one request
is answered in parts and then as a whole, in order, with nothing
half-answered; without it, a text over the local model's context is
refused in one line before anything is sent."""

import json

import pytest

import factbrief
import factbrief.standin as standin_module
from factbrief.engine import Engine, PartLimit
from support import local
from support.cli import settings_for
from factbrief.local.cache import Cache
from factbrief.splitting import split_text

PARAGRAPHS = [f"第{n}段：长江全长约6,300公里，流域面积约180万平方公里。" * 3
              for n in range(1, 7)]
LONG = "\n\n".join(PARAGRAPHS)


def sent(server):
    """The user messages the service received, in order of arrival."""
    return [body["messages"][-1]["content"] for body in server.received]


def test_a_long_text_is_answered_in_parts_then_whole(cli, standin, tmp_path):
    (tmp_path / "long.txt").write_text(LONG, encoding="utf-8")
    result = cli(["extract", "--split", "--part-chars", "200", "long.txt"],
                 settings_for(standin.base_url))
    assert result.returncode == 0, result.stderr
    [record] = result.records
    parts = record["parts"]
    assert parts == len(split_text(LONG, 200)) >= 3
    messages = sent(standin)
    final = messages[-1]
    # The summaries, over 200 characters together, were summarised again
    # in groups first (the stand-in's do not shrink, so once).
    assert len(messages) > parts + 1
    # The last request holds the parts' summaries in the text's order.
    starts = [final.find(f"第{n}段") for n in range(1, 7)]
    found = [s for s in starts if s >= 0]
    assert found == sorted(found) and len(found) >= parts
    assert record["status"] == "ok" and record["unsupported_numbers"] == []
    whole = cli(["extract", "--split", "long.txt"],  # 12,000 by default
                settings_for(standin.base_url))
    assert "parts" not in whole.records[0]


def test_a_failing_part_fails_the_text_and_is_named(cli, standins, tmp_path,
                                                    monkeypatch):
    server = standins()
    real = standin_module.answer_for

    def refuse_the_third(text):
        if "第3段" in text.rpartition("\u3002")[2][:8]:
            raise RuntimeError("the stand-in breaks on purpose")
        return real(text)
    monkeypatch.setattr(standin_module, "answer_for", refuse_the_third)
    (tmp_path / "long.txt").write_text(LONG, encoding="utf-8")
    result = cli(["extract", "--split", "--part-chars", "90",
                  "--max-retries", "0", "long.txt"],
                 settings_for(server.base_url))
    assert result.returncode == 1
    [record] = result.records
    assert record["status"] == "error" and record["summary"] == ""
    third = next(n for n, part in enumerate(split_text(LONG, 90), 1)
                 if part.startswith("第3段"))
    assert record["error"].startswith(f"part {third} of "
                                      f"{len(split_text(LONG, 90))} failed")
    assert "parts" not in record


def test_the_api_splits_and_refuses_alike(client_env, standin):
    got = list(factbrief.extract_many([LONG, "short"], standin.base_url,
                                      "key", "m", split=True,
                                      part_chars=200))
    assert got[0]["parts"] >= 3 and "parts" not in got[1]
    assert [r["status"] for r in got] == ["ok", "ok"]
    before = len(standin.received)
    with Engine(standin.base_url, "key", "m",
                limit=PartLimit(100, "tokens", strict=True)) as engine:
        outcome = engine.answer(LONG)
    assert outcome.record["status"] == "error"
    assert "--split" in outcome.reason and "nothing was sent" in \
        outcome.reason
    assert len(standin.received) == before


@pytest.fixture
def home(tmp_path):
    local.install_fake(Cache(tmp_path / "home" / "factbrief"), tmp_path)
    (tmp_path / "m.gguf").write_bytes(b"GGUF, but only the name counts")
    # 2 characters a token: over the 4,096 tokens a request may carry.
    (tmp_path / "long.txt").write_text("长江" * 5000, encoding="utf-8")
    return tmp_path / "home"


def test_over_the_local_context_needs_split(home):
    cwd = home.parent
    refused = local.run(["extract", "--model-file", "m.gguf", "long.txt"],
                        home, cwd=cwd)
    assert refused.returncode == 1
    [record] = [json.loads(line) for line in refused.stdout.splitlines()]
    assert "give --split" in record["error"]
    assert [line for line in refused.stderr.splitlines()
            if "long.txt" in line] == [f"factbrief: long.txt: "
                                       f"{record['error']}"]
    split = local.run(["extract", "--model-file", "m.gguf", "--split",
                       "long.txt"], home, cwd=cwd)
    assert split.returncode == 0, split.stderr
    [record] = [json.loads(line) for line in split.stdout.splitlines()]
    assert record["parts"] == 2  # 5,000 tokens in parts of at most ~4,000

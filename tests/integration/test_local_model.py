"""The main job through the real local model: `extract` and `title` of
examples/sample.txt with `--local`, checked for what a 1.5B model can be
held to. Needs the model and its server (set up on first use, about 1.4 GB
and up to 20 minutes): scripts/check-local-model.sh runs it."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(
    os.environ.get("FACTBRIEF_CHECK_LOCAL_MODEL") != "1",
    reason="needs the local model: scripts/check-local-model.sh runs it")

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample.txt"
CJK = re.compile(r"[\u4e00-\u9fff]")


def factbrief(*args):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "FACTBRIEF_"))}
    result = subprocess.run([sys.executable, "-m", "factbrief", *args],
                            env=env, capture_output=True, text=True,
                            timeout=1800)
    assert result.returncode == 0, result.stderr
    [line] = result.stdout.splitlines()
    return json.loads(line), result.stderr


def test_extract_summarises_the_sample_in_chinese_repeatably():
    record, log = factbrief("extract", "--local", str(SAMPLE))
    assert "not a language model" not in log
    assert record["status"] == "ok"
    summary = record["summary"]
    assert summary and len(CJK.findall(summary)) >= 20, summary
    assert "6300" in summary.replace(",", "").replace("，", "")
    assert "长江" in summary
    # Temperature 0 on the server: a new server process, the same answer.
    again, _ = factbrief("extract", "--local", str(SAMPLE))
    assert again["summary"] == summary


def test_title_gives_a_title():
    instruction = "请为下面的文字拟一个简短的中文标题，只输出标题"
    record, _ = factbrief("title", "--local", "--prompt", instruction,
                          str(SAMPLE))
    assert record["status"] == "ok"
    assert record["title"] and record["title"].strip()

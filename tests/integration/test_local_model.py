"""The main job through the real local model: `extract` and `title` of
examples/sample.txt with `--local`, checked for what a 1.5B model can be
held to, and the same answer to the same text at the default slots; and the server's own promises: /health, its key, its defaults
(temperature 0, answers bounded by -n), and a too-long text refused in a
record. Needs the model and its server (set up on first use, about 1.1 GB
and up to 15 minutes): .ci/check-local-model.sh runs it."""

import json
import os
import re
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

import pytest

from factbrief.local import process, service
from factbrief.local.cache import Cache
from factbrief.local.progress import Progress

pytestmark = pytest.mark.skipif(
    os.environ.get("FACTBRIEF_CHECK_LOCAL_MODEL") != "1",
    reason="needs the local model: .ci/check-local-model.sh runs it")

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "sample.txt"
CJK = re.compile(r"[\u4e00-\u9fff]")
QUIET = Progress(open(os.devnull, "w"))


def _environment():
    """This one without service settings: FACTBRIEF_LOCAL_SLOTS unset, so
    runs are at the default slots."""
    return {k: v for k, v in os.environ.items()
            if not k.startswith(("OPENAI_", "FACTBRIEF_"))}


def factbrief(*args, status=0):
    result = subprocess.run([sys.executable, "-m", "factbrief", *args],
                            env=_environment(), capture_output=True,
                            text=True, timeout=1800)
    assert result.returncode == status, result.stderr
    [line] = result.stdout.splitlines()
    return json.loads(line), result.stderr


def test_extract_summarises_the_sample_in_chinese_repeatably(tmp_path):
    record, log = factbrief("extract", "--local", str(SAMPLE))
    assert "not a language model" not in log
    # At the default: a server of its own for the run, one slot.
    assert re.search(r"serves at \S+ for this run \(1 at once\)", log), log
    assert record["status"] == "ok"
    summary = record["summary"]
    assert summary and len(CJK.findall(summary)) >= 20, summary
    assert "6300" in summary.replace(",", "").replace("，", "")
    assert "长江" in summary
    # Temperature 0 and one request at a time: the same text, the same
    # answer, from a new server process and from the same one twice.
    # (Served in a batch with other texts it may differ: a batch takes
    # other kernels than one alone, so the rounding differs.)
    copy = tmp_path / "sample.txt"
    copy.write_bytes(SAMPLE.read_bytes())
    result = subprocess.run(
        [sys.executable, "-m", "factbrief", "extract", "--local",
         str(SAMPLE), str(copy)], env=_environment(), capture_output=True,
        text=True, timeout=1800)
    assert result.returncode == 0, result.stderr
    assert "(1 at once)" in result.stderr
    again = [json.loads(line)["summary"] for line in
             result.stdout.splitlines()]
    assert again == [summary, summary]


def test_title_from_a_model_file_named_like_an_option(tmp_path):
    _, model, _ = service.prepare(Cache.default(), QUIET)
    odd = tmp_path / "-qwen.gguf"
    odd.symlink_to(model)
    instruction = "请为下面的文字拟一个简短的中文标题，只输出标题"
    record, log = factbrief("title", f"--model-file={odd}", "--prompt",
                            instruction, str(SAMPLE))
    assert "the local model -qwen serves" in log
    assert record["status"] == "ok"
    assert record["title"] and record["title"].strip()


def test_a_text_too_long_for_a_slot_gets_an_error_record(tmp_path):
    long = tmp_path / "long.txt"
    # About 9,900 tokens as the server counts them: refused before it is
    # sent, in a line that names --split, not with the server's HTTP 400.
    long.write_text(SAMPLE.read_text(encoding="utf-8") * 60,
                    encoding="utf-8")
    record, log = factbrief("extract", "--local", str(long), status=1)
    assert record["status"] == "error"
    assert re.fullmatch(r"the text is [\d,]+ tokens with the instruction, "
                        r"over the [\d,]+ one request may carry: give "
                        r"--split to summarise it in parts \(nothing was "
                        r"sent\)", record["error"])
    assert f"factbrief: {long}: {record['error']}" in log


def ask(server, key, body):
    request = urllib.request.Request(
        f"{server.base_url}/chat/completions",
        data=json.dumps(body).encode(),
        headers={"Content-Type": "application/json",
                 "Authorization": f"Bearer {key}"})
    with urllib.request.urlopen(request, timeout=600) as r:
        return json.load(r)


def test_the_server_health_key_and_defaults(tmp_path):
    executable, model, name = service.prepare(Cache.default(), QUIET)
    essay = {"messages": [{"role": "user", "content":
                           "Write a long essay about rivers."}],
             "model": name}
    with process.ServerProcess(executable, model, name, tmp_path / "log",
                               slots=2, max_tokens=16) as server:
        server.wait_ready(QUIET)
        with urllib.request.urlopen(
                server.base_url.removesuffix("/v1") + "/health") as r:
            assert json.load(r) == {"status": "ok"}
        with pytest.raises(urllib.error.HTTPError) as refused:
            ask(server, "not-the-key", essay)
        assert refused.value.code == 401
        # Neither temperature nor max_tokens given: -n bounds the answer,
        # and temperature 0 repeats it, though the prompt was seen before.
        first = ask(server, server.api_key, essay)
        again = ask(server, server.api_key, {**essay, "temperature": None})
    assert first["usage"]["completion_tokens"] == 16
    assert first["choices"][0]["finish_reason"] == "length"
    assert again["choices"][0]["message"]["content"] == \
        first["choices"][0]["message"]["content"]

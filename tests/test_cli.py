"""The `factbrief` command, run as `python -m factbrief` in a subprocess
against local services: the stand-in, and one that rejects every request.

Each run gets an environment without any OPENAI_* or FACTBRIEF_* variable
(the openai client reads several) plus what the test sets, and runs in an
empty directory, so the installed package is what runs.
"""

import json
import os
import pty
import re
import shutil
import subprocess
import sys
import threading
import urllib.error
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from factbrief.standin import StandIn

ROOT = Path(__file__).resolve().parents[1]
KEY = "sk-factbrief-test-7f3a9c1e5b"
MODEL = "test-model"
SETTINGS = {"OPENAI_BASE_URL": "--base-url", "OPENAI_API_KEY": "--api-key",
            "FACTBRIEF_MODEL": "--model"}
TEXTS = {"zh.txt": "长江是中国最长的河流，全长约6300公里。",
         "en.txt": "The Yangtze is about 6,300 km long!"}


def cleaned(text):
    return re.sub(r"[^\w\s]", "", text)


def run(args, tmp_path, env=None, stdin=b"", command=("-m", "factbrief")):
    base = {k: v for k, v in os.environ.items()
            if not k.startswith(("OPENAI_", "FACTBRIEF_"))}
    return subprocess.run(
        [sys.executable, *command, *args], input=stdin,
        env={**base, **(env or {})}, cwd=tmp_path, capture_output=True,
        timeout=60)


def records(result):
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


def settings_for(url):
    return {"OPENAI_BASE_URL": url, "OPENAI_API_KEY": KEY,
            "FACTBRIEF_MODEL": MODEL}


@pytest.fixture
def standin():
    with StandIn() as server:
        yield server


@pytest.fixture
def files(tmp_path):
    for name, text in TEXTS.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    return list(TEXTS)


class _Rejecting(BaseHTTPRequestHandler):
    """400 for everything, echoing the credential as some services do."""

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        key = self.headers.get("Authorization", "").removeprefix("Bearer ")
        body = json.dumps({"error": {
            "message": f"Incorrect API key provided: {key}",
            "type": "invalid_request_error"}}).encode()
        self.send_response(400)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture
def rejecting():
    server = ThreadingHTTPServer(("127.0.0.1", 0), _Rejecting)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/v1"
    server.shutdown()
    server.server_close()
    thread.join()


def test_one_file(tmp_path, standin, files):
    result = run(["extract", "zh.txt"], tmp_path,
                 settings_for(standin.base_url))
    assert result.returncode == 0, result.stderr
    [record] = records(result)
    assert list(record) == ["file", "summary", "content", "status"]
    assert record["file"] == "zh.txt"
    assert record["content"] == cleaned(TEXTS["zh.txt"])
    assert record["status"] == "ok"
    assert "stand-in" in record["summary"]
    assert "长江是中国".encode() in result.stdout  # UTF-8, not \u escapes
    [request] = standin.received
    assert request["model"] == MODEL
    assert request["messages"][0]["content"].endswith(record["content"])


def test_several_files_one_line_each_in_order(tmp_path, standin, files):
    result = run(["extract", "--length", "50", *files], tmp_path,
                 settings_for(standin.base_url))
    assert result.returncode == 0, result.stderr
    assert [r["file"] for r in records(result)] == files
    assert [r["content"] for r in records(result)] == [
        cleaned(TEXTS[name]) for name in files]
    assert result.stderr == b""  # not a terminal: no progress bar
    assert all("50" in r["messages"][0]["content"] for r in standin.received)


def test_standard_input_and_title(tmp_path, standin):
    text = "Rivers, lakes & seas"
    result = run(["title", "--prompt", "Give a title"], tmp_path,
                 settings_for(standin.base_url), stdin=text.encode())
    assert result.returncode == 0, result.stderr
    [record] = records(result)
    assert list(record) == ["title", "content", "status"]
    assert record["content"] == "Rivers lakes  seas"
    [request] = standin.received
    assert request["messages"][0]["content"] == (
        "Give a title\u3002Rivers lakes  seas")


def test_failing_service_gives_status_1(tmp_path, rejecting, files):
    result = run(["extract", *files], tmp_path, settings_for(rejecting))
    assert result.returncode == 1
    assert [r["status"] for r in records(result)] == ["error", "error"]
    assert records(result)[0] == {"file": files[0], "summary": "",
                                  "content": "", "status": "error"}
    stderr = result.stderr.decode()
    assert "openai.BadRequestError" in stderr  # the module's traceback
    assert f"factbrief: {files[0]}: the service call failed" in stderr


def test_unreadable_file_fails_alone(tmp_path, standin, files):
    result = run(["extract", "missing.txt", files[0]], tmp_path,
                 settings_for(standin.base_url))
    assert result.returncode == 1
    assert [r["status"] for r in records(result)] == ["error", "ok"]
    assert "cannot read missing.txt" in result.stderr.decode()


@pytest.mark.parametrize("missing", list(SETTINGS))
def test_missing_setting_gives_status_2(tmp_path, standin, missing):
    env = settings_for(standin.base_url)
    del env[missing]
    result = run(["extract", "-"], tmp_path, env, stdin=b"text")
    assert result.returncode == 2
    assert result.stdout == b""
    [line] = result.stderr.decode().splitlines()
    assert missing in line and SETTINGS[missing] in line
    assert standin.received == []


@pytest.mark.parametrize("args", [["extract", "--length", "many"],
                                  ["title", "-"],  # no --prompt
                                  ["summarise"], []])
def test_usage_errors_give_status_2(tmp_path, args):
    result = run(args, tmp_path)
    assert result.returncode == 2
    assert len(result.stderr.decode().splitlines()) == 1


def test_key_never_printed(tmp_path, rejecting, standin, files):
    """Not even when the service's error message quotes it."""
    given = ["--api-key", KEY, "--base-url"]
    runs = [run(["extract", *given, rejecting, *files], tmp_path,
                {"FACTBRIEF_MODEL": MODEL}),
            run(["extract", *given, standin.base_url, *files], tmp_path,
                {"FACTBRIEF_MODEL": MODEL}),
            run(["extract", "--length", KEY], tmp_path,
                {"OPENAI_API_KEY": KEY}),
            run(["extract", "x"], tmp_path, {"OPENAI_API_KEY": KEY})]
    assert [r.returncode for r in runs] == [1, 0, 2, 2]
    assert "Incorrect API key provided: ***" in runs[0].stderr.decode()
    for result in runs:
        assert KEY.encode() not in result.stdout + result.stderr


def test_demo_needs_no_settings(tmp_path, files):
    result = run(["extract", "--demo", files[0]], tmp_path)
    assert result.returncode == 0, result.stderr
    assert "local stand-in" in result.stderr.decode()
    assert records(result)[0]["status"] == "ok"
    assert run(["extract", "--demo", "--base-url", "http://x", files[0]],
               tmp_path).returncode == 2


def test_progress_on_a_terminal(tmp_path, standin, files):
    main, child = pty.openpty()
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "FACTBRIEF_"))}
    with subprocess.Popen(
            [sys.executable, "-m", "factbrief", "extract", *files],
            env={**env, **settings_for(standin.base_url)}, cwd=tmp_path,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=child) as proc:
        os.close(child)
        stdout = proc.stdout.read()
        shown = b""
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:  # the child side has closed
                break
            if not chunk:
                break
            shown += chunk
        os.close(main)
    assert proc.returncode == 0
    assert b"2/2 en.txt" in shown
    assert len(stdout.decode().splitlines()) == 2  # stdout stays clean


def test_console_script(tmp_path):
    script = shutil.which("factbrief", path=Path(sys.executable).parent)
    if script is None:
        pytest.skip("the factbrief console script is not installed")
    result = subprocess.run([script, "--help"], capture_output=True,
                            cwd=tmp_path, timeout=60)
    assert result.returncode == 0
    assert b"extract" in result.stdout and b"title" in result.stdout


def test_readme_demo_uses_the_standin_on_request(tmp_path):
    # Without settings the demo asks the local model (set up on first use:
    # tests/integration); --demo is the quick round trip.
    result = run(["--demo"], tmp_path,
                 command=[str(ROOT / "examples" / "demo.py")])
    assert result.returncode == 0, result.stderr
    assert "local stand-in" in result.stderr.decode()
    record = json.loads(result.stdout)
    assert record["status"] == "ok" and "长江" in record["content"]


@pytest.mark.parametrize("path, body, status", [
    ("/v1/chat/completions", {"messages": [], "model": "m"}, 400),
    ("/v1/chat/completions", {"stream": True, "messages": [
        {"role": "user", "content": "x"}]}, 400),
    ("/v1/embeddings", {"input": "x"}, 404)])
def test_standin_refuses_what_it_cannot_answer(standin, path, body, status):
    request = urllib.request.Request(
        standin.base_url.removesuffix("/v1") + path,
        data=json.dumps(body).encode(),
        headers={"Content-Type": "application/json"})
    with pytest.raises(urllib.error.HTTPError) as caught:
        urllib.request.urlopen(request, timeout=10)
    assert caught.value.code == status
    assert "message" in json.loads(caught.value.read())["error"]

"""The `factbrief` command against real HTTP services on 127.0.0.1: the
stand-in in its modes, and one that rejects every request.

Most runs call `main()` in this process with its own standard streams and
environment (fast); what needs a process of its own (a closed pipe,
Ctrl-C, the console script, another Python) runs `python -m factbrief`
in an empty directory, so the installed package is what runs.
"""

import contextlib
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import openai
import pytest

import factbrief.factbrief as fb
from factbrief.local.cache import LocalError
from factbrief.standin import StandIn
from support.cli import KEY, MODEL, own_environment, run, settings_for
from support.doubles import closed_port_url
from support.lines import clean as cleaned

ROOT = Path(__file__).resolve().parents[1]
TEXTS = {"zh.txt": "长江是中国最长的河流，全长约6300公里。",
         "en.txt": "The Yangtze is about 6,300 km long!"}


@pytest.fixture
def files(tmp_path):
    for name, text in TEXTS.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    return list(TEXTS)


# ---- results ----

def test_one_file_and_the_module_global_restored(cli, standin, files):
    result = cli(["extract", "zh.txt"], settings_for(standin.base_url))
    assert result.returncode == 0, result.stderr
    [record] = result.records
    assert list(record) == ["file", "summary", "content", "status",
                            "unsupported_numbers"]
    assert record["unsupported_numbers"] == []
    assert record["content"] == cleaned(TEXTS["zh.txt"])
    assert "stand-in" in record["summary"]
    assert "长江是中国".encode() in result.stdout  # UTF-8, not \u escapes
    [request] = standin.received
    assert request["model"] == MODEL
    assert request["messages"][0]["content"].endswith(record["content"])
    assert fb.OpenAI is openai.OpenAI  # library callers see no change


def test_standard_input_title_and_formats(cli, standin, files):
    text = "Rivers, lakes & seas"
    result = cli(["title", "--prompt", "Give a title"],
                 settings_for(standin.base_url), stdin=text.encode())
    assert result.returncode == 0, result.stderr
    [record] = result.records
    assert list(record) == ["title", "content", "status",
                            "unsupported_numbers"]
    assert record["content"] == "Rivers lakes  seas"
    assert standin.received[0]["messages"][0]["content"] == (
        "Give a title\u3002Rivers lakes  seas")
    bare = cli(["extract", "--no-content", files[0]],
               settings_for(standin.base_url))
    assert list(bare.records[0]) == ["file", "summary", "status",
                                     "unsupported_numbers"]
    text_out = cli(["extract", "-f", "text", files[0], "missing.txt",
                    files[1]], settings_for(standin.base_url))
    assert text_out.returncode == 1
    blocks = text_out.stdout.decode().split("==> ")[1:]
    assert [b.splitlines()[0] for b in blocks] == [
        f"{files[0]} <==", f"{files[1]} <=="]  # the failure prints nothing
    assert all("stand-in" in b for b in blocks)


def test_jobs_keep_input_order_and_share_connections(cli, standin, tmp_path):
    names = []
    for n in range(12):
        names.append(f"t{n:02d}.txt")
        (tmp_path / names[-1]).write_text(f"text {n}", encoding="utf-8")
    names.insert(5, "missing.txt")  # one failing input among many
    env = settings_for(standin.base_url)
    result = cli(["extract", "--jobs", "4", *names], env)
    assert result.returncode == 1
    assert [r["file"] for r in result.records] == names
    assert [r["content"] for r in result.records] == [
        "" if n == "missing.txt" else f"text {int(n[1:3])}" for n in names]
    assert result.lines == ["factbrief: missing.txt: cannot read: No such "
                            "file or directory"]
    assert standin.connections <= 4
    sequential = cli(["extract", "--jobs", "1", *names[:5]], env)
    assert sequential.returncode == 0
    assert standin.connections <= 5  # one more, reused for all five


def test_jobs_overlap_requests(cli, standins, tmp_path):
    """Four requests to a service that takes 1.5 s each, four at a time:
    well under the 6 s they would take one after another."""
    slow = standins(delay=1.5)
    names = [f"s{n}.txt" for n in range(4)]
    for name in names:
        (tmp_path / name).write_text(name, encoding="utf-8")
    start = time.monotonic()
    result = cli(["extract", "-j", "4", *names], settings_for(slow.base_url))
    elapsed = time.monotonic() - start
    assert result.returncode == 0, result.stderr
    assert elapsed < 4.5, elapsed
    assert slow.connections == 4


# ---- failures: one line each, naming the cause ----

@pytest.mark.parametrize("mode, options, reason", [
    ({"mode": "status", "status": 401}, [],
     r"HTTP 401: the key was refused at {url} \(the stand-in refuses with "
     r"401\); check --api-key or OPENAI_API_KEY"),
    ({"mode": "status", "status": 404}, [],
     r"HTTP 404: no such model or path at {url} .*; check --model, .*"),
    ({"mode": "status", "status": 503}, [],
     r"HTTP 503: the service failed at {url} \(the stand-in refuses "
     r"with 503\)"),
    ({"mode": "html"}, [],
     r"the answer from {url} was not a chat completion \(a text/html "
     r"page\)"),
    ({"mode": "malformed"}, [],
     r"the answer from {url} was not a chat completion \(its JSON is "
     r"broken\)"),
    ({"mode": "close"}, ["--max-retries", "0"],
     r"the service at {url} closed the connection without an answer"),
    ({"delay": 5}, ["--timeout", "0.3", "--max-retries", "0"],
     r"the service did not answer in 0.3 s at {url}"),
    (None, ["--max-retries", "0"], r"connection refused at {url}"),
])
def test_each_failure_gives_one_line(cli, standins, files, mode, options,
                                     reason):
    url = (standins(**mode).base_url if mode is not None
           else closed_port_url())
    result = cli(["extract", *options, files[0]], settings_for(url))
    assert result.returncode == 1
    [line] = result.lines
    expected = reason.format(url=re.escape(url))
    assert re.fullmatch(f"factbrief: {files[0]}: {expected}", line), line
    [record] = result.records
    assert record == {"file": files[0], "summary": "", "content": "",
                      "status": "error", "error": line.split(": ", 2)[2]}


def test_verbose_shows_the_traceback_and_retries_reach_the_client(
        cli, standins, files):
    closing = standins(mode="close")
    env = settings_for(closing.base_url)
    quiet = cli(["extract", "--max-retries", "1", files[0]], env)
    assert len(closing.received) == 2  # one retry
    loud = cli(["extract", "-v", "--max-retries", "0", files[0]], env)
    assert len(closing.received) == 3
    assert "Traceback" not in quiet.stderr
    assert "openai.APIConnectionError" in loud.stderr
    assert 'File "factbrief\\\\factbrief", line 22' in loud.stderr
    assert loud.lines[-1] == quiet.lines[-1]


# ---- settings, checked before anything is sent ----

@pytest.mark.parametrize("missing", [
    ["OPENAI_BASE_URL"], ["OPENAI_API_KEY"], ["FACTBRIEF_MODEL"],
    ["OPENAI_BASE_URL", "OPENAI_API_KEY", "FACTBRIEF_MODEL"]])
def test_every_missing_setting_named_at_once(cli, standin, missing):
    env = settings_for(standin.base_url)
    for name in missing:
        del env[name]
    result = cli(["extract", "-"], env, stdin=b"text")
    assert (result.returncode, result.stdout) == (2, b"")
    [line] = result.lines
    option = {"OPENAI_BASE_URL": "--base-url", "OPENAI_API_KEY": "--api-key",
              "FACTBRIEF_MODEL": "--model"}
    assert all(name in line and option[name] in line for name in missing)
    assert line.count("(") == len(missing)
    assert standin.received == []


@pytest.mark.parametrize("args", [
    ["extract", "--length", "many"], ["extract", "--length", "0"],
    ["extract", "-l", "-5"], ["extract", "--jobs", "0"],
    ["extract", "--timeout", "nan"], ["extract", "--max-bytes", "lots"],
    ["title", "-"],  # no --prompt
    ["extract", "-", "-"], ["summarise"], [],
    ["extract", "--base-url", "127.0.0.1:8000/v1"],
    ["extract", "--base-url", "ftp://example.com/v1"],
    ["extract", "--base-url", "http:///v1"],
    ["extract", "--base-url", "http://host:port/v1"],
    ["extract", "--demo", "--base-url", "http://x"]])
def test_usage_errors_give_status_2(cli, standin, args):
    result = cli(args, {"OPENAI_API_KEY": KEY, "FACTBRIEF_MODEL": MODEL},
                 stdin=b"text")
    assert result.returncode == 2
    assert len(result.lines) == 1, result.stderr
    assert standin.received == []


def test_options_anywhere_and_model_from_either_variable(cli, standin,
                                                         files):
    env = {"OPENAI_BASE_URL": standin.base_url, "OPENAI_API_KEY": KEY,
           "OPENAI_MODEL": "from-openai-model"}
    before = cli(["-l", "50", "--jobs", "1", "extract", files[0]], env)
    after = cli(["extract", files[0], "-l", "50", "--jobs", "1"],
                {**env, "FACTBRIEF_MODEL": "from-factbrief-model"})
    assert before.returncode == after.returncode == 0
    assert [r["model"] for r in standin.received] == [
        "from-openai-model", "from-factbrief-model"]
    assert all("50" in r["messages"][0]["content"]
               for r in standin.received)


def test_help_and_version(cli):
    shown = cli(["--help"])
    assert shown.returncode == 0
    text = shown.stdout.decode()
    for needed in ("exit status", "130", "141", "Numbers stay whole",
                   "FACTBRIEF_MODEL wins", "examples"):
        assert needed in text
    assert cli(["extract", "-h"]).stdout.decode().count("--jobs") == 1
    version = cli(["-V"])
    assert version.returncode == 0
    assert version.stdout.decode().startswith("factbrief ")


# ---- input guards: nothing sent for nothing ----

def test_input_guards(cli, standin, tmp_path):
    (tmp_path / "empty.txt").write_bytes(b"")
    (tmp_path / "blank.txt").write_bytes(b" \n\t\n")
    (tmp_path / "big.txt").write_bytes(b"x" * 2000)
    (tmp_path / "latin1.txt").write_bytes("caf\xe9".encode("latin-1"))
    names = ["empty.txt", "blank.txt", "big.txt", "latin1.txt"]
    env = settings_for(standin.base_url)
    result = cli(["extract", "--max-bytes", "1k", *names], env)
    assert result.returncode == 1
    assert standin.received == []
    assert [r["error"] for r in result.records] == [
        "the text is empty: not sent",
        "the text is blank (white space only): not sent",
        "the text is 2,000 bytes, over the limit of 1,000 bytes "
        "(--max-bytes)",
        "not UTF-8: byte 3 (0xe9) cannot start or continue a character"]
    assert len(result.lines) == 4
    allowed = cli(["extract", "--allow-empty", "empty.txt", "-"], env,
                  stdin=b"sent once")
    assert allowed.returncode == 0
    assert [r["status"] for r in allowed.records] == ["skipped", "ok"]
    assert len(standin.received) == 1


# ---- the key stays hidden; the user's text stays as it is ----

@pytest.fixture
def rejecting(standins):
    """401 for everything, quoting the credential as some services do."""
    return standins(mode="status", status=401,
                    message="Incorrect API key provided: {key}.").base_url


KEY_CHARS = "Zq7Xw-K_9mPvR2tY"


@pytest.mark.parametrize("length", [1, 2, 3, 4, 7, 8, 16, 33, 64])
def test_key_never_shown(cli, rejecting, standin, files, length):
    key = (KEY_CHARS * 4)[:length]
    as_token = re.compile(rf"(?<![\w-]){re.escape(key)}(?![\w-])")
    runs = [cli(["extract", "-v", "--api-key", key, files[1]],
                {"OPENAI_BASE_URL": rejecting, "FACTBRIEF_MODEL": MODEL}),
            cli(["extract", "-k", key, "--length", key], {}),
            cli(["extract", f"--api-key={key}", files[1]],
                {"OPENAI_BASE_URL": rejecting, "FACTBRIEF_MODEL": MODEL})]
    assert [r.returncode for r in runs] == [1, 2, 1]
    assert "Incorrect API key provided: ***." in runs[0].stderr
    assert "Incorrect API key provided: ***." in runs[2].records[0]["error"]
    for result in runs:
        shown = result.stdout.decode() + result.stderr
        assert not as_token.search(shown)
        if length >= 8:
            assert key not in shown
    # The user's own text equal to the key, or holding it, is theirs.
    echo = cli(["title", "-p", f"Title {key}", "-"],
               settings_for(standin.base_url, key), stdin=key.encode())
    assert echo.returncode == 0
    assert echo.records[0]["content"] == cleaned(key)
    assert standin.received[-1]["messages"][0]["content"] == (
        f"Title {key}\u3002{cleaned(key)}")


# ---- in a process of its own ----

def test_demo_as_a_process(tmp_path, files):
    result = run(["extract", "--demo", files[0]], tmp_path)
    assert result.returncode == 0, result.stderr
    assert "local stand-in" in result.stderr.decode()
    assert json.loads(result.stdout)["status"] == "ok"


def test_closed_pipe_ends_quietly(tmp_path, standin):
    big = tmp_path / "big.txt"
    big.write_text("word " * 60_000, encoding="utf-8")  # a 300 KB record
    small = [f"s{n}.txt" for n in range(6)]
    for name in small:
        (tmp_path / name).write_text(name, encoding="utf-8")
    env = settings_for(standin.base_url)
    base = own_environment()
    # `| head -c 10`: the large record outlasts the pipe's buffer.
    with subprocess.Popen(
            [sys.executable, "-m", "factbrief", "extract", "big.txt"],
            cwd=tmp_path, env={**base, **env}, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE) as proc:
        proc.stdout.read(10)
        proc.stdout.close()
        stderr = proc.stderr.read()
    assert (proc.returncode, stderr) == (141, b"")
    # A reader that is gone before the first record: later inputs are
    # not sent.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        closed = run(["extract", "-j", "1", *small], tmp_path, env,
                     stdout=write_end)
    finally:
        os.close(write_end)
    assert (closed.returncode, closed.stderr) == (141, b"")
    assert len(standin.received) < 1 + len(small)


def test_interrupt_names_the_inputs_without_a_record(tmp_path, standins,
                                                     files):
    slow = standins(delay=1.0)
    names = [*files, "third.txt"]
    (tmp_path / "third.txt").write_text("third", encoding="utf-8")
    base = own_environment()
    with subprocess.Popen(
            [sys.executable, "-m", "factbrief", "extract", "-j", "1",
             *names], cwd=tmp_path, env={**base,
                                         **settings_for(slow.base_url)},
            stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        first = proc.stdout.readline()
        proc.send_signal(signal.SIGINT)
        rest, stderr = proc.communicate(timeout=30)
    assert proc.returncode == 130
    got = [json.loads(line)["file"] for line in (first + rest).splitlines()]
    assert got == names[:len(got)] and got
    [line] = stderr.decode().splitlines()
    assert line == (f"factbrief: interrupted; no record for "
                    f"{len(names) - len(got)} input"
                    f"{'s' if len(names) - len(got) != 1 else ''}: "
                    + " ".join(names[len(got):]))


def test_without_the_module_one_line(tmp_path):
    """As under a Python for which factbrief is not built: the package
    source without the module and without openai."""
    for source in (ROOT / "src" / "factbrief").rglob("*.py"):
        copy = tmp_path / "src" / source.relative_to(ROOT / "src")
        copy.parent.mkdir(parents=True, exist_ok=True)
        copy.write_bytes(source.read_bytes())
    result = subprocess.run(
        [sys.executable, "-S", "-m", "factbrief", "extract", "--demo", "-"],
        env={**os.environ, "PYTHONPATH": str(tmp_path / "src")},
        cwd=tmp_path, capture_output=True, timeout=60)
    assert result.returncode == 2
    [line] = result.stderr.decode().splitlines()
    # It names this Python and how to install for it, no other version.
    version = "%d.%d" % sys.version_info[:2]
    assert f"this Python ({version}, {sys.executable})" in line
    assert f"{sys.executable} -m pip install" in line
    assert "cannot load the module" in line and "built for" not in line


def test_progress_on_a_terminal(tmp_path, standin, files):
    import pty
    main_fd, child = pty.openpty()
    env = own_environment()
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
                chunk = os.read(main_fd, 4096)
            except OSError:  # the child side has closed
                break
            if not chunk:
                break
            shown += chunk
        os.close(main_fd)
    assert proc.returncode == 0
    assert b"2/2 en.txt" in shown
    assert len(stdout.decode().splitlines()) == 2  # stdout stays clean


def test_console_script(tmp_path):
    import shutil
    script = shutil.which("factbrief", path=Path(sys.executable).parent)
    if script is None:
        pytest.skip("the factbrief console script is not installed")
    result = subprocess.run([script, "--help"], capture_output=True,
                            cwd=tmp_path, timeout=60)
    assert result.returncode == 0
    assert b"extract" in result.stdout and b"title" in result.stdout


# ---- --local: a service of its own for the run ----

@pytest.fixture
def local_served(standin, monkeypatch):
    """factbrief.local's service replaced by the stand-in: what the
    command does with it, not the model (tests/test_local_*)."""
    from factbrief.local import service
    events = []

    @contextlib.contextmanager
    def local_service(progress, model_file=None, environ=None,
                      jobs=None):
        events.append(("start", model_file))
        if model_file == "broken.gguf":
            raise LocalError("broken.gguf is not a GGUF model file")
        try:
            yield service.Served(standin.base_url, "local-model", "local-key",
                                 slots=3)
        finally:
            events.append(("stop", model_file))
    monkeypatch.setattr(service, "local_service", local_service)
    return events


def test_local_serves_the_run_and_stops_after(cli, standin, files,
                                              local_served):
    # The environment's service settings are not the local service's.
    env = {**settings_for("http://elsewhere.invalid/v1"),
           "FACTBRIEF_MODEL_FILE": "mine.gguf"}
    result = cli(["--local", "extract", "-j", "2", *files], env)
    assert result.returncode == 0, result.stderr
    assert [r["status"] for r in result.records] == ["ok", "ok"]
    assert [r["model"] for r in standin.received] == ["local-model"] * 2
    assert local_served == [("start", "mine.gguf"), ("stop", "mine.gguf")]
    result = cli(["title", "-p", "p", "--model-file", "own.gguf", "-"], env,
                 stdin=b"text")
    assert result.returncode == 0, result.stderr
    assert local_served[2:] == [("start", "own.gguf"), ("stop", "own.gguf")]


@pytest.mark.parametrize("options,at_once", [
    ([], 3),  # as many as the local server serves at once
    (["--jobs", "1"], 1), (["-j", "5"], 5)])
def test_local_runs_send_as_many_at_once_as_it_serves(cli, standin, tmp_path,
                                                      local_served, options,
                                                      at_once):
    standin.delay = 0.3
    names = [f"t{n}.txt" for n in range(6)]
    for name in names:
        (tmp_path / name).write_text(name, encoding="utf-8")
    result = cli(["extract", "--local", *options, *names])
    assert result.returncode == 0, result.stderr
    assert standin.peak == at_once


def test_a_local_service_that_cannot_start_is_one_line(cli, standin, files,
                                                       local_served):
    result = cli(["extract", "--model-file", "broken.gguf", *files])
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.lines == ["factbrief: broken.gguf is not a GGUF model "
                            "file"]
    assert standin.received == []


def test_readme_demo_uses_the_standin_on_request(tmp_path):
    # Without settings the demo asks the local model (set up on first use:
    # tests/integration); --demo is the quick round trip.
    base = own_environment()
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "demo.py"), "--demo"],
        env=base, cwd=tmp_path, capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "local stand-in" in result.stderr.decode()
    record = json.loads(result.stdout)
    assert record["status"] == "ok" and "长江" in record["content"]


# ---- the stand-in itself ----

@pytest.mark.parametrize("path, body, status", [
    ("/v1/chat/completions", {"messages": [], "model": "m"}, 400),
    ("/v1/chat/completions", {"stream": True, "messages": [
        {"role": "user", "content": "x"}]}, 400),
    ("/v1/embeddings", {"input": "x"}, 404)])
def test_standin_refuses_what_it_cannot_answer(standin, path, body, status):
    import urllib.error
    import urllib.request
    request = urllib.request.Request(
        standin.base_url.removesuffix("/v1") + path,
        data=json.dumps(body).encode(),
        headers={"Content-Type": "application/json"})
    with pytest.raises(urllib.error.HTTPError) as caught:
        urllib.request.urlopen(request, timeout=10)
    assert caught.value.code == status
    assert "message" in json.loads(caught.value.read())["error"]


def test_standin_stop_ends_kept_alive_connections():
    """A client that keeps its connection open leaves no handler thread
    behind (a thread left at exit is a leak to the sanitizers)."""
    before = threading.active_count()
    server = StandIn().start()
    client = openai.OpenAI(base_url=server.base_url, api_key="k",
                           http_client=openai.DefaultHttpxClient())
    try:
        reply = client.chat.completions.create(
            model="m", messages=[{"role": "user", "content": "hi"}])
        assert "stand-in" in reply.choices[0].message.content
        assert threading.active_count() > before + 1  # serving + handler
        server.stop()
        assert threading.active_count() == before
    finally:
        server.stop()
        client.close()

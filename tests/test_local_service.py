"""The local service end to end with the stand-in as its server (it
answers only the key it was started with): a run serves itself and
stops after; `local start` records one service, which later runs use,
and never leaves one running that nothing can find."""

import json
import re
import subprocess
import sys

import pytest

from factbrief.local.cache import Cache
from support import local

MODELS = ("ok.gguf", "slow.gguf", "-named-like-an-option.gguf",
          "with,comma.gguf")


@pytest.fixture
def home(tmp_path):
    """$XDG_CACHE_HOME whose cache has the stand-in as its server; model
    files and two texts in the working folder."""
    local.install_fake(Cache(tmp_path / "home" / "factbrief"), tmp_path)
    for name in MODELS:
        (tmp_path / name).write_bytes(b"GGUF, but only the name counts")
    (tmp_path / "a.txt").write_text("长江是中国最长的河流。")
    (tmp_path / "b.txt").write_text("The Yangtze.")
    return tmp_path / "home"


def run(args, home, **kw):
    return local.run(args, home, cwd=home.parent, **kw)


def answered(result, count):
    """Whether a run succeeded with `count` answers from the stand-in
    (which refuses a request without its key)."""
    assert result.returncode == 0, result.stderr
    summaries = [json.loads(line)["summary"]
                 for line in result.stdout.splitlines()]
    return len(summaries) == count and all(
        re.fullmatch(r"fake answer to \d+ characters", s) for s in summaries)


@pytest.mark.parametrize("model,name", [
    ("ok.gguf", "ok"),
    ("-named-like-an-option.gguf", "-named-like-an-option"),
    ("with,comma.gguf", "with_comma"),  # llama-server splits names on ","
])
def test_a_run_serves_itself_with_its_own_key(home, model, name):
    result = run(["extract", f"--model-file=./{model}", "a.txt", "b.txt"],
                 home, env={"FACTBRIEF_LOCAL_SLOTS": "3"})
    assert answered(result, 2)
    assert re.search(rf"the local model {re.escape(name)} serves at "
                     rf"http://127.0.0.1:\d+/v1 for this run \(3 at once\)",
                     result.stderr)
    assert local.servers_running(Cache(home / "factbrief")) == []


def test_started_used_by_runs_and_stopped(home):
    cache = Cache(home / "factbrief")
    started = run(["local", "start", "--model-file", "ok.gguf", "--slots",
                   "2"], home)
    assert started.returncode == 0, started.stderr
    url, pid = re.fullmatch(r"local service: (http://127.0.0.1:\d+/v1) "
                            r"\(pid (\d+), model ok, 2 at once\); stop it "
                            r"with: factbrief local stop\n",
                            started.stdout).groups()
    assert local.servers_running(cache) == [int(pid)]
    status = run(["local", "status"], home)
    assert status.stdout.splitlines()[-1] == (
        f"service: running at {url} (pid {pid}, model ok, 2 at once)")
    # The key comes from the record; the service stays for the next run.
    used = run(["extract", "--model-file", "ok.gguf", "a.txt"], home)
    assert answered(used, 1)
    assert f"using the local service already running at {url}" in \
        used.stderr
    assert local.servers_running(cache) == [int(pid)]
    stopped = run(["local", "stop"], home)
    assert stopped.stdout == "local service: stopped\n"
    assert local.servers_running(cache) == []


def test_two_starts_at_once_run_one_server(home):
    cache = Cache(home / "factbrief")
    starts = [subprocess.Popen(
        [sys.executable, "-m", "factbrief", "local", "start",
         "--model-file", "slow.gguf"], cwd=home.parent,
        env=local.environment(home), stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, text=True) for _ in range(2)]
    results = sorted((p.wait(timeout=120), p.stderr.read()) for p in starts)
    try:
        assert [status for status, _ in results] == [0, 1]
        assert "factbrief: a local service already runs at" in results[1][1]
        assert len(local.servers_running(cache)) == 1
    finally:
        run(["local", "stop"], home)
    assert local.servers_running(cache) == []


def test_a_start_that_cannot_be_recorded_leaves_no_server(home):
    cache = Cache(home / "factbrief")
    (cache.running / "in the way").mkdir(parents=True)
    result = run(["local", "start", "--model-file", "ok.gguf"], home)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.splitlines()[-1].startswith(
        "factbrief: recording the local service failed: Is a directory")
    assert local.servers_running(cache) == []


@pytest.mark.parametrize("env,args,slots", [
    ({}, [], 1),  # repeatable: one slot, one request at a time
    ({"FACTBRIEF_LOCAL_SLOTS": "3"}, [], 3),
    ({}, ["--jobs", "3"], 3),  # --jobs chooses throughput: as many slots
    ({"FACTBRIEF_LOCAL_SLOTS": "3"}, ["--jobs", "2"], 3),
    ({"FACTBRIEF_LOCAL_SLOTS": "2"}, ["--jobs", "3"], 3),
])
def test_a_runs_slots_and_jobs_by_default_and_as_asked(home, env, args,
                                                        slots):
    (home.parent / "busy.gguf").write_bytes(b"GGUF")
    texts = []
    for n in range(3):
        texts.append(f"t{n}.txt")
        (home.parent / texts[-1]).write_text(f"text {n}")
    result = run(["extract", "--model-file", "busy.gguf", *args, *texts],
                 home, env=env)
    assert answered(result, 3)
    assert f"for this run ({slots} at once)" in result.stderr
    log = (home / "factbrief" / "logs" / "run-server.log").read_text()
    in_flight = [int(n) for n in re.findall(r"slot: (\d+) in flight", log)]
    jobs = int(args[1]) if args else slots
    assert len(in_flight) == 3 and max(in_flight) <= jobs
    if jobs == 1:
        assert in_flight == [1, 1, 1]


def test_a_started_service_serves_one_at_a_time_by_default(home):
    started = run(["local", "start", "--model-file", "ok.gguf"], home)
    try:
        assert started.returncode == 0, started.stderr
        assert ", 1 at once); stop it" in started.stdout
    finally:
        run(["local", "stop"], home)

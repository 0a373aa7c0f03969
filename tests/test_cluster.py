"""`factbrief extract|title --ray ADDRESS --output FILE` on a real Ray
cluster of two nodes on this machine (one per CPU), shared by the
module's tests; every run of the command is a process of its own, as a
user's is. The service is the stand-in on 127.0.0.1.
"""

import contextlib
import hashlib
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from factbrief.standin import StandIn

ray = pytest.importorskip(
    "ray", reason="Ray is not installed for this Python (factbrief[ray])")
from ray.cluster_utils import Cluster  # noqa: E402

TESTS = Path(__file__).resolve().parent
KEY = "sk-cluster-test-2b8e4d6f0a"


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """Two Ray nodes on 127.0.0.1 with their files in a private folder;
    the environment every run of the command gets."""
    scratch = tmp_path_factory.mktemp("ray")
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "FACTBRIEF_", "RAY_"))}
    # Loopback only, and Ray's files where no other user can write.
    env.update(RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0",
               RAY_TMPDIR=str(scratch), NO_PROXY="127.0.0.1")
    with pytest.MonkeyPatch.context() as patch:
        for name in ("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "RAY_TMPDIR"):
            patch.setenv(name, env[name])
        nodes = Cluster(initialize_head=True, head_node_args={
            "num_cpus": 1, "include_dashboard": False})
        nodes.add_node(num_cpus=1)
        nodes.wait_for_nodes()
        nodes.env, nodes.scratch = env, scratch
        yield nodes
        nodes.shutdown()


@pytest.fixture
def service():
    with StandIn(delay=0.2) as server:
        yield server


def hosted(server):
    return {"OPENAI_BASE_URL": server.base_url, "OPENAI_API_KEY": KEY,
            "FACTBRIEF_MODEL": "m"}


def factbrief(args, cwd, env, script=("-m", "factbrief"), timeout=120):
    return subprocess.run([sys.executable, *script, *args], cwd=cwd,
                          env=env, capture_output=True, text=True,
                          timeout=timeout)


def write_texts(folder, count, sub="corpus"):
    names = []
    for n in range(count):
        path = folder / sub / f"part{n % 3}" / f"t{n:03d}.txt"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(f"Text {n}: the Yangtze is about 6,300 km long.",
                        encoding="utf-8")
        names.append(str(path.relative_to(folder)))
    return sorted(names, key=lambda p: p.split(os.sep))


def records(path):
    return [json.loads(line) for line in
            Path(path).read_text(encoding="utf-8").splitlines()]


def start_driver(args, cluster, cwd, settings):
    """`factbrief extract --ray CLUSTER ARGS...` started, not waited for."""
    return subprocess.Popen(
        [sys.executable, "-m", "factbrief", "extract", "--ray",
         cluster.address, *args], cwd=cwd, env={**cluster.env, **settings},
        stderr=subprocess.PIPE, text=True)


def wait_for_records(path, count, driver, bound=90):
    """Until `path` has `count` lines, or the driver ended."""
    deadline = time.monotonic() + bound
    while (not path.exists() or len(path.read_bytes().splitlines()) < count)\
            and driver.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)


def key_of(record):
    return (record["file"],) + next(
        ((name, record[name]) for name in ("id", "line")
         if name in record), ())


def by_input(found, made_by=False):
    """{(file,) or (file, "id", id) or (file, "line", n): record},
    failing on an input seen twice; without "made_by" unless asked."""
    keyed = {}
    for record in found:
        key = key_of(record)
        assert key not in keyed, f"{key} has two records"
        keyed[key] = (record if made_by else
                      {k: v for k, v in record.items() if k != "made_by"})
    return keyed


def last_by_input(found):
    """The last record of each input, as readers of the file take it."""
    return {key_of(record): record for record in found}


@pytest.mark.parametrize("command", [
    ["extract", "-l", "50"],
    ["title", "-p", "Give a title", "--no-content"]])
def test_records_equal_the_single_machine_commands(cluster, service,
                                                   tmp_path, command):
    names = write_texts(tmp_path, 10)
    (tmp_path / "blank.txt").write_text("  \n", encoding="utf-8")
    inputs = ["corpus", "blank.txt", "missing.txt"]
    env = {**cluster.env, **hosted(service)}
    alone = factbrief([*command, *inputs], tmp_path, env)
    assert alone.returncode == 1, alone.stderr
    sent, service.peak = len(service.received), 0
    run = factbrief([*command, "--ray", cluster.address, "--output",
                     "out.jsonl", "-j", "3", *inputs], tmp_path, env)
    assert run.returncode == 1, run.stderr
    expected = [json.loads(line) for line in alone.stdout.splitlines()]
    assert [r["file"] for r in expected] == [
        *names, "blank.txt", "missing.txt"]  # a directory, sorted
    got = by_input(records(tmp_path / "out.jsonl"))
    assert got == by_input(expected)
    assert len(service.received) - sent == len(names)  # none sent twice
    assert service.peak <= 3  # --jobs over the whole cluster
    assert KEY not in run.stderr


def test_a_killed_driver_loses_and_repeats_nothing(cluster, service,
                                                   tmp_path):
    names = write_texts(tmp_path, 40)
    args = ["--output", "out.jsonl", "-j", "4", "corpus"]
    driver = start_driver(args, cluster, tmp_path, hosted(service))
    out = tmp_path / "out.jsonl"
    wait_for_records(out, 10, driver)
    driver.send_signal(signal.SIGKILL)
    driver.communicate()
    done = {r["file"] for r in records(out)}
    before = len(done)
    assert 10 <= before < len(names)
    with open(out, "ab") as f:  # as if killed in the middle of a write
        f.write(b'{"file": "corpus/part0/t000.txt", "sum')
    sent = len(service.received)
    rerun = factbrief(["extract", "--ray", cluster.address, *args],
                      tmp_path, {**cluster.env, **hosted(service)})
    assert rerun.returncode == 0, rerun.stderr
    assert f"{before} inputs were done before" in rerun.stderr
    got = by_input(records(out))
    assert sorted(file for file, in got) == names
    assert {r["status"] for r in got.values()} == {"ok"}
    # Only the inputs without a record were sent again. Counted by text,
    # not by request: the dead run's tasks still in flight may reach the
    # service late, and they too are inputs without a record.
    again = {numbered(request) for request in service.received[sent:]}
    assert again == {numbered(name) for name in names if name not in done}


def numbered(request_or_name):
    """The text's number, from a path t007.txt or a request's 'Text 7'."""
    if isinstance(request_or_name, str):
        return int(Path(request_or_name).stem[1:])
    text = request_or_name["messages"][-1]["content"]
    return int(text.rpartition("Text ")[2].split()[0])


def _workers_of(cluster, name="ray::Node"):
    """Pids of the processes `name` whose parent is one of the cluster's
    raylets."""
    raylets = {node.all_processes["raylet"][0].process.pid
               for node in cluster.list_all_nodes()}
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                parent = int(f.read().rpartition(")")[2].split()[1])
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                title = f.read()
        except OSError:
            continue
        if parent in raylets and title.startswith(name.encode()):
            found.append(int(pid))
    return found


def test_the_key_reaches_no_record_message_or_log(cluster, standins,
                                                   tmp_path):
    """A service that quotes the key it was sent: the nodes mask it in
    what they print and in the reasons they give."""
    quoting = standins(mode="status", status=401, message="bad key {key}")
    write_texts(tmp_path, 2)
    run = factbrief(["extract", "-v", "--ray", cluster.address, "--output",
                     "out.jsonl", "corpus"], tmp_path,
                    {**cluster.env, **hosted(quoting)})
    assert run.returncode == 1
    errors = {r["error"] for r in records(tmp_path / "out.jsonl")}
    assert errors == {f"HTTP 401: the key was refused at "
                      f"{quoting.base_url} (bad key ***); check --api-key "
                      f"or OPENAI_API_KEY"}
    assert "bad key ***" in run.stderr  # the traceback, with -v
    logs = [p for p in cluster.scratch.rglob("*") if p.is_file()]
    assert logs and not [p for p in logs if KEY.encode() in p.read_bytes()]
    assert KEY not in run.stderr


@pytest.mark.parametrize("lost", ["a worker", "a node"])
def test_a_loss_mid_run_costs_only_a_retry(cluster, service, tmp_path,
                                           lost):
    """Ray restarts a killed worker and retries its calls; the actor of a
    node gone for good cannot come back there, and its inputs go to the
    other nodes."""
    names = write_texts(tmp_path, 30)
    if lost == "a node":
        doomed = cluster.add_node(num_cpus=1)
        cluster.wait_for_nodes()
    driver = start_driver(["--output", "out.jsonl", "-j", "6", "corpus"],
                          cluster, tmp_path, hosted(service))
    wait_for_records(tmp_path / "out.jsonl", 6, driver)
    if lost == "a node":
        cluster.remove_node(doomed, allow_graceful=False)
    else:
        [victim, *_] = _workers_of(cluster)
        os.kill(victim, signal.SIGKILL)
    _, stderr = driver.communicate(timeout=120)
    assert driver.returncode == 0, stderr
    got = by_input(records(tmp_path / "out.jsonl"))
    assert sorted(file for file, in got) == names
    assert {r["status"] for r in got.values()} == {"ok"}


def test_a_jsonl_corpus(cluster, service, tmp_path):
    lines = [{"id": 1, "text": "长江全长约6300公里。"},
             {"id": "b", "text": "The Yangtze, 6,300 km."},
             "not json",
             {"id": 1, "text": "the id again"},
             {"text": "no id"},
             {"id": 3, "text": " "}]
    (tmp_path / "c.jsonl").write_text(
        "\n".join(x if isinstance(x, str) else json.dumps(x)
                  for x in lines) + "\n\n", encoding="utf-8")
    for n in (0, 1):
        (tmp_path / f"{n}.txt").write_text(lines[n]["text"],
                                           encoding="utf-8")
    env = {**cluster.env, **hosted(service)}
    alone = factbrief(["extract", "0.txt", "1.txt"], tmp_path, env)
    # --ray alone takes $RAY_ADDRESS, and leaves the corpus an input.
    run = factbrief(["extract", "--ray", "c.jsonl", "--output",
                     "out.jsonl"], tmp_path,
                    {**env, "RAY_ADDRESS": cluster.address})
    assert run.returncode == 1, run.stderr
    got = by_input(records(tmp_path / "out.jsonl"))
    for n, record in enumerate(json.loads(line)
                               for line in alone.stdout.splitlines()):
        ident = lines[n]["id"]
        assert list(got[("c.jsonl", "id", ident)]) == [
            "file", "id", "summary", "content", "status",
            "unsupported_numbers"]  # and made_by
        assert got[("c.jsonl", "id", ident)] == {
            "file": "c.jsonl", "id": ident,
            **{k: v for k, v in record.items() if k != "file"}}
    errors = {key: r["error"] for key, r in got.items()
              if r["status"] == "error"}
    assert errors == {
        ("c.jsonl", "line", 3): "not JSON (Expecting value: line 1 column "
                                "1 (char 0))",
        ("c.jsonl", "line", 4): "repeats the id of line 1",
        ("c.jsonl", "line", 5): 'no "id" that is a string or a whole '
                                'number',
        ("c.jsonl", "id", 3): "the text is blank (white space only): not "
                              "sent"}
    assert "factbrief: c.jsonl line 4: repeats the id of line 1" in (
        run.stderr.splitlines())


def test_local_serves_once_per_node_within_its_slots(cluster, tmp_path):
    names = write_texts(tmp_path, 12)
    reports = tmp_path / "reports"
    reports.mkdir()
    run = factbrief([str(reports), "extract", "--ray", cluster.address,
                     "--local", "--output", "out.jsonl", "corpus"],
                    tmp_path, cluster.env,
                    script=[str(TESTS / "cluster_fake_local.py")])
    assert run.returncode == 0, run.stderr
    got = by_input(records(tmp_path / "out.jsonl"))
    assert sorted(file for file, in got) == names
    assert all("stand-in" in r["summary"] for r in got.values())
    served = [json.loads(p.read_text()) for p in reports.iterdir()]
    assert len({s["node"] for s in served}) == len(served) == 2  # per node
    assert all(s["peak"] <= 2 for s in served)  # the fake's slots
    assert sum(s["answered"] for s in served) == len(names)
    assert "fake-local-key-0123456789" not in run.stderr



def test_local_starts_ray_for_the_run_and_leaves_nothing(service,
                                                         tmp_path):
    """Even with a temporary folder too deep for Ray's socket paths."""
    write_texts(tmp_path, 3)
    deep = tmp_path / ("deep" * 20)
    deep.mkdir()
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "FACTBRIEF_", "RAY_"))}
    before = set(Path("/tmp").glob("fbray-*"))
    run = factbrief(["extract", "--ray", "local", "--output", "out.jsonl",
                     "corpus"], tmp_path,
                    {**env, **hosted(service), "TMPDIR": str(deep)})
    assert run.returncode == 0, run.stderr
    assert {r["status"] for r in records(tmp_path / "out.jsonl")} == {"ok"}
    made = set(Path("/tmp").glob("fbray-*")) - before
    assert made == set()  # Ray's files went with it
    assert list(deep.iterdir()) == []


@pytest.mark.parametrize("content, message", [
    (b'{"id": 1, "text": "a corpus, not records"}\n',
     "o.jsonl line 1 is not a factbrief record; give --output a new file "
     "or one an earlier run wrote"),
    (None, "another factbrief run is writing o.jsonl"),
])
def test_an_output_file_that_is_not_ours_to_write(tmp_path, content,
                                                  message):
    """Refused before Ray starts, and left as it was."""
    (tmp_path / "a.txt").write_text("text", encoding="utf-8")
    out = tmp_path / "o.jsonl"
    out.write_bytes(content or b"")
    with open(out, "rb") as held:
        if content is None:  # another run holds it
            import fcntl
            fcntl.flock(held, fcntl.LOCK_EX)
        run = factbrief(["extract", "--demo", "--ray", "local", "--output",
                         "o.jsonl", "a.txt"], tmp_path, dict(os.environ))
    assert (run.returncode, run.stderr) == (2, f"factbrief: {message}\n")
    assert out.read_bytes() == (content or b"")


# -- the output file as a ledger --

def sent_since(service, mark):
    return sorted(numbered(q) for q in service.received[mark:])



def test_a_resume_sends_again_exactly_what_changed(cluster, standins,
                                                   tmp_path):
    """Text, command, prompt, length and service, each changed in turn:
    each time exactly the inputs it changed are sent again."""
    service = standins(delay=0.05)
    names = write_texts(tmp_path, 6)
    everything = list(range(6))
    env = {**cluster.env, **hosted(service)}

    def run(*command, settings=()):
        mark = len(service.received)
        done = factbrief([*command, "--ray", cluster.address, "--output",
                          "out.jsonl", "-j", "3", "corpus"], tmp_path,
                         {**env, **dict(settings)})
        assert done.returncode == 0, done.stderr
        return sent_since(service, mark), done.stderr.splitlines()[-1]

    assert run("extract")[0] == everything
    again, line = run("extract")
    assert again == [] and line.endswith(
        "6 inputs were done before, 0 sent again because they changed, 0 "
        "sent again after failing, 0 new")
    assert run("extract", "-l", "50")[0] == everything
    assert run("extract", "-l", "50", "-p", "Be brief")[0] == everything
    assert run("title", "-l", "50", "-p", "Be brief")[0] == everything
    (tmp_path / "corpus/part2/t002.txt").write_text("Text 2: now 6,397 km.",
                                     encoding="utf-8")
    again, line = run("title", "-l", "50", "-p", "Be brief")
    assert again == [2] and "5 inputs were done before, 1 sent again " \
                            "because they changed" in line
    assert run("title", "-l", "50", "-p", "Be brief",
               settings={"FACTBRIEF_MODEL": "m2"})[0] == everything
    # Credentials in the base URL are the same service, and stay out of
    # the records.
    port = service.base_url.split(":")[2]
    assert run("title", "-l", "50", "-p", "Be brief", settings={
        "FACTBRIEF_MODEL": "m2",
        "OPENAI_BASE_URL": f"http://u:pw@127.0.0.1:{port}?k=1"})[0] == []
    found = records(tmp_path / "out.jsonl")
    assert len(found) == 6 * 5 + 1  # appended, none dropped
    last = last_by_input(found)
    assert sorted(file for file, in last) == names
    for record in last.values():
        assert record["made_by"] == {
            "command": "title", "prompt": "Be brief", "length": 50,
            "service": {"base_url": service.base_url, "model": "m2"},
            "text_sha256": hashlib.sha256(
                (tmp_path / record["file"]).read_bytes()).hexdigest()}
        assert f"Text {numbered(record['file'])} " in record["title"]
    assert b"pw" not in (tmp_path / "out.jsonl").read_bytes()


def test_the_output_file_is_the_users(cluster, service, tmp_path):
    """Through a link, records go to the file it names, which is only
    appended to: a torn last line is cut off, a record of an input this
    run does not have stays, and a later record supersedes."""
    write_texts(tmp_path, 3)
    real = tmp_path / "kept" / "real.jsonl"
    real.parent.mkdir()
    other = (b'{"file": "other.txt", "summary": "", "content": "", '
             b'"status": "error", "error": "x"}\n')
    real.write_bytes(other + b'{"file": "corpus/part0/t000.txt", "summ')
    os.symlink(real, tmp_path / "out.jsonl")
    inode = real.stat().st_ino
    args = ["extract", "--ray", cluster.address, "--output", "out.jsonl",
            "corpus", "missing.txt"]
    env = {**cluster.env, **hosted(service)}
    first = factbrief(args, tmp_path, env)
    assert first.returncode == 1, first.stderr
    assert (tmp_path / "out.jsonl").is_symlink()
    assert real.stat().st_ino == inode
    written = real.read_bytes()
    assert written.startswith(other) and written.count(b"\n") == 5
    (tmp_path / "missing.txt").write_text("Text 9: found.", encoding="utf-8")
    mark = len(service.received)
    second = factbrief(args, tmp_path, env)
    assert second.returncode == 0, second.stderr
    assert sent_since(service, mark) == [9]
    assert real.read_bytes().startswith(written)
    last = last_by_input(records(real))
    assert last[("missing.txt",)]["status"] == "ok"
    assert len(last) == 5 and real.stat().st_ino == inode
    with open(real, "rb") as held:  # another run holds it, by its name
        import fcntl
        fcntl.flock(held, fcntl.LOCK_EX)
        third = factbrief(args, tmp_path, env)
    assert (third.returncode, third.stderr) == (
        2, "factbrief: another factbrief run is writing out.jsonl\n")


def test_bad_inputs_fail_alone(cluster, service, tmp_path):
    """A name that is not UTF-8, a FIFO that never ends, a missing file
    and a corpus line changed since: each its own error record."""
    names = write_texts(tmp_path, 2)
    odd = os.fsencode(tmp_path) + b"/caf\xe9.txt"
    with open(odd, "wb") as f:
        f.write(b"Text 7: odd name.")
    os.mkfifo(tmp_path / "fifo.txt")
    run = factbrief(["extract", "-t", "2", "--ray", cluster.address,
                     "--output", "out.jsonl", "corpus", os.fsdecode(odd)
                     .rpartition("/")[2], "fifo.txt", "missing.txt"],
                    tmp_path, {**cluster.env, **hosted(service)})
    assert run.returncode == 1, run.stderr
    got = by_input(records(tmp_path / "out.jsonl"))
    assert sorted(got) == sorted([(n,) for n in names] + [  # noqa
        ("caf\\351.txt",), ("fifo.txt",), ("missing.txt",)])
    assert got[("caf\\351.txt",)]["status"] == "ok"
    assert "Text 7 odd" in got[("caf\\351.txt",)]["summary"]
    assert got[("fifo.txt",)]["error"] == (
        "cannot read: the input did not end within 2 s (--timeout)")
    assert got[("missing.txt",)]["error"] == (
        "cannot read: No such file or directory")
    assert "factbrief: caf\\351.txt" not in run.stderr  # it was fine


def test_slow_inputs_are_read_at_once(cluster, service, tmp_path):
    """Three FIFOs whose writers each take 3 s: read side by side."""
    for n in range(3):
        os.mkfifo(tmp_path / f"slow{n}.txt")

    opened = []

    def slowly(n):
        with open(tmp_path / f"slow{n}.txt", "wb") as f:  # waits for it
            opened.append(time.monotonic())
            time.sleep(3)
            f.write(f"Text {n}: slow.".encode())

    import threading
    writers = [threading.Thread(target=slowly, args=(n,), daemon=True)
               for n in range(3)]
    for writer in writers:
        writer.start()
    run = factbrief(["extract", "-j", "3", "--ray", cluster.address,
                     "--output", "out.jsonl", "slow0.txt", "slow1.txt",
                     "slow2.txt"], tmp_path,
                    {**cluster.env, **hosted(service)})
    assert run.returncode == 0, run.stderr
    assert {r["status"] for r in records(tmp_path / "out.jsonl")} == {"ok"}
    # One after another, each would have been opened when the one before
    # it ended, 3 s later.
    assert len(opened) == 3 and max(opened) - min(opened) < 1.5
    assert "3 new" in run.stderr


MEMORY_CHILD = r"""
import json, resource, sys
import ray
ray.init(address=sys.argv[1], logging_level="ERROR")
from factbrief.cli import main
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
status = main(["extract", "--max-bytes", "1000000", "--ray", sys.argv[1],
               "--output", "out.jsonl", "c.jsonl"])
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"status": int(status), "grew_kib": after - before}))
"""


def test_a_refused_huge_line_is_counted_not_held(cluster, service,
                                                 tmp_path):
    with open(tmp_path / "c.jsonl", "wb") as f:
        f.write(b'{"id": "a", "text": "Text 1: short."}\n{"id": "b", '
                b'"text": "')
        for _ in range(100):
            f.write(b"x" * 1_000_000)
        f.write(b'"}\n{"id": "c", "text": "Text 3: after."}\n')
    run = factbrief([cluster.address], tmp_path, {**cluster.env,
                                                  **hosted(service)},
                    script=("-c", MEMORY_CHILD))
    result = json.loads(run.stdout.splitlines()[-1])
    assert result["status"] == 1, run.stderr
    assert result["grew_kib"] < 40_000  # the line is 100 MB
    got = by_input(records(tmp_path / "out.jsonl"))
    assert got[("c.jsonl", "line", 2)]["error"] == (
        "the line is 100,000,024 bytes, more than a text within the limit "
        "of 1,000,000 bytes (--max-bytes) can take: not read")
    assert {got[k]["status"] for k in [("c.jsonl", "id", "a"),
                                       ("c.jsonl", "id", "c")]} == {"ok"}


def test_every_worker_lost_gives_each_input_left_its_record(
        cluster, standins, tmp_path):
    """Every node's actor killed until Ray gives up on it: the run ends,
    and each input it did not do has an error record and is named."""
    service = standins(delay=1.0)
    names = write_texts(tmp_path, 30)
    driver = start_driver(["--output", "out.jsonl", "-j", "2", "corpus"],
                          cluster, tmp_path, hosted(service))
    wait_for_records(tmp_path / "out.jsonl", 2, driver)
    while driver.poll() is None:
        for pid in _workers_of(cluster):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.5)
    _, stderr = driver.communicate(timeout=60)
    assert driver.returncode == 1, stderr
    assert stderr.splitlines()[-1] == (
        "factbrief: the cluster has no live node with CPUs to work on")
    got = by_input(records(tmp_path / "out.jsonl"))
    assert sorted(file for file, in got) == names
    left = [file for (file,), r in got.items() if r["status"] == "error"]
    assert left
    for file in left:
        assert got[(file,)]["error"].startswith("not done: the run could "
                                                "not go on (") or \
            "lost 3 times" in got[(file,)]["error"]
        assert f"factbrief: {file}: " in stderr


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_stopped_while_ray_starts_leaves_nothing(tmp_path, signum):
    """The signal at moments spread over Ray's start (some 5 s here) and
    into the run: a handler of Ray's, its native crash handler, or a raise
    lost in an at-fork hook each let a moment of it pass unnoticed or end
    the driver outright."""
    write_texts(tmp_path, 3)
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "FACTBRIEF_", "RAY_"))}
    with StandIn(delay=30.0) as slow:  # the run is still going at the end
        for moment in (0.2, 0.8, 1.6, 2.6, 4.0):
            _stop_driver_at(tmp_path, {**env, **hosted(slow)}, signum,
                            moment)


def _stop_driver_at(folder, env, signum, moment):
    # Short enough for Ray's socket paths, so that its folder is here.
    scratch = Path(tempfile.mkdtemp(prefix="fbs-", dir="/tmp"))
    driver = subprocess.Popen(
        [sys.executable, "-m", "factbrief", "extract", "--ray", "local",
         "--output", "out.jsonl", "corpus"], cwd=folder,
        env={**env, "TMPDIR": str(scratch)},
        stderr=subprocess.PIPE, text=True, preexec_fn=signals_unblocked)
    deadline = time.monotonic() + 60
    while not list(scratch.glob("fbray-*")) and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(moment)
    driver.send_signal(signum)
    _, stderr = driver.communicate(timeout=60)
    assert driver.returncode == 130, (moment, stderr)
    assert "interrupted" in stderr.splitlines()[-1], (moment, stderr)
    assert list(scratch.iterdir()) == [], moment
    assert not _processes_naming(str(scratch), wait=5), [moment] + [
        open(f"/proc/{p}/cmdline", "rb").read()[:300]
        for p in _processes_naming(str(scratch))]
    scratch.rmdir()


def signals_unblocked():
    """In a child: the signals Ray's threads in this process blocked are
    a user's command's again."""
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


def _processes_naming(text, wait=0.0):
    """Pids of the processes whose command line holds `text`; with `wait`,
    given that long to end (Ray's last ones end on their own)."""
    deadline = time.monotonic() + wait
    while (found := _naming(text)) and time.monotonic() < deadline:
        time.sleep(0.1)
    return found


def _naming(text):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
    return found


def test_a_split_text_is_one_input_resumed_as_one(cluster, standins,
                                                  tmp_path):
    """On Ray a text answered in parts gets one record, and a rerun finds
    it done; another --part-chars is another way of answering it."""
    service = standins(delay=0.05)
    paragraphs = [f"Part {n}: the Yangtze is about 6,300 km long, and "
                  f"its basin covers 1.8 million km2." for n in range(8)]
    (tmp_path / "long.txt").write_text("\n\n".join(paragraphs),
                                       encoding="utf-8")
    (tmp_path / "short.txt").write_text("Short.", encoding="utf-8")
    env = {**cluster.env, **hosted(service)}

    def run(chars):
        mark = len(service.received)
        done = factbrief(["extract", "--ray", cluster.address, "--output",
                          "out.jsonl", "--split", "--part-chars", chars,
                          "long.txt", "short.txt"], tmp_path, env)
        assert done.returncode == 0, done.stderr
        return len(service.received) - mark, done.stderr.splitlines()[-1]
    sent, _ = run("200")
    found = records(tmp_path / "out.jsonl")
    [long] = [r for r in found if r["file"] == "long.txt"]
    assert long["status"] == "ok" and long["parts"] >= 4
    assert sent > long["parts"] + 1  # its parts, then the whole
    again, line = run("200")
    assert again == 0 and "2 inputs were done before" in line
    other, line = run("300")
    assert other > 1 and "2 sent again because they changed" in line
    assert len(records(tmp_path / "out.jsonl")) == 4


def test_a_split_texts_parts_spread_over_the_nodes(cluster, standins,
                                                  tmp_path):
    """One long text on two nodes of 2 requests each (-j 4): its parts go
    to both, never more than 4 at once, and its one record is whole."""
    service = standins(delay=1.0)
    paragraphs = [f"Part {n}: the Yangtze is about 6,300 km long, and "
                  f"its basin covers 1.8 million km2." for n in range(12)]
    (tmp_path / "long.txt").write_text("\n\n".join(paragraphs),
                                       encoding="utf-8")
    done = factbrief(["extract", "--ray", cluster.address, "--output",
                      "out.jsonl", "-j", "4", "--split", "--part-chars",
                      "100", "long.txt"], tmp_path,
                     {**cluster.env, **hosted(service)})
    assert done.returncode == 0, done.stderr
    [record] = records(tmp_path / "out.jsonl")
    assert record["status"] == "ok" and record["parts"] == 12
    assert record["content"].count("Part ") == 12
    assert 2 < service.peak <= 4  # more than one node's 2, within -j


HELD = r"""
import os, signal, threading, time
from factbrief.cli.cluster.session import Stops

stops = Stops()
go = threading.Event()
with stops.taken():
    # A thread from before the hold, as the run's readers are: the signal
    # may reach Python through it, so a mask on this thread would not do.
    threading.Thread(target=lambda: (go.wait(), os.kill(
        os.getpid(), signal.SIGTERM)), daemon=True).start()
    try:
        with stops.held():
            go.set()
            for _ in range(50):
                time.sleep(0.01)
            print("held", flush=True)
    except KeyboardInterrupt:
        print("raised after", flush=True)
    stops.noted = None
    try:
        with stops.held(escapable=True):  # as Ray's start is
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.2)
            print("held once", flush=True)
            os.kill(os.getpid(), signal.SIGINT)  # the user insists
            time.sleep(5)
    except KeyboardInterrupt:
        print("raised at the second", flush=True)
    stops.noted = None
    os.kill(os.getpid(), signal.SIGTERM)  # not held: raised at once
    time.sleep(5)
"""


def test_a_stop_during_the_cleanup_waits_for_it():
    run = subprocess.run([sys.executable, "-c", HELD], capture_output=True,
                         text=True, timeout=60)
    assert run.stdout.splitlines() == ["held", "raised after", "held once",
                                       "raised at the second"], run.stderr
    assert run.returncode == -signal.SIGINT, run.stderr  # Python re-raises it

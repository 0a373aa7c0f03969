"""`factbrief extract|title --ray ADDRESS --output FILE` on a real Ray
cluster of two nodes on this machine (one per CPU), shared by the
module's tests; every run of the command is a process of its own, as a
user's is. The service is the stand-in on 127.0.0.1.
"""

import json
import os
import signal
import subprocess
import sys
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


def by_input(found):
    """{(file,) or (file, "id", id) or (file, "line", n): record},
    failing on an input seen twice."""
    keyed = {}
    for record in found:
        key = (record["file"],) + next(
            ((name, record[name]) for name in ("id", "line")
             if name in record), ())
        assert key not in keyed, f"{key} has two records"
        keyed[key] = record
    return keyed


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
            "unsupported_numbers"]
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

"""Kill-and-resume over 200 texts with `--ray local` (a real Ray on this
machine, started by each run): the driver stopped at random moments by
SIGKILL, SIGINT or SIGTERM, then resumed, until a run ends on its own.
At the end each input's last record answers its own text, no input was
lost, and nothing is left in the temporary folder or running."""

import json
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from factbrief.standin import StandIn

pytest.importorskip("ray", reason="Ray is not installed for this Python")

TEXTS = 200
ROUNDS = [signal.SIGKILL, signal.SIGINT, signal.SIGTERM] * 2


def unblocked():
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


def naming(text):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if text.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def test_kill_and_resume_at_random_moments(tmp_path):
    rng = random.Random(int(os.environ.get("FACTBRIEF_STRESS_SEED", "26")))
    for n in range(TEXTS):
        (tmp_path / "corpus" / f"t{n:03d}.txt").parent.mkdir(exist_ok=True)
        (tmp_path / "corpus" / f"t{n:03d}.txt").write_text(
            f"Text {n}: the Yangtze is about 6,300 km long.")
    # Short enough for Ray's socket paths, so that its folders are here.
    scratch = Path(tempfile.mkdtemp(prefix="fbs-", dir="/tmp"))
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("OPENAI_", "FACTBRIEF_", "RAY_"))}
    command = [sys.executable, "-m", "factbrief", "extract", "-j", "4",
               "--ray", "local", "--output", "out.jsonl", "corpus"]
    out = tmp_path / "out.jsonl"
    figures = []
    with StandIn(delay=0.3) as service:
        env.update(OPENAI_BASE_URL=service.base_url, FACTBRIEF_MODEL="m",
                   OPENAI_API_KEY="sk-stress-0123456789",
                   TMPDIR=str(scratch))
        for signum in [*ROUNDS, None]:
            driver = subprocess.Popen(command, cwd=tmp_path, env=env,
                                      stderr=subprocess.PIPE, text=True,
                                      preexec_fn=unblocked)
            if signum is not None:
                time.sleep(rng.uniform(0.5, 14))
                driver.send_signal(signum)
            _, stderr = driver.communicate(timeout=300)
            lines = out.read_bytes().count(b"\n") if out.exists() else 0
            figures.append((signal.Signals(signum).name if signum else
                            "none", driver.returncode, lines))
            if signum in (signal.SIGINT, signal.SIGTERM):
                assert driver.returncode in (0, 130), stderr
                assert list(scratch.iterdir()) == [], figures
        assert driver.returncode == 0, stderr
    print(figures)
    last = {}
    for line in out.read_text(encoding="utf-8").splitlines():
        record = json.loads(line)
        last[record["file"]] = record
    assert sorted(last) == [f"corpus/t{n:03d}.txt" for n in range(TEXTS)]
    for file, record in last.items():
        assert record["status"] == "ok"
        number = int(Path(file).stem[1:])
        assert f"The text begins: \u300cText {number} the" in record["summary"]
    assert list(scratch.iterdir()) == []
    time.sleep(1)
    assert naming(str(scratch)) == []
    scratch.rmdir()

"""Every input gets its record, or is named as having none, whatever the
input, the service or the terminal does: a deadline that holds across
retries and a slowly sent answer, bounded options, one input's failure
kept to that input, a standard output that cannot be written, Ctrl-C
while the command is still loading."""

import os
import re
import signal
import subprocess
import sys
import time

import pytest

from support.cli import own_environment, run, settings_for
from support.doubles import bounded

DEADLINE = 1.5
SLACK = 4.0  # a loaded or sanitized run; without the deadline: >= 9 s


@pytest.mark.parametrize("service, retries, reason, attempts", [
    # A valid answer, one byte every 0.3 s: per-read timeouts never fire.
    (dict(trickle=0.3), 0, "the service did not answer in 1.5 s", 1),
    (dict(trickle=0.3), 3, "the service did not answer in 1.5 s", 1),
    (dict(delay=5), 3, "the service did not answer in 1.5 s", 1),
    (dict(mode="close"), 6, "the service did not answer in 1.5 s", None),
    (dict(mode="status", status=429, retry_after=20), 2,
     r"the service did not answer in 1.5 s .*\(its last answer: HTTP 429\)",
     1),
    # Retries that fit in the deadline still happen.
    (dict(mode="status", status=503, retry_after=0.1), 2,
     "HTTP 503: the service failed", 3),
])
def test_timeout_is_a_deadline_for_the_whole_request(
        cli, standins, tmp_path, service, retries, reason, attempts):
    server = standins(**service)
    (tmp_path / "t.txt").write_text("text", encoding="utf-8")
    start = time.monotonic()
    result = bounded(lambda: cli(
        ["extract", "--timeout", str(DEADLINE), "--max-retries",
         str(retries), "t.txt"], settings_for(server.base_url)), 40)
    elapsed = time.monotonic() - start
    assert elapsed < DEADLINE + SLACK, elapsed
    assert result.returncode == 1
    [line] = result.lines
    assert re.match(f"factbrief: t.txt: {reason}", line), line
    assert result.records[0]["error"] == line.split(": ", 2)[2]
    if attempts is not None:
        assert len(server.received) == attempts


@pytest.mark.parametrize("args", [
    ["--timeout", "1e10"], ["--timeout", "86401"], ["--timeout", "inf"],
    ["--max-bytes", "100G"], ["--max-bytes", "2GiB"],
    ["--max-bytes", "9" * 30]])
def test_option_ranges_checked_before_sending(cli, standin, args):
    result = cli(["extract", *args, "-"], settings_for(standin.base_url),
                 stdin=b"text")
    assert (result.returncode, result.stdout) == (2, b"")
    [line] = result.lines
    assert re.match(f"factbrief extract: argument (-./)?{args[0]}: .*"
                    f"(at most|over the largest size)", line), line
    assert standin.received == []


def _odd_inputs(tmp_path):
    """(name, the start of its record's error, or None for "ok")."""
    (tmp_path / "plain.txt").write_text("plain text", encoding="utf-8")
    (tmp_path / "bom.txt").write_bytes(b"\xef\xbb\xbftext with a BOM")
    (tmp_path / "latin1.txt").write_bytes(b"caf\xe9")
    (tmp_path / "big.txt").write_bytes(b"x" * 1500)
    os.mkfifo(tmp_path / "no-writer")
    (tmp_path / "dir").mkdir()
    os.symlink("loop", tmp_path / "loop")
    return [
        ("plain.txt", None),
        ("no-writer", "cannot read: the input did not end within 1 s"),
        ("bad\0name", "cannot read: ValueError: "),
        ("dir", "cannot read: Is a directory"),
        ("loop", "cannot read: Too many levels of symbolic links"),
        ("/dev/zero", "the text is over 1,000 bytes"),
        ("big.txt", "the text is 1,500 bytes"),
        ("latin1.txt", "not UTF-8: byte 3 (0xe9)"),
        ("missing.txt", "cannot read: No such file or directory"),
        ("bom.txt", None),
        ("/proc/self/stat", None),  # size 0, yet it has text
        ("plain.txt", None),  # the same file again
    ]


def test_each_input_fails_alone(cli, standin, tmp_path):
    inputs = _odd_inputs(tmp_path)
    names = [name for name, _ in inputs]
    result = bounded(lambda: cli(  # a hang fails: the pipe has no writer
        ["extract", "-t", "1", "--max-bytes", "1k", "-j", "4", *names],
        settings_for(standin.base_url)), 30)
    assert result.returncode == 1
    assert [r["file"] for r in result.records] == names
    for (name, error), record in zip(inputs, result.records):
        if error is None:
            assert record["status"] == "ok", record
        else:
            assert record["error"].startswith(error), record
    failed = [n for n, e in inputs if e is not None]
    # The stand-in quotes the cleaned text, and /proc/self/stat's numbers
    # may not survive cleaning; the line saying so is not a failure's.
    lines = [line for line in result.lines
             if "answers state numbers" not in line]
    assert [line.split(": ")[1] for line in lines] == failed
    assert len(standin.received) == len(names) - len(failed)


@pytest.mark.parametrize("stdout, reason", [
    ("/dev/full", "No space left on device"),
    (None, "it is closed")])
def test_unwritable_output_names_the_inputs(tmp_path, standin, stdout,
                                            reason):
    names = ["a.txt", "b.txt"]
    for name in names:
        (tmp_path / name).write_text(name, encoding="utf-8")
    if stdout is None:  # `>&-`
        result = run(["extract", *names], tmp_path,
                     settings_for(standin.base_url),
                     stdout=subprocess.DEVNULL,
                     preexec_fn=lambda: os.close(1))
    else:
        with open(stdout, "wb") as sink:
            result = run(["extract", *names], tmp_path,
                         settings_for(standin.base_url), stdout=sink)
    assert result.returncode == 1
    assert result.stderr.decode().splitlines() == [
        f"factbrief: cannot write to standard output ({reason}); no record "
        f"for 2 inputs: a.txt b.txt"]


# sitecustomize for the child: blocks the import of one module until the
# file "go" exists, after making the file "blocked", so that Ctrl-C lands
# at a known moment. It waits inside code run from a string, as libraries
# that build classes from source text do while they import: an interrupt
# that ends such code leaves a mark by which `python -m` would end by
# SIGINT rather than with the command's status.
IMPORT_HOOK = """\
import os, sys

class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == os.environ["BLOCK_IMPORT"]:
            open("blocked", "w").close()
            exec("import os, time\\n"
                 "for _ in range(3000):\\n"
                 "    if os.path.exists('go'):\\n"
                 "        break\\n"
                 "    time.sleep(0.01)\\n", {})
        return None

sys.meta_path.insert(0, Blocker())
"""


@pytest.mark.parametrize("target", [
    "factbrief.cli.core",  # the command's own modules
    "factbrief.local.service",
    "openai",                 # the client library, the longest
    "factbrief.factbrief",    # the module itself
])
def test_interrupt_while_loading_names_every_input(tmp_path, target):
    names = ["a.txt", "b.txt"]
    for name in names:
        (tmp_path / name).write_text(name, encoding="utf-8")
    hook = tmp_path / "hook"
    hook.mkdir()
    (hook / "sitecustomize.py").write_text(IMPORT_HOOK)
    env = {**own_environment(), "BLOCK_IMPORT": target,
           "PYTHONPATH": str(hook)}
    with subprocess.Popen(
            [sys.executable, "-m", "factbrief", "extract", "--demo", *names],
            cwd=tmp_path, env=env, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE) as proc:
        for _ in range(6000):
            if (tmp_path / "blocked").exists() or proc.poll() is not None:
                break
            time.sleep(0.01)
        assert (tmp_path / "blocked").exists(), proc.stderr.read()
        proc.send_signal(signal.SIGINT)
        time.sleep(0.2)
        (tmp_path / "go").touch()
        out, err = proc.communicate(timeout=60)
    assert (proc.returncode, out) == (130, b""), err.decode()
    assert err.decode().splitlines() == [
        "factbrief: interrupted; no record for 2 inputs: a.txt b.txt"]

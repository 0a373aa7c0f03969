"""The command keeps the API key to itself: masked however argparse was
given it and in every form a message can print it, refused before any
request when no request could carry it, and given, if the user wants, in
a way that keeps it off the command line other users can read."""

import contextlib
import json
import os
import re
import subprocess
import sys
import time

import pytest

from support.cli import MODEL, own_environment

LONG = "sk-factbrief-secret-4d2c9a7e"
SHORT = "Zq7X"
ESCAPED = "sk-back\\slash-\"quote'-7f3a"  # its repr and JSON differ


def shown_forms(key):
    """The ways a message may print `key`: as it is, escaped as in a repr
    (a traceback shows the service's error body as a dict), in JSON."""
    return {key, repr(key)[1:-1], json.dumps(key)[1:-1]}


def assert_hidden(result, key):
    shown = result.stdout.decode() + result.stderr
    for form in shown_forms(key):
        if len(key) >= 8:
            assert form not in shown, form
        else:  # a short key is hidden where it stands as a word
            assert not re.search(rf"(?<![\w-]){re.escape(form)}(?![\w-])",
                                 shown), form


@pytest.fixture
def rejecting(standins):
    """401 for everything, quoting the credential as some services do."""
    return standins(mode="status", status=401,
                    message="Incorrect API key provided: {key}.")


@pytest.fixture
def text(tmp_path):
    (tmp_path / "t.txt").write_text("text", encoding="utf-8")
    return "t.txt"


@pytest.mark.parametrize("key", [LONG, SHORT, ESCAPED])
@pytest.mark.parametrize("spelling", [
    ["-vk{}"], ["-vk", "{}"], ["-k={}"], ["-vk={}"], ["-k{}"],
    ["-k", "{}"], ["--api-key={}"]])
def test_key_masked_however_spelled(cli, rejecting, text, spelling, key):
    given = [part.format(key) for part in spelling]
    env = {"OPENAI_BASE_URL": rejecting.base_url, "FACTBRIEF_MODEL": MODEL}
    refused = cli(["extract", "-v", *given, text], env)
    assert refused.returncode == 1, refused.stderr
    assert rejecting.keys[0].endswith(key)  # 3.10 reads -vk=K as "=K"
    assert "Incorrect API key provided: ***." in refused.lines[-1]
    assert "Incorrect API key provided: ***." in refused.records[0]["error"]
    assert "Traceback" in refused.stderr  # -v shows the module's
    assert_hidden(refused, key)
    # A usage error that quotes the key as another option's value.
    usage = cli(["extract", *given, "--length", key], env)
    assert usage.returncode == 2
    assert_hidden(usage, key)


@pytest.mark.parametrize("key, where, kind", [
    ("sk-good-key\r", "env", "a line end"),
    ("sk-good-key\n", "-k", "a line end"),
    ("sk-good\r\nkey", "env", "a line end"),
    (" sk-good-key", "-k", "white space"),
    ("sk-good\tkey", "env", "white space"),
    ("sk-good  key", "-k", "white space"),
    ("sk-good\x7fkey", "-k", "a control character"),
    ("sk-g\u00f6\u00f6d-key", "env", "a character that is not ASCII"),
    ("sk-good\x01key", "-k -", "a control character"),
    ("sk-good key", "--api-key-file", "white space"),
])
def test_unusable_key_refused_before_sending(cli, standin, text, tmp_path,
                                             key, where, kind):
    env = {"OPENAI_BASE_URL": standin.base_url, "FACTBRIEF_MODEL": MODEL}
    given, stdin, source = [], b"", where
    if where == "env":
        env["OPENAI_API_KEY"], source = key, "OPENAI_API_KEY"
    elif where == "-k":
        given, source = ["-k", key], "--api-key"
    elif where == "-k -":
        given, stdin = ["-k", "-"], key.encode() + b"\n"
    else:
        (tmp_path / "key.txt").write_text(key + "\n")
        given = ["--api-key-file", "key.txt"]
    result = cli(["extract", *given, text], env, stdin=stdin)
    assert (result.returncode, result.stdout) == (2, b"")
    [line] = result.lines
    assert line.startswith(f"factbrief: the API key ({source}) holds {kind}")
    assert "sk-g" not in line
    assert standin.received == []


def test_the_key_of_a_service_started_for_the_run_is_masked(
        cli, rejecting, text, monkeypatch):
    from factbrief.local import service

    @contextlib.contextmanager
    def local_service(progress, model_file=None, environ=None,
                      jobs=None):
        yield service.Served(rejecting.base_url, "local-model", api_key=LONG,
                             slots=1)
    monkeypatch.setattr(service, "local_service", local_service)
    result = cli(["extract", "--local", text])
    assert rejecting.keys == [LONG]
    assert "Incorrect API key provided: ***." in result.records[0]["error"]
    assert_hidden(result, LONG)


def _given_by_file(tmp_path, content):
    (tmp_path / "key.txt").write_bytes(content)
    return ["--api-key-file", "key.txt"], b""


@pytest.mark.parametrize("how", [
    lambda tmp: _given_by_file(tmp, LONG.encode() + b"\r\n"),  # Windows
    lambda tmp: _given_by_file(tmp, b"  " + LONG.encode() + b"\n\n"),
    lambda tmp: (["-k", "-"], LONG.encode() + b"\r\n"),
    lambda tmp: (["--api-key-file", "-"], LONG.encode()),
])
def test_key_from_a_file_or_standard_input(cli, rejecting, text, tmp_path,
                                           how):
    given, stdin = how(tmp_path)
    result = cli(["extract", *given, text],
                 {"OPENAI_BASE_URL": rejecting.base_url,
                  "FACTBRIEF_MODEL": MODEL}, stdin=stdin)
    assert result.returncode == 1, result.stderr
    assert rejecting.keys == [LONG]
    assert result.records[0]["error"].endswith(
        "(Incorrect API key provided: ***.); check --api-key or "
        "OPENAI_API_KEY")
    assert_hidden(result, LONG)


@pytest.mark.parametrize("args, stdin, expected", [
    (["--api-key-file", "missing.txt", "t.txt"], b"",
     "cannot read the API key file missing.txt: No such file"),
    (["--api-key-file", "empty.txt", "t.txt"], b"",
     "the API key file empty.txt holds no API key"),
    (["--api-key-file", "fifo", "-t", "1", "t.txt"], b"",
     "the API key file fifo did not end within 1 s"),
    (["-k", "-", "t.txt"], b"", "standard input holds no API key"),
    (["-k", "-"], b"key", "-k - reads the API key from standard input, so "
                          "the texts must come from files"),
    (["-k", "-", "-"], b"key", "-k - reads the API key"),
    (["-k", "x", "--api-key-file", "empty.txt", "t.txt"], b"",
     "--api-key and --api-key-file cannot be combined"),
    (["--api-key-file", "empty.txt", "--demo", "t.txt"], b"",
     "--api-key-file and --demo cannot be combined"),
    (["--api-key-file", "empty.txt", "--local", "t.txt"], b"",
     "--api-key-file and --local cannot be combined"),
])
def test_key_source_mistakes_are_usage_errors(cli, standin, text, tmp_path,
                                              args, stdin, expected):
    (tmp_path / "empty.txt").write_bytes(b" \n")
    os.mkfifo(tmp_path / "fifo")
    start = time.monotonic()
    result = cli(["extract", *args],
                 {"OPENAI_BASE_URL": standin.base_url,
                  "FACTBRIEF_MODEL": MODEL}, stdin=stdin)
    assert time.monotonic() - start < 10
    assert (result.returncode, result.stdout) == (2, b"")
    [line] = result.lines
    assert line.startswith(f"factbrief: {expected}"), line
    assert standin.received == []


def test_help_says_who_can_see_the_key(cli):
    text = " ".join(cli(["extract", "-h"]).stdout.decode().split())
    assert "other users of this machine can see it on the command line" in (
        text)
    assert "--api-key-file PATH" in text and "'-k -'" in text


@pytest.mark.parametrize("given, stdin", [
    (["--api-key-file", "key.txt"], subprocess.DEVNULL),
    (["-k", "-"], subprocess.PIPE)])
def test_key_never_on_the_command_line(tmp_path, standins, given, stdin):
    """What every user of the machine can read while the command runs:
    its /proc/PID/cmdline."""
    slow = standins(delay=1.0)
    (tmp_path / "key.txt").write_text(LONG + "\n")
    (tmp_path / "t.txt").write_text("text")
    env = {**own_environment(), "OPENAI_BASE_URL": slow.base_url,
           "FACTBRIEF_MODEL": MODEL}
    with subprocess.Popen(
            [sys.executable, "-m", "factbrief", "extract", *given, "t.txt"],
            cwd=tmp_path, env=env, stdin=stdin, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE) as proc:
        if stdin is subprocess.PIPE:
            proc.stdin.write(LONG.encode() + b"\n")
            proc.stdin.close()
        for _ in range(1200):  # the request is out: the command runs
            if slow.received or proc.poll() is not None:
                break
            time.sleep(0.05)
        with open(f"/proc/{proc.pid}/cmdline", "rb") as f:
            cmdline = f.read()
        out, err = proc.stdout.read(), proc.stderr.read()  # both small
        proc.wait(60)
    assert slow.keys == [LONG], err.decode()
    assert LONG.encode() not in cmdline and b"factbrief" in cmdline
    assert proc.returncode == 0, err.decode()
    assert json.loads(out)["status"] == "ok"


@pytest.mark.parametrize("plant, message", [
    ("owner", "factbrief: the API key file {path} belongs to another user "
              "(uid 65534), so factbrief will not use it: they could have "
              "planted the key; keep the key in a file of your own"),
    ("mode", "factbrief: the API key file {path} can be written by other "
             "users (mode 646), so factbrief will not use it; make it yours "
             "alone: chmod 600 {path}"),
    ("folder", "factbrief: the API key file {path} lies in {folder}, which "
               "another user can change (owner uid {uid}, mode 777), so "
               "they could replace the key; keep it in a folder of your "
               "own"),
    ("sticky", None),
])
def test_a_key_file_is_trusted_as_ssh_trusts_keys(cli, standin, text,
                                                  tmp_path, plant, message):
    """Refused, before anything is sent, when someone else could have
    written it: a planted key sends the user's texts to the planter."""
    folder = tmp_path / "keys"
    folder.mkdir()
    key = folder / "key.txt"
    key.write_text("sk-planted-or-not-0123\n")
    key.chmod(0o600)
    if plant == "owner":
        if os.geteuid() != 0:
            pytest.skip("giving a file to another user needs root")
        os.chown(key, 65534, 65534)
    elif plant == "mode":
        key.chmod(0o646)
    else:
        folder.chmod(0o1777 if plant == "sticky" else 0o777)
    env = {"OPENAI_BASE_URL": standin.base_url, "FACTBRIEF_MODEL": MODEL}
    result = cli(["extract", "--api-key-file", "keys/key.txt", text], env)
    if message is None:
        assert result.returncode == 0, result.stderr
        assert len(standin.received) == 1
        return
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.lines == [message.format(
        path="keys/key.txt", folder=folder, uid=os.geteuid())]
    assert standin.received == []

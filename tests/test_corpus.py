"""Inputs beyond single files, without Ray: a directory stands for its
`*.txt` files on the single-machine command too, and the options of a
cluster run that do not fit together are refused before anything is
sent or started. Each run is `python -m factbrief` in its own process.
"""

import json
import os
import subprocess
import sys

import pytest


def factbrief(args, cwd, env=None, code=None):
    base = {k: v for k, v in os.environ.items()
            if not k.startswith(("OPENAI_", "FACTBRIEF_", "RAY_"))}
    command = (["-c", code] if code else ["-m", "factbrief"])
    return subprocess.run([sys.executable, *command, *args], cwd=cwd,
                          env={**base, **(env or {})}, capture_output=True,
                          text=True, timeout=60)


def test_a_directory_is_its_text_files_in_path_order(tmp_path, standin):
    for name in ("d/b.txt", "d/a/z.txt", "d/a/y.txt", "d/a.txt",
                 "d/notes.md", "d/c/deep/x.txt", "other/o.txt"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(name, encoding="utf-8")
    os.symlink(tmp_path / "other", tmp_path / "d" / "link")  # not followed
    result = factbrief(["extract", "--demo", "d", "other/o.txt"], tmp_path)
    assert result.returncode == 0, result.stderr
    files = [json.loads(line)["file"] for line in result.stdout.splitlines()]
    assert files == ["d/a/y.txt", "d/a/z.txt", "d/a.txt", "d/b.txt",
                     "d/c/deep/x.txt", "other/o.txt"]
    (tmp_path / "empty").mkdir()
    result = factbrief(["extract", "--demo", "empty", "d/a.txt"], tmp_path)
    records = [json.loads(line) for line in result.stdout.splitlines()]
    assert result.returncode == 1
    assert [(r["file"], r["status"]) for r in records] == [
        ("empty", "error"), ("d/a.txt", "ok")]
    assert "no .txt files" in records[0]["error"]


@pytest.mark.parametrize("args, message", [
    (["--output", "o.jsonl", "a.txt"],
     "--output goes with --ray (on this machine: --ray local)"),
    (["--ray", "local", "a.txt"], "--ray needs --output FILE, where the "
     "records go (a rerun with the same file resumes)"),
    (["--ray", "auto", "--output", "o.jsonl"], "--ray reads files, "
     "directories and .jsonl corpora, not standard input"),
    (["--ray", "--output", "o.jsonl", "-"], "--ray reads files, "
     "directories and .jsonl corpora, not standard input"),
    (["-f", "text", "--ray", "local", "--output", "o.jsonl", "a.txt"],
     "--ray writes JSON records; -f text does not go with it"),
])
def test_options_that_do_not_fit(tmp_path, args, message):
    (tmp_path / "empty").mkdir()
    result = factbrief(["extract", "--demo", *args], tmp_path)
    assert (result.returncode, result.stderr) == (2, f"factbrief: "
                                                     f"{message}\n")
    assert result.stdout == ""
    assert not (tmp_path / "o.jsonl").exists()


def test_without_ray_one_line_says_how_to_install_it(tmp_path):
    (tmp_path / "a.txt").write_text("text", encoding="utf-8")
    result = factbrief(
        ["extract", "--demo", "--ray", "local", "--output", "o.jsonl",
         "a.txt"], tmp_path,
        code="import sys; sys.modules['ray'] = None; sys.argv[0] = "
             "'factbrief'; from factbrief.cli import main; "
             "sys.exit(main())")
    assert (result.returncode, result.stderr) == (
        2, "factbrief: --ray needs Ray, which is not installed for this "
           "Python: pip install 'factbrief[ray]'\n")

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


def test_a_corpus_line_changed_since_listing_is_never_another_answer(
        tmp_path):
    """Lines swapped (or a text rewritten) after the corpus was listed:
    the text read when sent is refused, naming the change."""
    from factbrief.cli.corpus import inputs
    from factbrief.cli.inputs import Reader, Refused
    corpus = tmp_path / "c.jsonl"
    lines = [b'{"id": "c", "text": "cee"}\n', b'{"id": "d", "text": "dee"}\n']
    corpus.write_bytes(b"".join(lines))
    c, d = inputs([str(corpus)])
    reader = Reader(1000, 5)
    assert (reader.read(c), reader.read(d)) == ("cee", "dee")
    corpus.write_bytes(lines[1] + lines[0])
    for item, now in ((c, '"d"'), (d, '"c"')):
        with pytest.raises(Refused, match=f"the line changed since the "
                           f"corpus was listed \\(it now has the id {now}\\)"):
            reader.read(item)
    corpus.write_bytes(lines[0].replace(b"cee", b"CEE") + lines[1])
    with pytest.raises(Refused, match="its text is another"):
        reader.read(c)
    assert reader.read(d) == "dee"


def test_bad_inputs_fail_alone_on_one_machine(tmp_path, standin):
    """A name that is not UTF-8 is written escaped as `ls -b` shows it;
    a folder that cannot be listed (played by another user, when the
    tests run as root) fails as its own input."""
    import shutil
    import tempfile
    top = tempfile.mkdtemp(prefix="factbrief-bad-")
    try:
        os.chmod(top, 0o755)
        folder = os.path.join(top, "d")
        os.makedirs(os.path.join(folder, "locked"))
        for name in (b"a.txt", b"caf\xe9.txt", b"locked/x.txt"):
            with open(os.fsencode(folder) + b"/" + name, "wb") as f:
                f.write(b"Text " + name.replace(b"\xe9", b"e"))
        os.chmod(os.path.join(folder, "locked"), 0)
        setpriv = ["setpriv", "--reuid=65534", "--regid=65534",
                   "--clear-groups"]
        other = (os.geteuid() == 0 and shutil.which("setpriv")
                 and subprocess.run([*setpriv, sys.executable, "-c", ""],
                                    capture_output=True).returncode == 0)
        prefix = setpriv if other else []
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("OPENAI_", "FACTBRIEF_", "RAY_"))}
        result = subprocess.run(
            [*prefix, sys.executable, "-m", "factbrief", "extract",
             "--demo", "d"], cwd=top, env=env, capture_output=True,
            text=True, timeout=60)
        records = [json.loads(line) for line in result.stdout.splitlines()]
        found = {r["file"]: r for r in records}
        assert found["d/a.txt"]["status"] == "ok", result.stderr
        assert found["d/caf\\351.txt"]["status"] == "ok"
        if other:
            assert result.returncode == 1, result.stderr
            assert found["d/locked"]["error"] == (
                "cannot read: Permission denied")
            assert list(found) == ["d/a.txt", "d/caf\\351.txt", "d/locked"]
    finally:
        os.chmod(os.path.join(top, "d", "locked"), 0o700)
        shutil.rmtree(top)


@pytest.mark.parametrize("argv, address, files", [
    (["--ray", "extract", "--output", "o", "c.jsonl"], "", ["c.jsonl"]),
    (["--ray", "title", "-p", "T", "--output", "o", "c"], "", ["c"]),
    (["--ray", "local", "extract", "--output", "o", "c"], "local", ["c"]),
    (["extract", "--ray", "--output", "o", "c"], "", ["c"]),
])
def test_ray_before_or_after_the_command(argv, address, files):
    from factbrief.cli.argparser import parse
    args = parse(argv)
    assert (args.on_cluster, args.ray, args.files) == (True, address, files)


def test_a_folder_that_cannot_be_listed_is_an_input(tmp_path, monkeypatch):
    """As any user: the listing fails for one folder (as it does for a
    folder of mode 000 to anyone but root)."""
    from factbrief.cli.corpus import expand
    for name in ("d/a.txt", "d/locked/x.txt", "d/z.txt"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("t", encoding="utf-8")
    locked = str(tmp_path / "d" / "locked")
    scandir = os.scandir

    def refusing(path="."):
        if os.fspath(path) == locked:
            raise PermissionError(13, "Permission denied", path)
        return scandir(path)
    monkeypatch.setattr(os, "scandir", refusing)
    assert expand([str(tmp_path / "d")]) == [
        str(tmp_path / "d" / n) for n in ("a.txt", "locked", "z.txt")]

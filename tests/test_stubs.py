"""src/factbrief/factbrief.pyi against the built module, by mypy's stubtest,
and the stub as a caller's type checker sees it.

mypy reads the stub from the source tree (MYPYPATH); the module is the one
that imports in an empty directory, the installed build.
"""

import importlib.util
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

if importlib.util.find_spec("mypy") is None:
    pytest.skip("mypy is not installed", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "factbrief" / "factbrief.pyi"
# Runtime names the stub leaves out on purpose, one per line.
ALLOWLIST = """\
# doctest's table, set empty by the module body; not API
factbrief.factbrief.__test__
"""


def mypy(args, tmp_path, stub_dir=ROOT / "src"):
    env = {**os.environ, "MYPYPATH": str(stub_dir)}
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path,
                          env=env, capture_output=True, text=True,
                          timeout=300)


def stubtest(tmp_path, stub_dir=ROOT / "src"):
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text(ALLOWLIST)
    return mypy(["mypy.stubtest", "factbrief.factbrief",
                 "--allowlist", str(allowlist)], tmp_path, stub_dir)


def test_stubtest_is_clean(tmp_path):
    result = stubtest(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_catches_a_wrong_default(tmp_path):
    """The check bites on the module's own method objects."""
    package = tmp_path / "stubs" / "factbrief"
    package.mkdir(parents=True)
    (package / "__init__.pyi").write_text("")
    wrong = STUB.read_text().replace("length: int = 200", "length: int = 100",
                                     1)
    (package / "factbrief.pyi").write_text(wrong)
    result = stubtest(tmp_path, tmp_path / "stubs")
    assert result.returncode == 1
    assert "factbrief.factbrief.AISummary.extract" in result.stdout


def test_callers_see_typed_records(tmp_path):
    program = tmp_path / "caller.py"
    program.write_text(textwrap.dedent("""\
        from typing import TYPE_CHECKING
        from factbrief.factbrief import AISummary
        if TYPE_CHECKING:
            from factbrief.factbrief import TitleRecord

        ai = AISummary("http://127.0.0.1:1/v1", "key")
        record = ai.extract("text", length=50)
        reveal_type(record["summary"])
        reveal_type(record["status"])
        title: "TitleRecord" = ai.refined_title("text", "Give a title")
        ai.extract(b"bytes")
        record["title"]
        """))
    result = mypy(["mypy", "--no-incremental", str(program)], tmp_path)
    lines = result.stdout.splitlines()
    assert 'caller.py:8: note: Revealed type is "str | None"' in lines
    [status] = [line for line in lines if line.startswith("caller.py:9:")]
    assert "Literal[" in status and "'ok'" in status and "'error'" in status
    assert [line.split(":")[1] for line in lines
            if ": error:" in line] == ["11", "12"], result.stdout


def test_callers_see_the_api_for_many_texts(tmp_path):
    program = tmp_path / "many.py"
    program.write_text(textwrap.dedent("""\
        import factbrief
        records = factbrief.extract_many(["a"], "u", "k", "m", jobs=2)
        reveal_type(records)
        factbrief.title_many(["a"], "u", "k", "m", jobs="2")
        factbrief.extract_many(["a"], "u", "k", "m", split=True,
                               part_chars=100, check_numbers=True)
        """))
    result = mypy(["mypy", "--no-incremental", str(program)], tmp_path)
    lines = result.stdout.splitlines()
    assert any(line.startswith("many.py:3: note: Revealed type is ")
               and "Iterator[dict[str, Any]]" in line
               for line in lines), result.stdout
    assert [line.split(":")[1] for line in lines
            if ": error:" in line] == ["4"], result.stdout

